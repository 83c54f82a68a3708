// The add command's file selection through the built program: what is
// selected, what is refused with a line naming it, and the exit status.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
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

// The lines on standard error: errors, warnings and notes.
std::vector<std::string> diagnostics(const RunResult& r) { return e2e::lines_of(r.err); }

// dir + name of every entry, in archive order.
std::vector<std::string> stored(const std::string& archive) { return e2e::listed_paths(archive); }

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
    EXPECT_EQ(r.err.find("WARNING"), std::string::npos) << describe(r);
    EXPECT_EQ(e2e::files_of(e2e::snapshot(dir / "out")),
              (e2e::Tree{{"d1/x:y", "in d1"}, {"d1/z:/in", "in z:"}}));
    r = e2e::run_qev(dir.path(), {"x", "t.qev", "out2"});
    EXPECT_EQ(e2e::files_of(e2e::snapshot(dir / "out2")), (e2e::Tree{{"a:b", "colon"}, {"b", "plain"}}))
        << describe(r);
}

// Every file argument that selects nothing is named, and the run fails after
// storing the rest; FIFOs named as arguments are named but are no failure,
// and those met in a walk are stored; names holding a '\' are refused.
TEST(AddSelection, WhatIsNotStoredIsNamed) {
    TempDir dir;
    dir.put("d1/f", "two");
    dir.put("tree/ok.txt", "ok");
    dir.put("tree/sub/deeper.txt", "deeper");
    dir.put("back\\slash", "b");
    dir.put("bs/x\\y.txt", "b");
    dir.put("bs/fine.txt", "fine");
    ASSERT_EQ(mkfifo((dir / "p").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((dir / "tree/pipe").c_str(), 0600), 0);

    RunResult r =
        e2e::run_qev(dir.path(), {"a", "-b1", "-h1", "arc.qev", "missing.txt", "d1/f", "*.none", "p", "/dev/zero", "d1"});
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_EQ(body(r), (std::vector<std::string>{"Archive=" + (dir / "arc.qev") + " ", "3 bytes, 1 files."}));
    EXPECT_EQ(diagnostics(r), (std::vector<std::string>{"WARNING: nothing matches missing.txt",
                                                        "WARNING: nothing matches *.none",
                                                        "WARNING: p is not a regular file; skipped",
                                                        "WARNING: /dev/zero is not a regular file; skipped",
                                                        "WARNING: d1 is a folder; without -r nothing in it is stored"}));
    EXPECT_EQ(stored(dir / "arc.qev"), (std::vector<std::string>{"d1/f"}));

    r = e2e::run_qev(dir.path(), {"a", "-r", "-b1", "-h1", "tree.qev", "tree"});
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(body(r), (std::vector<std::string>{"Archive=" + (dir / "tree.qev") + " ", "8 bytes, 5 files."}));
    EXPECT_EQ(diagnostics(r), std::vector<std::string>{});

    r = e2e::run_qev(dir.path(), {"a", "-r", "-b1", "-h1", "bs.qev", "back\\slash", "bs"});
    EXPECT_EQ(r.status, 1) << describe(r);
    // The names are shown with the backslash escaped.
    const std::vector<std::string> lines = diagnostics(r);
    for (const char* name : {"back\\\\slash", "bs/x\\\\y.txt"}) {
        const std::string line =
            "Error: " + std::string(name) + " has a '\\' in its name, which the archive cannot store; skipped";
        EXPECT_EQ(std::count(lines.begin(), lines.end(), line), 1) << describe(r);
    }
    EXPECT_EQ(stored(dir / "bs.qev"), (std::vector<std::string>{"bs/fine.txt"}));
}

// The file a run writes to is never selected, whichever argument meets it.
TEST(AddSelection, TheArchiveIsNotStoredInItself) {
    TempDir dir;
    dir.put("w/f1.txt", "one");
    dir.put("w/f2.txt", "two");
    std::string w = dir / "w";
    const auto note = [](const std::string& path) { return "NOTE: " + path + " is the archive itself; not stored"; };
    const auto expect_note = [&](const std::vector<std::string>& args, const std::string& path) {
        std::vector<std::string> a = {"a", "-b1", "-h1"};
        a.insert(a.end(), args.begin(), args.end());
        const RunResult r = e2e::run_qev(w, a);
        EXPECT_EQ(r.status, 0) << describe(r);
        const std::vector<std::string> lines = diagnostics(r);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), note(path)), 1) << describe(r);
    };

    EXPECT_EQ(e2e::run_qev(w, {"a", "-r", "-b1", "-h1", "arc.qev", "."}).status, 0);
    expect_note({"-r", "arc.qev", "."}, "./arc.qev");
    expect_note({"arc.qev", "arc.qev", "f2.txt"}, "arc.qev");
    expect_note({"arc.qev", "*"}, "arc.qev");
    ASSERT_EQ(link((w + "/arc.qev").c_str(), (w + "/link.qev").c_str()), 0);
    expect_note({"arc.qev", "link.qev", "f1.txt"}, "link.qev");
    for (const std::string& path : stored(w + "/arc.qev")) EXPECT_EQ(path.find(".qev"), std::string::npos) << path;

    // The single-argument form writes v.qev beside the files it stores.
    dir.put("v/g.txt", "three");
    w = dir / "v";
    EXPECT_EQ(e2e::run_qev(w, {"a", "-r", "-b1", "-h1", "."}).status, 0);
    expect_note({"-r", "."}, "./v.qev");
    EXPECT_EQ(stored(w + "/v.qev"), (std::vector<std::string>{"./g.txt", "./g.txt"}));
}

