// The add command's file selection through the built program: what is
// selected, what is refused with a line naming it, and the exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "test_util.h"

namespace qev {
namespace {

using e2e::describe;
using e2e::RunResult;
using e2e::TempDir;

// The lines after the two banner lines.
std::vector<std::string> body(const RunResult& r) {
    std::vector<std::string> lines = e2e::lines_of(r.out);
    if (lines.size() >= 2) lines.erase(lines.begin(), lines.begin() + 2);
    return lines;
}

// dir + name of every entry, in archive order.
std::vector<std::string> stored(const std::string& archive) {
    std::vector<std::string> paths;
    for (const e2e::RawEntry& e : e2e::parse_archive(test::read_file(archive))) {
        paths.push_back(e.stored_dir() + e.stored_name());
    }
    return paths;
}

// On Linux "a:b" is an ordinary name; only a letter, ':' and a separator
// make a drive prefix.
TEST(AddSelection, ColonNamesAreStoredAndRestoredAsTheyAre) {
    TempDir dir;
    dir.put("a:b", "colon");
    dir.put("b", "plain");
    dir.put("d1/x:y", "in d1");
    dir.put("d1/z:/in", "in z:");

    RunResult r = e2e::run_qev(dir.path(), {"a", "-b1", "-h1", "t.qev", "a:b", "b"});
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(stored(dir / "t.qev"), (std::vector<std::string>{"a:b", "b"}));

    r = e2e::run_qev(dir.path(), {"a", "-r", "-b1", "-h1", "r.qev", "d1"});
    EXPECT_EQ(r.status, 0) << describe(r);
    r = e2e::run_qev(dir.path(), {"x", "r.qev", "out"});
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(r.out.find("WARNING"), std::string::npos) << describe(r);
    EXPECT_EQ(e2e::files_of(e2e::snapshot(dir / "out")),
              (e2e::Tree{{"d1/x:y", "in d1"}, {"d1/z:/in", "in z:"}}));
    r = e2e::run_qev(dir.path(), {"x", "t.qev", "out2"});
    EXPECT_EQ(e2e::files_of(e2e::snapshot(dir / "out2")), (e2e::Tree{{"a:b", "colon"}, {"b", "plain"}}))
        << describe(r);
}

}  // namespace
}  // namespace qev
