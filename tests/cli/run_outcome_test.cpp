// What a run's closing line and exit status say when part of it failed:
// output that never reached standard output, and extractions that did not
// restore everything asked for.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "e2e_util.h"
#include "test_util.h"

namespace qev {
namespace {

using e2e::describe;
using e2e::RunResult;
using e2e::TempDir;

// Runs qev through the shell with standard output sent to /dev/full and
// standard error to err_file; returns the exit status.
int run_into_full_disk(const TempDir& dir, const std::string& args, const std::string& err_file) {
    const std::string command = "cd '" + dir.path() + "' && '" QEV_BINARY "' " + args + " >/dev/full 2>'" +
                                err_file + "'";
    const int rc = std::system(command.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// a.qev in dir, holding a.txt and b.txt.
void store_two_files(const TempDir& dir) {
    dir.put("a.txt", "first file\n");
    dir.put("b.txt", "second file\n");
    const RunResult r = e2e::run_qev(dir.path(), {"a", "-b1", "-h1", "a.qev", "a.txt", "b.txt"});
    ASSERT_EQ(r.status, 0) << describe(r);
}

TEST(RunOutcome, OutputThatCannotBeWrittenIsAFailure) {
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(store_two_files(dir));

    for (const std::string args : {"l a.qev", "l -v a.qev", "t a.qev", "x a.qev out", "--help", "--version"}) {
        const std::string err_file = dir / "err.txt";
        EXPECT_EQ(run_into_full_disk(dir, args, err_file), 1) << args;
        if (args[0] != '-') {
            const std::vector<std::uint8_t> err = test::read_file(err_file);
            EXPECT_NE(std::string(err.begin(), err.end()).find("cannot write to standard output"), std::string::npos)
                << args;
        }
    }
    // The extraction itself was done: only its lines were lost.
    EXPECT_EQ(e2e::files_of(e2e::snapshot(dir / "out")),
              (e2e::Tree{{"a.txt", "first file\n"}, {"b.txt", "second file\n"}}));
}

TEST(RunOutcome, ExtractionClosesWithOkOnlyWhenEverythingWasRestored) {
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(store_two_files(dir));

    RunResult r = e2e::run_qev(dir.path(), {"x", "a.qev", "ok"});
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_NE(r.out.find(" OK! \n"), std::string::npos) << describe(r);

    // A folder where a file goes: that file cannot be restored.
    dir.put("blocked/a.txt/inside", "x");
    r = e2e::run_qev(dir.path(), {"x", "a.qev", "blocked"});
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_NE(r.err.find("cannot open Output file"), std::string::npos) << describe(r);
    EXPECT_EQ(r.out.find("OK!"), std::string::npos) << describe(r);

    // A pattern that selects nothing, and a damaged entry.
    r = e2e::run_qev(dir.path(), {"x", "a.qev", "none/*.bin"});
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_EQ(r.out.find("OK!"), std::string::npos) << describe(r);
    std::vector<std::uint8_t> bytes = test::read_file(dir / "a.qev");
    bytes[bytes.size() / 2] ^= 0x40;
    test::write_file(dir / "bad.qev", bytes);
    r = e2e::run_qev(dir.path(), {"x", "bad.qev", "damaged"});
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_EQ(r.out.find("OK!"), std::string::npos) << describe(r);
}

}  // namespace
}  // namespace qev