// A file that yields more bytes than its size said is stored up to that size,
// with a warning, and the run fails. Kernel files report a size of 0 while
// reading yields their content.
TEST(AddSelection, AFileThatGrewIsCutWithAWarning) {
    struct stat st{};
    if (stat("/proc/version", &st) != 0 || st.st_size != 0) GTEST_SKIP() << "no /proc/version of size 0";
    TempDir dir;
    dir.put("f.txt", "text");
    const RunResult r = e2e::run_qev(dir.path(), {"a", "--no-packs", "-b1", "-h1", "arc.qev", "f.txt", "/proc/version"});
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_EQ(body(r), (std::vector<std::string>{"Archive=" + (dir / "arc.qev") + " ", "4 bytes, 2 files."}));
    EXPECT_EQ(diagnostics(r), (std::vector<std::string>{
                                  "WARNING: /proc/version grew while it was stored; only its first 0 bytes are stored"}));
    const std::vector<e2e::RawEntry> entries = e2e::parse_archive(test::read_file(dir / "arc.qev"));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].stored_name(), "version");
    EXPECT_EQ(entries[0].unpacked_size, 0u);
    // A member of a pack is read up to the size it had when it was opened, too.
    const RunResult packed = e2e::run_qev(dir.path(), {"a", "-b1", "-h1", "packed.qev", "f.txt", "/proc/version"});
    EXPECT_EQ(packed.status, 1) << describe(packed);
    EXPECT_EQ(diagnostics(packed), diagnostics(r));
    EXPECT_EQ(stored(dir / "packed.qev"), (std::vector<std::string>{"f.txt", "proc/version"}));
}

