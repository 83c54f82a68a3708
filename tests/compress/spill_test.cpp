// Coded entries that wait for their turn beyond the memory bound go to a
// temporary file: under TMPDIR when it is set, and a failure names that file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "e2e_util.h"
#include "test_util.h"

namespace qev {
namespace {

namespace fs = std::filesystem;

// Sets TMPDIR for the programs this test starts, and restores it after.
class TemporaryFolderSetting {
public:
    explicit TemporaryFolderSetting(const std::string& folder) {
        if (const char* old = std::getenv("TMPDIR")) old_ = old;
        setenv("TMPDIR", folder.c_str(), 1);
    }
    ~TemporaryFolderSetting() {
        if (old_) {
            setenv("TMPDIR", old_->c_str(), 1);
        } else {
            unsetenv("TMPDIR");
        }
    }

private:
    std::optional<std::string> old_;
};

TEST(Spill, WorkersSpillUnderTmpdirAndAFailureNamesTheSpillFile) {
    e2e::TempDir t;
    t.put("in/big.bin", test::random_bytes(24u << 20, 4));
    t.put("in/small.txt", test::wordy_bytes(3000, 5));
    fs::create_directories(t / "spill");
    const TemporaryFolderSetting tmpdir(t / "spill");
    // Files may grow to 4 MiB: the spill file of big.bin's coded bytes
    // beyond the 16 MiB kept in memory fails before anything of it reaches
    // the archive.
    e2e::RunOptions options;
    options.file_size_limit = 4u << 20;
    const e2e::RunResult r = e2e::run_qev(t.path(), {"a", "-t2", "-m0", "-b1", "-h1", "arc", "in/big.bin", "in/small.txt"},
                                          options);
    EXPECT_TRUE(r.exited() && r.status == 1) << e2e::describe(r);
    const std::string line = "Error: cannot write to the temporary file " + (t / "spill") + "/qev-spill-";
    EXPECT_NE(r.err.find(line), std::string::npos) << e2e::describe(r);
    EXPECT_NE(r.err.find(" that holds the coded in/big.bin: it would grow beyond the largest file allowed\n"),
              std::string::npos)
        << e2e::describe(r);
    // Nothing is left of the spill file, nor of the archive, which held no
    // complete entry.
    EXPECT_TRUE(fs::is_empty(t / "spill"));
    EXPECT_FALSE(fs::exists(t / "arc"));
}

}  // namespace
}  // namespace qev
