// The archive layout as the add command writes it, read back byte by byte:
// entry headers, the patched entry sizes, appending to an archive from an
// earlier run, the refusals of solid mode, and inputs that cannot be read.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "test_util.h"

namespace qev {
namespace {

using e2e::describe;
using e2e::get_le;
using e2e::RawEntry;
using e2e::RunResult;
using e2e::TempDir;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

RunResult add(const TempDir& dir, std::vector<std::string> args) {
    args.insert(args.begin(), {"a", "-p", "-b1", "-h1"});
    return e2e::run_qev(dir.path(), args);
}

TEST(ArchiveFormat, EmptyFileEntryIsItsHeaderAndFiveZeroBytes) {
    TempDir dir;
    dir.put("nothing.dat", Bytes());
    dir.put("sub/zero", Bytes());
    const RunResult r = e2e::run_qev(dir.path(), {"a", "-p", "-m5", "-b3", "-h1", "arc", "nothing.dat"});
    ASSERT_EQ(r.status, 0) << describe(r);
    const Bytes a = test::read_file(dir / "arc");

    // 39 + N1 (12) + N2 (1) + 5.
    ASSERT_EQ(a.size(), 57u);
    EXPECT_EQ(get_le(a, 0, 8), 57u);
    EXPECT_EQ(a[8], 0);               // solid
    EXPECT_EQ(get_le(a, 9, 2), 12u);  // name_length
    EXPECT_EQ(std::string(a.begin() + 11, a.begin() + 23), std::string("nothing.dat\0", 12));
    EXPECT_EQ(get_le(a, 23, 2), 1u);                         // dir_length
    EXPECT_EQ(a[25], 0);                                     // the empty dir
    EXPECT_EQ(get_le(a, 26, 8), 0u);                         // unpacked_size
    EXPECT_EQ(get_le(a, 38, 4), 4u);                         // search_depth of -m5
    EXPECT_EQ(get_le(a, 42, 4), 1u << 25);                   // ring_size of -b3
    EXPECT_EQ(Bytes(a.begin() + 52, a.end()), Bytes(5, 0));  // the stream

    // With a dir: 39 + 5 + 5 + 5.
    const RunResult s = add(dir, {"arc2", "sub/zero"});
    ASSERT_EQ(s.status, 0) << describe(s);
    const std::vector<RawEntry> e = e2e::parse_archive(test::read_file(dir / "arc2"));
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].entry_size, 54u);
    EXPECT_EQ(e[0].stored_dir(), "sub/");
    EXPECT_EQ(e[0].stored_name(), "zero");
    EXPECT_EQ(e[0].stream, Bytes(5, 0));
}

TEST(ArchiveFormat, TenByteFileHasFortySixHeaderBytesAndAVerboseLine) {
    TempDir dir;
    dir.put("abcde", "0123456789");
    const RunResult r = e2e::run_qev(dir.path(), {"a", "-p", "-v", "-b1", "-h1", "arc", "abcde"});
    ASSERT_EQ(r.status, 0) << describe(r);
    const Bytes a = test::read_file(dir / "arc");
    ASSERT_GT(a.size(), 46u + 5u);
    EXPECT_EQ(get_le(a, 0, 8), a.size());   // entry_size patched to the whole entry
    EXPECT_EQ(get_le(a, 9, 2), 6u);         // name_length
    EXPECT_EQ(get_le(a, 17, 2), 1u);        // dir_length at 11 + N1
    EXPECT_EQ(get_le(a, 20, 8), 10u);       // unpacked_size at 13 + N1 + N2
    EXPECT_EQ(get_le(a, 36, 4), 1u << 23);  // ring_size at 29 + N1 + N2
    EXPECT_EQ(a[46], 0);                    // a fresh encoder's first byte
    const std::vector<RawEntry> e = e2e::parse_archive(a);
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].header_bytes(), 46u);

    // "compress.. <path> " completed on the same line by " 10 to <size> ".
    const std::string line = "compress.. abcde  10 to " + std::to_string(a.size()) + " \n";
    EXPECT_NE(r.out.find(line), std::string::npos) << describe(r);
}

