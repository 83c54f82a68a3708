// Where and in what order extraction puts its output: entries without a
// usable name, the archive being read, several entries for one path, a
// destination that changes under a running extraction, stored paths longer
// than a whole path may be, and the temporary files of a killed run.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "e2e_util.h"
#include "test_util.h"

namespace qev {
namespace {

namespace fs = std::filesystem;
using e2e::describe;
using e2e::RawEntry;
using e2e::RunResult;
using e2e::TempDir;
using Bytes = std::vector<std::uint8_t>;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The names below root that have the form of the program's temporary files.
std::vector<std::string> temporaries(const std::string& root) {
    std::vector<std::string> found;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (contains(e.path().filename().string(), ".qev-partial-")) found.push_back(e.path().string());
    }
    return found;
}

// Starts qev, polls until ready() holds or the program has ended, and hands
// the running child to act().
template <typename Ready, typename Act>
RunResult when_ready(const std::string& cwd, const std::vector<std::string>& args, Ready ready, Act act) {
    const e2e::detail::Child child = e2e::detail::start(cwd, args, e2e::RunOptions());
    for (int i = 0; i < 20000 && !ready(); ++i) {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    act(child.pid);
    return e2e::detail::finish(child);
}

// Real small entries without integrity records, to rename at will.
std::vector<RawEntry> plain_entries(const TempDir& dir, bool solid = false) {
    dir.put("src/one.a", std::string("first entry\n"));
    dir.put("src/two.b", std::string("second entry\n"));
    dir.put("src/three.c", std::string("third entry\n"));
    const std::string archive = solid ? "solid" : "plain";
    const RunResult r = e2e::run_qev(dir / "src", {"a", solid ? "-ps" : "-p", "-b1", "-h1", "../" + archive, "one.a",
                                                   "two.b", "three.c"});
    if (r.status != 0) throw std::runtime_error(describe(r));
    return e2e::parse_archive(test::read_file(dir / archive));
}

TEST(Output, EntryWithoutAUsableNameIsDamagedForTestAsForExtract) {
    TempDir t;
    std::vector<RawEntry> set = plain_entries(t);
    RawEntry nameless = set[1];
    nameless.set_path("../", "..");
    nameless.fix_size();
    test::write_file(t / "arc", e2e::archive_bytes({set[0], nameless, set[2]}));
    RunResult r = e2e::run_qev(t.path(), {"t", "arc"});
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_TRUE(contains(r.err, "Error: damaged entry ../.. in archive " + t / "arc" + ": the entry has no file name"))
        << r.err;
    EXPECT_TRUE(contains(r.out, " 3 entries tested: 0 ok, 1 damaged, 2 without checksum\n")) << r.out;
    r = e2e::run_qev(t.path(), {"x", "arc", "out/"});
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_TRUE(contains(r.err, "the entry has no file name")) << r.err;
    EXPECT_EQ(test::read_file(t / "out/three.c"), e2e::bytes_of("third entry\n"));

    // Solid: the entry is still decoded, so that the ones after it are too.
    set = plain_entries(t, true);
    ASSERT_EQ(set[1].solid, 1);
    nameless = set[1];
    nameless.set_path("", "/");
    nameless.fix_size();
    test::write_file(t / "solid-arc", e2e::archive_bytes({set[0], nameless, set[2]}));
    r = e2e::run_qev(t.path(), {"t", "solid-arc"});
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_TRUE(contains(r.out, " 3 entries tested: 0 ok, 1 damaged, 2 without checksum\n")) << r.out;
    r = e2e::run_qev(t.path(), {"x", "solid-arc", "solid-out/"});
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_EQ(test::read_file(t / "solid-out/three.c"), e2e::bytes_of("third entry\n"));
}

// A stored link or folder named like the archive, extracted in place.
TEST(Output, NoEntryOfAnyKindReplacesTheArchiveBeingRead) {
    TempDir t;
    fs::create_directories(t / "link");
    fs::create_symlink("/dev/null", t / "link/backup.qev");
    fs::create_directories(t / "folder/backup.qev");
    ASSERT_EQ(e2e::run_qev(t / "link", {"a", "-l", "../link.qev", "backup.qev"}).status, 0);
    ASSERT_EQ(e2e::run_qev(t / "folder", {"a", "-r", "-l", "../folder.qev", "backup.qev"}).status, 0);
    for (const std::string kind : {"link", "folder"}) {
        for (const std::string workers : {"-t1", "-t4"}) {
            SCOPED_TRACE(kind + " " + workers);
            const std::string here = t / ("in-place-" + kind + workers);
            fs::create_directories(here);
            fs::copy_file(t / (kind + ".qev"), here + "/backup.qev");
            const Bytes archive = test::read_file(here + "/backup.qev");
            const RunResult r = e2e::run_qev(here, {"x", workers, "backup.qev"});
            EXPECT_EQ(r.status, 1) << describe(r);
            EXPECT_TRUE(contains(r.err, "Error: entry backup.qev would replace the archive " + here +
                                            "/backup.qev being read; it is not restored\n"))
                << r.err;
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(here + "/backup.qev")));
            EXPECT_EQ(test::read_file(here + "/backup.qev"), archive);
        }
    }
}

