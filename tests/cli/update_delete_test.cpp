// Exclusions and lists of names, qev u and qev d, through the built program.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "test_util.h"

namespace qev {
namespace {

using e2e::describe;
using e2e::RunResult;
using e2e::TempDir;
namespace fs = std::filesystem;

std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

// Every stored path, folders included, sorted.
std::vector<std::string> stored(const std::string& archive) { return sorted(e2e::listed_paths(archive, true)); }

// A small tree: two folders of text files, a log, and an object folder.
void make_tree(const TempDir& dir) {
    dir.put("src/a.txt", "alpha\n");
    dir.put("src/b.log", "log\n");
    dir.put("src/sub/c.txt", "gamma\n");
    dir.put("src/build/d.o", "object\n");
    dir.put("build/e.o", "object 2\n");
}

// The names the temporary files of a run that was killed leave.
std::vector<std::string> partial_files(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) {
        const std::string name = e.path().filename().string();
        if (name.find(".qev-partial-") != std::string::npos) names.push_back(name);
    }
    return names;
}

TEST(SelectionOptions, ExclusionsAndListsOfNames) {
    TempDir dir;
    make_tree(dir);
    // A base name, a wildcard and a folder, which is not entered wherever it is.
    RunResult r = e2e::run_qev(dir.path(), {"a", "-r", "--exclude=*.log", "--exclude=build", "x.qev", "src", "build"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(stored(dir / "x.qev"), (std::vector<std::string>{"src", "src/a.txt", "src/sub", "src/sub/c.txt"}));
    // A pattern with a folder in it matches that tail of the path only;
    // patterns from a file, one a line.
    dir.put("ex.lst", "sub/*\n\n*.o\n");
    r = e2e::run_qev(dir.path(), {"a", "-r", "--exclude-from=ex.lst", "--exclude=src/a.txt", "y.qev", "src"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(stored(dir / "y.qev"),
              (std::vector<std::string>{"src", "src/b.log", "src/build", "src/sub"}));

    // Names from a list, and from standard input separated by NULs, as
    // find -print0 gives them; a name with a line end in it stays one name.
    dir.put("odd\nname", "odd\n");
    dir.put("names.lst", "src/a.txt\nbuild/e.o\n");
    r = e2e::run_qev(dir.path(), {"a", "--files-from=names.lst", "n.qev", "src/b.log"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(stored(dir / "n.qev"), (std::vector<std::string>{"build/e.o", "src/a.txt", "src/b.log"}));
    const std::string command = "cd " + dir.path() + " && printf 'odd\\nname\\0src/sub/c.txt\\0' | " QEV_BINARY
                                " a --null --files-from=- z.qev >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(stored(dir / "z.qev"), (std::vector<std::string>{"odd\\nname", "src/sub/c.txt"}));
    r = e2e::run_qev(dir.path(), {"a", "--files-from=missing.lst", "m.qev"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot read the list of names missing.lst"), std::string::npos) << describe(r);
    EXPECT_FALSE(fs::exists(dir / "m.qev"));

    // x, l and t leave out what exclusions name, in packs and as entries of
    // their own; l keeps its -v right after the command.
    r = e2e::run_qev(dir.path(), {"x", "--exclude=sub", "x.qev", "out/"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(e2e::files_of(e2e::snapshot(dir / "out")), (e2e::Tree{{"src/a.txt", "alpha\n"}}));
    r = e2e::run_qev(dir.path(), {"l", "-v", "--exclude=*.txt", "x.qev"});
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(r.out.find("a.txt"), std::string::npos) << describe(r);
    EXPECT_NE(r.out.find("n.2 files"), std::string::npos) << describe(r);
    r = e2e::run_qev(dir.path(), {"t", "--exclude=src", "x.qev"});
    EXPECT_NE(r.out.find(" 0 entries tested"), std::string::npos) << describe(r);

    // An unknown long option, or one the command does not take, is the
    // usage error it always was.
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"a", "--exclude", "q.qev", "src"},
                                                {"a", "--excludes=x", "q.qev", "src"},
                                                {"x", "--files-from=names.lst", "x.qev"},
                                                {"d", "--exclude=x", "x.qev", "a.txt"}}) {
        r = e2e::run_qev(dir.path(), bad);
        EXPECT_EQ(r.status, 1) << bad[1];
        EXPECT_NE(r.err.find("Unknown option!"), std::string::npos) << bad[1] << describe(r);
    }
}

TEST(Update, StoresOnlyWhatIsNewOrChanged) {
    TempDir dir;
    make_tree(dir);
    // Without an archive, everything is new.
    RunResult r = e2e::run_qev(dir.path(), {"u", "-r", "u.qev", "src"});
    ASSERT_EQ(r.status, 0) << describe(r);
    const std::vector<std::uint8_t> first = test::read_file(dir / "u.qev");

    r = e2e::run_qev(dir.path(), {"u", "-r", "u.qev", "src"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_NE(r.out.find("7 unchanged files not stored again"), std::string::npos) << describe(r);
    EXPECT_EQ(test::read_file(dir / "u.qev"), first);

    // A file touched, one whose mode changed and a new one; its folder
    // changed with it.
    const fs::file_time_type later = fs::last_write_time(dir / "src/a.txt") + std::chrono::seconds(5);
    fs::last_write_time(dir / "src/a.txt", later);
    ASSERT_EQ(chmod((dir / "src/sub/c.txt").c_str(), 0600), 0);
    dir.put("src/sub/new.txt", "new\n");
    // Members of packs may hold whole seconds: the folder's new time is
    // set apart from the old one by more.
    fs::last_write_time(dir / "src/sub", later);
    r = e2e::run_qev(dir.path(), {"u", "-r", "u.qev", "src"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_NE(r.out.find("4 unchanged files not stored again"), std::string::npos) << describe(r);
    EXPECT_NE(r.out.find(", 4 files."), std::string::npos) << describe(r);
    // The new entries were appended; the last one for each path wins.
    const std::vector<std::uint8_t> now = test::read_file(dir / "u.qev");
    ASSERT_GT(now.size(), first.size());
    EXPECT_TRUE(std::equal(first.begin(), first.end(), now.begin()));
    r = e2e::run_qev(dir.path(), {"x", "u.qev", "out/"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(e2e::tree_difference(e2e::snapshot(dir / "src"), e2e::snapshot(dir / "out/src")), "");
    r = e2e::run_qev(dir.path(), {"u", "-r", "u.qev", "src"});
    EXPECT_NE(r.out.find("8 unchanged files not stored again"), std::string::npos) << describe(r);
    EXPECT_EQ(test::read_file(dir / "u.qev"), now);

    // What a killed add left at the end is cut off, as by a.
    e2e::RawEntry unfinished = e2e::parse_archive(now)[0];
    unfinished.entry_size = 0;
    std::vector<std::uint8_t> cut = now;
    const std::vector<std::uint8_t> tail = e2e::entry_bytes(unfinished);
    cut.insert(cut.end(), tail.begin(), tail.end());
    test::write_file(dir / "u.qev", cut);
    dir.put("src/later.txt", "later\n");
    r = e2e::run_qev(dir.path(), {"u", "u.qev", "src/later.txt", "src/a.txt"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_NE(r.err.find("unfinished entry"), std::string::npos) << describe(r);
    EXPECT_NE(r.out.find(", 1 files."), std::string::npos) << describe(r);

    // Exclusions hold for u as for a.
    r = e2e::run_qev(dir.path(), {"u", "-r", "--exclude=*.o", "u.qev", "src", "build"});
    // The folder build, and src, which later.txt changed.
    EXPECT_NE(r.out.find(", 2 files."), std::string::npos) << describe(r);
}

TEST(Update, RefusesArchivesItCannotCompare) {
    TempDir dir;
    make_tree(dir);
    for (const char* switches : {"-p", "-s"}) {
        const std::string archive = std::string(switches + 1) + ".qev";
        RunResult r = e2e::run_qev(dir.path(), {"a", switches, "-r", archive, "src"});
        ASSERT_EQ(r.status, 0) << describe(r);
        const std::vector<std::uint8_t> before = test::read_file(dir / archive);
        r = e2e::run_qev(dir.path(), {"u", "-r", archive, "src"});
        EXPECT_EQ(r.status, 1) << describe(r);
        EXPECT_NE(r.err.find(switches[1] == 'p' ? "written without records" : "solid archive"), std::string::npos)
            << describe(r);
        EXPECT_EQ(test::read_file(dir / archive), before);
        // The switches that would write such entries are refused for u.
        r = e2e::run_qev(dir.path(), {"u", switches, "-r", "new.qev", "src"});
        EXPECT_EQ(r.status, 1) << describe(r);
        EXPECT_NE(r.err.find("qev u"), std::string::npos) << describe(r);
        EXPECT_FALSE(fs::exists(dir / "new.qev"));
    }
}

TEST(Delete, RemovesEntriesAndMembersAndKeepsTheRestByteForByte) {
    TempDir dir;
    make_tree(dir);
    const std::vector<std::uint8_t> big = test::random_bytes(5u << 20, 7);
    dir.put("src/big.bin", big);
    dir.put("src/big2.bin", test::random_bytes(5u << 20, 8));
    RunResult r = e2e::run_qev(dir.path(), {"a", "-r", "d.qev", "src"});
    ASSERT_EQ(r.status, 0) << describe(r);
    const std::vector<e2e::RawEntry> before = e2e::parse_archive(test::read_file(dir / "d.qev"));
    ASSERT_EQ(before.size(), 3u);  // two large files, one pack

    // Nothing matches: the archive is not touched and the run fails.
    r = e2e::run_qev(dir.path(), {"d", "d.qev", "nothing*"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no entry matches nothing*"), std::string::npos) << describe(r);
    EXPECT_EQ(e2e::parse_archive(test::read_file(dir / "d.qev")).size(), 3u);

    // An entry of its own, a member by its base name and a folder with
    // everything in it.
    r = e2e::run_qev(dir.path(), {"d", "-v", "d.qev", "big2.bin", "a.txt", "src/sub"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_NE(r.out.find("removed src/sub/c.txt"), std::string::npos) << describe(r);
    EXPECT_EQ(stored(dir / "d.qev"), (std::vector<std::string>{"src", "src/b.log", "src/big.bin", "src/build",
                                                               "src/build/d.o"}));
    const std::vector<e2e::RawEntry> after = e2e::parse_archive(test::read_file(dir / "d.qev"));
    ASSERT_EQ(after.size(), 2u);
    // The large file that stays is the same entry, byte for byte.
    const auto kept = std::find_if(before.begin(), before.end(),
                                   [](const e2e::RawEntry& e) { return e.stored_name() == "big.bin"; });
    ASSERT_NE(kept, before.end());
    const auto still = std::find_if(after.begin(), after.end(),
                                    [](const e2e::RawEntry& e) { return e.stored_name() == "big.bin"; });
    ASSERT_NE(still, after.end());
    EXPECT_EQ(e2e::entry_bytes(*still), e2e::entry_bytes(*kept));
    r = e2e::run_qev(dir.path(), {"x", "d.qev", "out/"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(e2e::files_of(e2e::snapshot(dir / "out")),
              (e2e::Tree{{"src/b.log", "log\n"},
                         {"src/big.bin", std::string(big.begin(), big.end())},
                         {"src/build/d.o", "object\n"}}));
    // The patterns may come from a list; what is left is a sound archive
    // that takes more entries.
    dir.put("rm.lst", "b.log\n");
    r = e2e::run_qev(dir.path(), {"d", "--files-from=rm.lst", "d.qev"});
    ASSERT_EQ(r.status, 0) << describe(r);
    r = e2e::run_qev(dir.path(), {"a", "d.qev", "build/e.o", "src/a.txt"});
    ASSERT_EQ(r.status, 0) << describe(r);
    r = e2e::run_qev(dir.path(), {"t", "d.qev"});
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(stored(dir / "d.qev"), (std::vector<std::string>{"build/e.o", "src", "src/a.txt", "src/big.bin",
                                                               "src/build", "src/build/d.o"}));
    // The kept pack has its old name, the new one a name of its own.
    std::vector<std::string> names;
    for (const e2e::RawEntry& e : e2e::parse_archive(test::read_file(dir / "d.qev"))) names.push_back(e.stored_name());
    EXPECT_EQ(names, (std::vector<std::string>{"big.bin", "qev-pack-000002.tar", "qev-pack-000003.tar"}));
    // Removing everything removes the archive.
    r = e2e::run_qev(dir.path(), {"d", "d.qev", "*"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_FALSE(fs::exists(dir / "d.qev"));
    EXPECT_TRUE(partial_files(dir.path()).empty());
}

TEST(Delete, RefusedAndFailedRunsLeaveTheArchiveUntouched) {
    TempDir dir;
    make_tree(dir);
    RunResult r = e2e::run_qev(dir.path(), {"a", "-s", "--no-packs", "-r", "s.qev", "src"});
    ASSERT_EQ(r.status, 0) << describe(r);
    const std::vector<std::uint8_t> solid = test::read_file(dir / "s.qev");
    r = e2e::run_qev(dir.path(), {"d", "s.qev", "a.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("is a solid archive"), std::string::npos) << describe(r);
    EXPECT_EQ(test::read_file(dir / "s.qev"), solid);
    // A link to the archive would be replaced by the new archive.
    fs::create_symlink("s.qev", dir / "link.qev");
    r = e2e::run_qev(dir.path(), {"d", "link.qev", "a.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("is a symbolic link"), std::string::npos) << describe(r);
    EXPECT_TRUE(fs::is_symlink(dir / "link.qev"));

    // A new archive that cannot be written (a full disk, as a file size
    // limit makes it) leaves the old one and no temporary file.
    dir.put("src/big.bin", test::random_bytes(3u << 20, 5));
    r = e2e::run_qev(dir.path(), {"a", "-r", "f.qev", "src"});
    ASSERT_EQ(r.status, 0) << describe(r);
    const std::vector<std::uint8_t> full = test::read_file(dir / "f.qev");
    e2e::RunOptions limited;
    limited.file_size_limit = 1u << 20;
    r = e2e::run_qev(dir.path(), {"d", "f.qev", "a.txt"}, limited);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot write the new archive " + dir.path() + "/f.qev.qev-partial-"), std::string::npos)
        << describe(r);
    EXPECT_EQ(test::read_file(dir / "f.qev"), full);
    EXPECT_TRUE(partial_files(dir.path()).empty());
    fs::remove(dir / "src/big.bin");

    // A pack whose bytes were changed is damage: nothing is removed.
    r = e2e::run_qev(dir.path(), {"a", "-r", "p.qev", "src"});
    ASSERT_EQ(r.status, 0) << describe(r);
    std::vector<std::uint8_t> bytes = test::read_file(dir / "p.qev");
    bytes[bytes.size() / 2] ^= 0x40;
    test::write_file(dir / "p.qev", bytes);
    r = e2e::run_qev(dir.path(), {"d", "p.qev", "a.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("nothing was removed"), std::string::npos) << describe(r);
    EXPECT_EQ(test::read_file(dir / "p.qev"), bytes);
    EXPECT_TRUE(partial_files(dir.path()).empty());
}

// What a killed add left at the end is dropped; an unfinished entry with
// complete ones after it is damage, and nothing is removed.
TEST(Delete, UnfinishedEntries) {
    TempDir dir;
    make_tree(dir);
    RunResult r = e2e::run_qev(dir.path(), {"a", "--no-packs", "-r", "n.qev", "src"});
    ASSERT_EQ(r.status, 0) << describe(r);
    const std::vector<std::uint8_t> sound = test::read_file(dir / "n.qev");
    const std::vector<e2e::RawEntry> entries = e2e::parse_archive(sound);
    e2e::RawEntry unfinished = entries[0];
    unfinished.entry_size = 0;
    const std::vector<std::uint8_t> cut = e2e::entry_bytes(unfinished);

    std::vector<std::uint8_t> tail = sound;
    tail.insert(tail.end(), cut.begin(), cut.end());
    test::write_file(dir / "tail.qev", tail);
    r = e2e::run_qev(dir.path(), {"d", "tail.qev", "a.txt"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_NE(r.err.find("unfinished entry"), std::string::npos) << describe(r);
    EXPECT_EQ(e2e::parse_archive(test::read_file(dir / "tail.qev")).size(), entries.size() - 1);

    std::vector<std::uint8_t> middle = cut;
    middle.insert(middle.end(), sound.begin(), sound.end());
    test::write_file(dir / "middle.qev", middle);
    r = e2e::run_qev(dir.path(), {"d", "middle.qev", "a.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("never finished"), std::string::npos) << describe(r);
    EXPECT_EQ(test::read_file(dir / "middle.qev"), middle);
}

// A d killed while it writes the new archive leaves the old one as it was;
// the temporary file it leaves is taken away by the next d there.
TEST(Delete, KilledRunLeavesTheArchiveAsItWas) {
    TempDir dir;
    dir.put("tree/big.bin", test::random_bytes(48u << 20, 3));
    std::string text;
    for (std::uint64_t i = 0; text.size() < (12u << 20); ++i) text += "line " + std::to_string(i * 7919 % 100003) + " of the text\n";
    for (int i = 0; i < 6; ++i) dir.put("tree/t" + std::to_string(i) + ".txt", text.substr(i * 1000, 2u << 20));
    RunResult r = e2e::run_qev(dir.path(), {"a", "-r", "-n", "k.qev", "tree"});
    ASSERT_EQ(r.status, 0) << describe(r);
    const std::vector<std::uint8_t> before = test::read_file(dir / "k.qev");

    const e2e::detail::Child child = e2e::detail::start(dir.path(), {"d", "k.qev", "t0.txt"}, e2e::RunOptions());
    // Killed once its temporary file has begun to grow.
    bool seen = false;
    for (int i = 0; i < 300000 && !seen; ++i) {
        for (const std::string& name : partial_files(dir.path())) {
            std::error_code ec;
            if (fs::file_size(dir / name, ec) > 0 && !ec) seen = true;
        }
        if (!seen) usleep(200);
    }
    kill(child.pid, SIGKILL);
    const RunResult killed = e2e::detail::finish(child);
    ASSERT_TRUE(seen) << "the run ended before its temporary file was seen: " << describe(killed);
    EXPECT_EQ(killed.signal, SIGKILL) << describe(killed);
    EXPECT_EQ(test::read_file(dir / "k.qev"), before);
    r = e2e::run_qev(dir.path(), {"t", "k.qev"});
    EXPECT_EQ(r.status, 0) << describe(r);

    // The leftover is no archive entry of anything; the next d removes it.
    r = e2e::run_qev(dir.path(), {"d", "k.qev", "t0.txt"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_TRUE(partial_files(dir.path()).empty());
    EXPECT_EQ(sorted(e2e::listed_paths(dir / "k.qev")),
              (std::vector<std::string>{"tree/big.bin", "tree/t1.txt", "tree/t2.txt", "tree/t3.txt", "tree/t4.txt",
                                        "tree/t5.txt"}));
}

}  // namespace
}  // namespace qev