TEST(ArchiveFormat, EntrySizesChainAndHeadersRecordTheSwitches) {
    TempDir dir;
    dir.put("f/a.txt", test::wordy_bytes(30000, 1));
    dir.put("f/b.bin", test::random_bytes(5000, 2));
    dir.put("f/c", Bytes());
    dir.put("f/d.txt", test::wordy_bytes(65, 3));
    const RunResult r = add(dir, {"arc", "f/*"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_NE(r.out.find("35065 bytes, 4 files."), std::string::npos) << describe(r);
    const Bytes a = test::read_file(dir / "arc");
    const std::vector<RawEntry> entries = e2e::parse_archive(a);  // throws unless the sizes chain
    ASSERT_EQ(entries.size(), 4u);
    std::uint64_t total = 0;
    for (const RawEntry& e : entries) {
        EXPECT_EQ(e.entry_size, e.header_bytes() + e.stream.size());
        EXPECT_GE(e.stream.size(), 5u);
        EXPECT_EQ(e.stream[0], 0);
        EXPECT_EQ(e.solid, 0);
        EXPECT_EQ(e.stored_dir(), "f/");
        EXPECT_EQ(e.name_length, e.stored_name().size() + 1);
        total += e.entry_size;
    }
    EXPECT_EQ(total, a.size());

    // search_depth follows -m, ring_size follows -b (default -m2 -b2).
    const struct {
        std::vector<std::string> switches;
        std::uint32_t depth, ring;
    } runs[] = {{{"-h1"}, 2, 1u << 24},
                {{"-m0", "-b1", "-h1"}, 1, 1u << 23},
                {{"-m3", "-b3", "-h1"}, 2, 1u << 25},
                {{"-m6", "-h1"}, 8, 1u << 24},
                {{"-m9", "-b1", "-h1"}, 16, 1u << 23}};
    int i = 0;
    for (const auto& run : runs) {
        const std::string name = "sw" + std::to_string(i++);
        std::vector<std::string> args = {"a"};
        args.insert(args.end(), run.switches.begin(), run.switches.end());
        args.insert(args.end(), {name, "f/d.txt"});
        const RunResult s = e2e::run_qev(dir.path(), args);
        ASSERT_EQ(s.status, 0) << describe(s);
        const std::vector<RawEntry> e = e2e::parse_archive(test::read_file(dir / name));
        ASSERT_EQ(e.size(), 1u);
        EXPECT_EQ(e[0].search_depth, run.depth) << name;
        EXPECT_EQ(e[0].ring_size, run.ring) << name;
    }
}

TEST(ArchiveFormat, AppendingToAnArchiveFromAnEarlierRun) {
    TempDir dir;
    dir.put("one.txt", test::wordy_bytes(20000, 4));
    dir.put("two.txt", test::wordy_bytes(15000, 5));
    ASSERT_EQ(add(dir, {"arc", "one.txt"}).status, 0);
    const Bytes first = test::read_file(dir / "arc");
    const RunResult second = add(dir, {"arc", "two.txt"});
    ASSERT_EQ(second.status, 0) << describe(second);
    ASSERT_EQ(add(dir, {"alone", "two.txt"}).status, 0);

    // The earlier entries stay as they were; the new one is exactly what a
    // fresh archive would hold.
    Bytes expected = first;
    const Bytes alone = test::read_file(dir / "alone");
    expected.insert(expected.end(), alone.begin(), alone.end());
    EXPECT_EQ(test::read_file(dir / "arc"), expected);

    // An empty file counts as an archive without entries.
    dir.put("blank", Bytes());
    ASSERT_EQ(add(dir, {"blank", "two.txt"}).status, 0);
    EXPECT_EQ(test::read_file(dir / "blank"), alone);
}

TEST(ArchiveFormat, SolidArchivesTakeNoMoreEntries) {
    TempDir dir;
    dir.put("one.txt", test::wordy_bytes(20000, 6));
    dir.put("two.txt", test::wordy_bytes(15000, 7));
    const RunResult solid = add(dir, {"-s", "solid", "one.txt", "two.txt"});
    ASSERT_EQ(solid.status, 0) << describe(solid);
    for (const RawEntry& e : e2e::parse_archive(test::read_file(dir / "solid"))) EXPECT_EQ(e.solid, 1);
    ASSERT_EQ(add(dir, {"plain", "one.txt"}).status, 0);

    const struct {
        const char* what;
        std::vector<std::string> args;
    } refused[] = {
        {"a normal run onto a solid archive", {"solid", "two.txt"}},
        {"a solid run onto a solid archive", {"-s", "solid", "two.txt"}},
        {"a solid run onto a normal archive", {"-s", "plain", "two.txt"}},
    };
    for (const auto& c : refused) {
        const std::string archive = c.args[c.args.size() - 2];
        const Bytes before = test::read_file(dir / archive);
        const RunResult r = add(dir, c.args);
        EXPECT_TRUE(r.exited() && r.status == 1) << c.what << "\n" << describe(r);
        EXPECT_NE(r.err.find("Not implemented in Solid mode ! "), std::string::npos) << c.what << "\n" << describe(r);
        EXPECT_EQ(test::read_file(dir / archive), before) << c.what;
    }
}

// An input that is listed but cannot be opened is reported, left out of the
// archive and of the totals, and the run ends with status 1. When the tests
// run as root, permissions do not stop reads, so the program then runs as an
// ordinary user.
TEST(ArchiveFormat, UnreadableInputIsReportedAndSkipped) {
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    const std::string readable = dir.put("open.txt", test::wordy_bytes(1000, 8));
    const std::string locked = dir.put("locked.txt", test::wordy_bytes(50, 9));
    chmod(readable.c_str(), 0644);
    ASSERT_EQ(chmod(locked.c_str(), 0000), 0);

    e2e::RunOptions options;
    options.unprivileged = true;
    const std::string refused = e2e::unprivileged_run_refused(dir.path());
    if (!refused.empty()) GTEST_SKIP() << refused;
    const RunResult r = e2e::run_qev(dir.path(), {"a", "--no-packs", "-b1", "-h1", "arc", "locked.txt", "open.txt"}, options);
    EXPECT_TRUE(r.exited() && r.status == 1) << describe(r);
    EXPECT_NE(r.err.find("Error: cannot open Input file locked.txt\n"), std::string::npos) << describe(r);
    EXPECT_NE(r.out.find("\n1000 bytes, 1 files.\n"), std::string::npos) << describe(r);
    const std::vector<RawEntry> entries = e2e::parse_archive(test::read_file(dir / "arc"));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].stored_name(), "open.txt");
}

}  // namespace
}  // namespace qev