// The lines of r's standard error that begin with prefix.
std::size_t count_lines(const RunResult& r, const std::string& prefix) {
    const std::vector<std::string> lines = diagnostics(r);
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

// With links followed no folder is walked twice in a run, whatever leads to
// it again: twenty folders that each hold a link to their own subfolder, two
// links to one folder elsewhere, a link to an ancestor, a later argument.
// Every file is stored once, with one line per folder not entered again.
TEST(AddSelection, FollowedLinksEnterEveryFolderOnce) {
    namespace fs = std::filesystem;
    TempDir dir;
    std::string chain = "chain";
    for (int i = 0; i < 20; ++i) {
        const std::string sub = "d" + std::to_string(i);
        dir.put(chain + "/" + sub + "/f.txt", "x");
        fs::create_directory_symlink(sub, dir / (chain + "/l" + std::to_string(i)));
        chain += "/" + sub;
    }
    dir.put("common/s.txt", "common");
    dir.put("etc/e.txt", "e");
    fs::create_directories(dir / "etc/alt");
    fs::create_directory_symlink("../../common", dir / "etc/alt/one");
    fs::create_directory_symlink("../../common", dir / "etc/alt/two");
    fs::create_directory_symlink(".", dir / "etc/self");

    e2e::RunOptions options;
    options.timeout_seconds = 30;
    const RunResult r =
        e2e::run_qev(dir.path(), {"a", "--dereference", "-r", "-b1", "-h1", "arc.qev", "chain", "etc", "common"}, options);
    ASSERT_TRUE(r.exited() && r.status == 0) << describe(r);
    EXPECT_EQ(count_lines(r, "WARNING: folder "), 20u + 3u) << describe(r);
    EXPECT_EQ(count_lines(r, "WARNING: folder etc/self leads to etc, which was entered already"), 1u) << describe(r);
    EXPECT_EQ(body(r).back(), "27 bytes, 22 files.") << describe(r);
}

// A followed link that leads nowhere (a missing target, a loop) is named and
// fails the run; with -l it is stored as a link.
TEST(AddSelection, ALinkThatLeadsNowhereIsNamed) {
    TempDir dir;
    dir.put("t/ok.txt", "ok");
    ASSERT_EQ(symlink("missing", (dir / "t/gone").c_str()), 0);
    ASSERT_EQ(symlink("loop", (dir / "t/loop").c_str()), 0);
    ASSERT_EQ(symlink("t/missing", (dir / "top").c_str()), 0);
    RunResult r = e2e::run_qev(dir.path(), {"a", "--dereference", "-r", "-b1", "-h1", "arc.qev", "t", "top"});
    EXPECT_EQ(r.status, 1) << describe(r);
    for (const char* name : {"t/gone", "t/loop", "top"}) {
        EXPECT_EQ(count_lines(r, "Error: " + std::string(name) + " is a symbolic link that leads nowhere; not stored"),
                  1u)
            << describe(r);
    }
    EXPECT_EQ(stored(dir / "arc.qev"), (std::vector<std::string>{"t/ok.txt"}));
    r = e2e::run_qev(dir.path(), {"a", "-l", "-r", "-b1", "-h1", "links.qev", "t", "top"});
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(stored(dir / "links.qev").size(), 4u);
}

// A file argument that begins with -m is dropped as a misplaced switch; when
// a file has that name, that is said and the run fails. After "--" nothing
// is dropped, whether it ends the switches or comes among the files.
TEST(AddSelection, AFileNamedLikeAMethodSwitch) {
    TempDir dir;
    dir.put("w/-m5.txt", "five");
    dir.put("w/a.txt", "a");
    const std::string w = dir / "w";
    RunResult r = e2e::run_qev(w, {"a", "-b1", "-h1", "../all.qev", "-m5.txt", "a.txt"});
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_EQ(count_lines(r, "WARNING: -m5.txt is read as a misplaced method switch and is not stored; to store it, "
                             "put -- before the file names"),
              1u)
        << describe(r);
    EXPECT_EQ(stored(dir / "all.qev"), (std::vector<std::string>{"a.txt"}));

    r = e2e::run_qev(w, {"a", "-b1", "-h1", "../every.qev", "--", "-m5.txt", "a.txt"});
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(stored(dir / "every.qev"), (std::vector<std::string>{"-m5.txt", "a.txt"}));
    r = e2e::run_qev(w, {"a", "-b1", "-h1", "--", "-marc", "-m5.txt"});
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(stored(w + "/-marc"), (std::vector<std::string>{"-m5.txt"}));
    // A real switch typed late is still dropped without a word.
    r = e2e::run_qev(w, {"a", "-b1", "-h1", "../late.qev", "-m3", "a.txt"});
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(stored(dir / "late.qev"), (std::vector<std::string>{"a.txt"}));
}

// A file rewritten in place while it is stored (its size unchanged) is
// stored as read, named, and fails the run, with one coder and with workers.
// A writer rewrites the file's first bytes with the same bytes all through
// the runs, so the stored content is the file's all the same.
TEST(AddSelection, AFileRewrittenWhileStoredIsNamedWithOneCoderAndWorkers) {
    TempDir dir;
    const std::vector<std::uint8_t> content = test::wordy_bytes(5u << 20, 5);
    const std::string big = dir.put("big.txt", content);
    dir.put("small.txt", "small");
    std::atomic<bool> stop{false};
    std::atomic<int> writes{0};
    std::thread writer([&] {
        const int fd = open(big.c_str(), O_WRONLY);
        while (fd >= 0 && !stop) {
            if (pwrite(fd, content.data(), 4096, 0) == 4096) ++writes;
        }
        if (fd >= 0) close(fd);
    });
    while (writes == 0) std::this_thread::yield();
    e2e::RunOptions slow;  // under the thread sanitizer
    slow.timeout_seconds = 400;
    std::vector<RunResult> runs;
    for (const char* threads : {"-t1", "-t2"}) {
        runs.push_back(e2e::run_qev(dir.path(), {"a", threads, "-m0", "-b1", "-h1", "-n", "arc" + std::string(threads),
                                                 "big.txt", "small.txt"}, slow));
    }
    stop = true;
    writer.join();
    for (const RunResult& r : runs) {
        EXPECT_EQ(r.status, 1) << describe(r);
        EXPECT_EQ(count_lines(r, "WARNING: file big.txt changed as we read it; it is stored as read"), 1u)
            << describe(r);
        EXPECT_EQ(body(r).back(), std::to_string(content.size() + 5) + " bytes, 2 files.") << describe(r);
    }
    const RunResult x = e2e::run_qev(dir.path(), {"x", "arc-t2", "out"});
    EXPECT_EQ(x.status, 0) << describe(x);
    EXPECT_TRUE(test::read_file(dir / "out/big.txt") == content);
}

}  // namespace
}  // namespace qev