// A link and a file stored for one path, in both orders, with one worker
// and with several: the entry stored last is what the path holds.
TEST(Output, LaterEntryForAPathWinsWhateverItsKindWithWorkers) {
    TempDir t;
    t.put("file/p", std::string("the file\n"));
    fs::create_directories(t / "link");
    fs::create_symlink("the-link-target", t / "link/p");
    ASSERT_EQ(e2e::run_qev(t / "link", {"a", "-l", "../link-then-file", "p"}).status, 0);
    ASSERT_EQ(e2e::run_qev(t / "file", {"a", "../link-then-file", "p"}).status, 0);
    ASSERT_EQ(e2e::run_qev(t / "file", {"a", "../file-then-link", "p"}).status, 0);
    ASSERT_EQ(e2e::run_qev(t / "link", {"a", "-l", "../file-then-link", "p"}).status, 0);
    for (const char* workers : {"-t1", "-t4"}) {
        SCOPED_TRACE(workers);
        const std::string out = t / (std::string("out") + workers);
        RunResult r = e2e::run_qev(t.path(), {"x", workers, "link-then-file", out + "/a/"});
        EXPECT_EQ(r.status, 0) << describe(r);
        EXPECT_FALSE(fs::is_symlink(out + "/a/p"));
        EXPECT_EQ(test::read_file(out + "/a/p"), e2e::bytes_of("the file\n"));
        r = e2e::run_qev(t.path(), {"x", workers, "file-then-link", out + "/b/"});
        EXPECT_EQ(r.status, 0) << describe(r);
        ASSERT_TRUE(fs::is_symlink(out + "/b/p"));
        EXPECT_EQ(fs::read_symlink(out + "/b/p"), fs::path("the-link-target"));
    }
}