namespace qev {
namespace {

// -u with the other switches: several workers, solid mode, the smallest ring
// and table. The entries record what -m and -b say, and come out smaller than
// -m9's; every file comes back.
TEST(AddStrong, CombinesWithWorkersSolidModeAndEverySwitch) {
    TempDir dir;
    for (const std::string& name : test::corpus_files()) dir.put("in/" + name, test::read_file(test::corpus_path(name)));
    std::vector<std::uint8_t> runs(300000, 0);
    for (std::size_t i = 0; i < runs.size(); i += 997) runs[i] = static_cast<std::uint8_t>(i);
    dir.put("in/runs.bin", runs);
    dir.put("in/noise.bin", test::random_bytes(50000, 3));
    dir.put("in/small.txt", test::wordy_bytes(65, 4));
    const std::vector<std::vector<std::string>> adds = {
        {"a", "-m9", "-b1", "-h1", "-t2", "-n", "m9.qev", "in/*"},
        {"a", "-u", "-m9", "-b1", "-h1", "-t2", "-n", "u.qev", "in/*"},
        {"a", "-usm3", "-b2", "-h1", "-n", "us.qev", "in/*"},
        {"a", "-u", "-p", "-v", "-b1", "-h1", "-t1", "-n", "up.qev", "in/*"},
        {"a", "-u", "-l", "-r", "-b1", "-h1", "-n", "ul.qev", "in"},
    };
    const std::vector<RunResult> added = e2e::run_qev_parallel(dir.path(), adds);
    for (std::size_t i = 0; i < adds.size(); ++i) {
        ASSERT_EQ(added[i].status, 0) << describe(added[i]);
        const std::string out = "out" + std::to_string(i);
        const std::string archive = adds[i][adds[i].size() - 2];
        const RunResult x = e2e::run_qev(dir.path(), {"x", "-t2", "-n", archive, out});
        ASSERT_EQ(x.status, 0) << describe(x);
        EXPECT_EQ(e2e::tree_difference(e2e::snapshot(dir / "in"), e2e::snapshot(dir / out + "/in")), "") << i;
    }
    const auto m9 = e2e::parse_archive(test::read_file(dir / "m9.qev"));
    const auto u = e2e::parse_archive(test::read_file(dir / "u.qev"));
    ASSERT_EQ(m9.size(), u.size());
    std::size_t m9_bytes = 0, u_bytes = 0;
    for (std::size_t i = 0; i < u.size(); ++i) {
        EXPECT_EQ(u[i].search_depth, m9[i].search_depth);
        EXPECT_EQ(u[i].ring_size, m9[i].ring_size);
        m9_bytes += m9[i].stream.size();
        u_bytes += u[i].stream.size();
    }
    EXPECT_LT(u_bytes, m9_bytes);
    for (const auto& e : e2e::parse_archive(test::read_file(dir / "us.qev"))) {
        EXPECT_TRUE(e.search_depth == 2 && e.ring_size == 16u << 20);
    }
}

}  // namespace
}  // namespace qev