// The destination is swapped for a link to another folder while x -t8 is
// restoring a large first entry: every file, link and folder mode still
// lands in the folder the run started in.
TEST(Output, WorkersKeepTheDestinationTheyStartedIn) {
    TempDir t;
    t.put("in/big.b", test::random_bytes(16u << 20, 3));
    t.put("in/tree/sub/f.txt", std::string("inside\n"));
    fs::create_symlink("sub/f.txt", t / "in/tree/ln");
    fs::create_directories(t / "in/tree/empty");
    chmod((t / "in/tree/empty").c_str(), 0700);
    ASSERT_EQ(e2e::run_qev(t / "in", {"a", "../arc", "big.b"}).status, 0);
    ASSERT_EQ(e2e::run_qev(t / "in", {"a", "-r", "-l", "../arc", "tree"}).status, 0);
    fs::create_directories(t / "elsewhere");
    bool swapped = false;
    const RunResult r = when_ready(
        t.path(), {"x", "-t8", "arc", "dest/"}, [&] { return fs::exists(t / "dest") && !temporaries(t / "dest").empty(); },
        [&](pid_t pid) {
            if (kill(pid, SIGSTOP) != 0) return;
            std::error_code ec;
            fs::rename(t / "dest", t / "started-in", ec);
            if (!ec) fs::create_directory_symlink(t / "elsewhere", t / "dest", ec);
            swapped = !ec;
            kill(pid, SIGCONT);
        });
    ASSERT_TRUE(swapped) << "the run ended before the swap\n" << describe(r);
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_TRUE(fs::is_empty(t / "elsewhere"));
    std::error_code ec;
    EXPECT_EQ(fs::file_size(t / "started-in/big.b", ec), 16u << 20);
    EXPECT_EQ(test::read_file(t / "started-in/tree/sub/f.txt"), e2e::bytes_of("inside\n"));
    EXPECT_EQ(fs::read_symlink(t / "started-in/tree/ln"), fs::path("sub/f.txt"));
    struct stat st {};
    ASSERT_EQ(stat((t / "started-in/tree/empty").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
}

// Removes a folder tree whose paths may be longer than the system takes,
// working relative to open folders.
void remove_tree_at(int parent, const char* name) {
    const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (fd < 0) {
        unlinkat(parent, name, 0);
        return;
    }
    std::vector<std::string> names;
    if (DIR* dir = fdopendir(dup(fd))) {
        while (const dirent* e = readdir(dir)) {
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
        }
        closedir(dir);
    }
    for (const std::string& n : names) remove_tree_at(fd, n.c_str());
    close(fd);
    unlinkat(parent, name, AT_REMOVEDIR);
}

TEST(Output, StoredPathLongerThanAWholePathRestores) {
    TempDir t;
    const std::vector<RawEntry> set = plain_entries(t);
    // 16 folders of 250 bytes and a name: 4,090 bytes, far more than 4,096
    // with the destination in front.
    std::string dir;
    std::vector<std::string> parts;
    for (int i = 0; i < 16; ++i) {
        parts.push_back(std::string(249, static_cast<char>('a' + i)) + "_");
        dir += parts.back() + "/";
    }
    parts.push_back(std::string(4090 - dir.size(), 'n'));
    RawEntry deep = set[0];
    deep.set_path(dir, parts.back());
    deep.fix_size();
    ASSERT_EQ(deep.stored_dir().size() + deep.stored_name().size(), 4090u);
    test::write_file(t / "arc", e2e::archive_bytes({deep, set[1]}));
    const RunResult r = e2e::run_qev(t.path(), {"x", "-t2", "arc", "dest/"});
    EXPECT_EQ(r.status, 0) << describe(r);
    int fd = open((t / "dest").c_str(), O_RDONLY | O_DIRECTORY);
    for (std::size_t i = 0; i + 1 < parts.size() && fd >= 0; ++i) {
        const int next = openat(fd, parts[i].c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
    }
    ASSERT_GE(fd, 0);
    const int file = openat(fd, parts.back().c_str(), O_RDONLY);
    char buffer[64] = {};
    EXPECT_EQ(file >= 0 ? read(file, buffer, sizeof buffer) : -1, 12);
    EXPECT_EQ(std::string(buffer), "first entry\n");
    if (file >= 0) close(file);
    close(fd);
    remove_tree_at(AT_FDCWD, (t / "dest").c_str());
}

// A run killed while a large first entry is restored leaves at most one
// temporary file per thread; the next run into the same folders removes
// those and the ones older runs left, but nothing else: not a name of
// another form, not a file another run holds, not one in a folder it does
// not enter.
TEST(Output, KilledRunLeavesOneTemporaryPerThreadAndTheNextRunSweeps) {
    TempDir t;
    t.put("in/big.b", test::random_bytes(24u << 20, 4));
    for (int i = 0; i < 30; ++i) t.put("in/small/f" + std::to_string(i), test::wordy_bytes(20000, i));
    ASSERT_EQ(e2e::run_qev(t / "in", {"a", "../arc", "big.b"}).status, 0);
    ASSERT_EQ(e2e::run_qev(t / "in", {"a", "--no-packs", "-r", "../arc", "small"}).status, 0);
    const auto restored_small = [&] {
        std::size_t n = 0;
        for (int i = 0; i < 30; ++i) n += fs::exists(t / ("dest/small/f" + std::to_string(i)));
        return n;
    };
    const RunResult killed = when_ready(
        t.path(), {"x", "-t8", "arc", "dest/"},
        [&] { return fs::exists(t / "dest") && (temporaries(t / "dest").size() > 8 || restored_small() >= 20); },
        [](pid_t pid) { kill(pid, SIGKILL); });
    EXPECT_EQ(killed.signal, SIGKILL) << describe(killed);
    EXPECT_LE(temporaries(t / "dest").size(), 8u);

    // What older runs left, and what must stay.
    const std::vector<std::string> stale = {"dest/old.txt.qev-partial-aB3xZ9", "dest/small/f3.qev-partial-000000"};
    const std::vector<std::string> kept = {"dest/notes.qev-partial-abc12", "dest/x.qev-partial-ABCDEF.bak",
                                           "dest/.qev-partial-ABCDEF", "other/y.qev-partial-ABCDEF"};
    for (const std::string& p : stale) t.put(p, std::string("left behind\n"));
    for (const std::string& p : kept) t.put(p, std::string("not ours to remove\n"));
    fs::create_directories(t / "dest/d.qev-partial-QWERTY");
    const std::string held = t.put("dest/small/f7.qev-partial-HELD01", std::string("being written\n"));
    const int held_fd = open(held.c_str(), O_RDONLY);
    ASSERT_EQ(flock(held_fd, LOCK_EX), 0);

    const RunResult r = e2e::run_qev(t.path(), {"x", "-t2", "arc", "dest/"});
    close(held_fd);
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(restored_small(), 30u);
    EXPECT_EQ(fs::file_size(t / "dest/big.b"), 24u << 20);
    std::vector<std::string> left = temporaries(t / "dest");
    std::sort(left.begin(), left.end());
    std::vector<std::string> expected = {held, t / "dest/d.qev-partial-QWERTY"};
    for (const std::string& p : kept) {
        if (p.rfind("dest/", 0) == 0) expected.push_back(t / p);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(left, expected);
    EXPECT_TRUE(fs::exists(t / "other/y.qev-partial-ABCDEF"));
}

}  // namespace
}  // namespace qev
