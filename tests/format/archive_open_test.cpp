// Opening the archive through the built program: a path that exists but does
// not open ends the run at once with a line that says why, a wait for another
// run's lock ends on a signal, and only a regular file is read as an archive.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/file.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "e2e_util.h"
#include "test_util.h"

// After the program's headers: it defines BLOCK_SIZE.
#include <sys/mount.h>

namespace qev {
namespace {

namespace fs = std::filesystem;
using e2e::describe;
using e2e::RunResult;
using e2e::TempDir;

// A hang would end with SIGALRM after this long.
e2e::RunOptions bounded() {
    e2e::RunOptions options;
    options.timeout_seconds = 20;
    return options;
}

// Errors, waits and interruptions are reported on standard error.
bool has(const RunResult& r, const std::string& text) { return r.err.find(text) != std::string::npos; }

TEST(ArchiveOpen, AddToAPathThatDoesNotOpenEndsAtOnceWithTheReason) {
    TempDir t;
    ASSERT_EQ(chmod(t.path().c_str(), 0777), 0);
    t.put("f.txt", std::string("some text\n"));
    chmod((t / "f.txt").c_str(), 0644);
    fs::create_directories(t / "folder.qev");
    fs::create_symlink("nowhere/at/all", t / "dangling.qev");
    ASSERT_EQ(mkfifo((t / "pipe.qev").c_str(), 0644), 0);
    for (const auto& [archive, reason] : std::vector<std::pair<std::string, std::string>>{
             {"folder.qev", "it is a folder"},
             {"dangling.qev", "it is a symbolic link that leads nowhere"},
             {"pipe.qev", "it is a pipe, not a regular file"}}) {
        const RunResult r = e2e::run_qev(t.path(), {"a", archive, "f.txt"}, bounded());
        EXPECT_TRUE(r.exited() && r.status == 1) << describe(r);
        EXPECT_TRUE(has(r, "Error: cannot open Output file " + (t / archive) + ": " + reason + "\n")) << describe(r);
    }

    // A read-only archive, added to by an ordinary user.
    ASSERT_EQ(e2e::run_qev(t.path(), {"a", "-b1", "-h1", "ro.qev", "f.txt"}).status, 0);
    const std::vector<std::uint8_t> before = test::read_file(t / "ro.qev");
    ASSERT_EQ(chmod((t / "ro.qev").c_str(), 0444), 0);
    const std::string refused = e2e::unprivileged_run_refused(t.path());
    if (!refused.empty()) GTEST_SKIP() << refused;
    e2e::RunOptions user = bounded();
    user.unprivileged = true;
    const RunResult r = e2e::run_qev(t.path(), {"a", "-b1", "-h1", "ro.qev", "f.txt"}, user);
    EXPECT_TRUE(r.exited() && r.status == 1) << describe(r);
    EXPECT_TRUE(has(r, "Error: cannot open Output file " + (t / "ro.qev") + ": permission denied\n")) << describe(r);
    EXPECT_EQ(test::read_file(t / "ro.qev"), before);
}

TEST(ArchiveOpen, AddOnAReadOnlyFileSystemEndsAtOnceWithTheReason) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a read-only file system needs root";
    TempDir t;
    t.put("f.txt", std::string("some text\n"));
    const std::string mounted = t / "ro";
    fs::create_directories(mounted);
    if (mount("tmpfs", mounted.c_str(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "tmpfs cannot be mounted here";
    test::write_file(mounted + "/arc.qev", test::read_file(t / "f.txt"));
    const bool read_only = mount(nullptr, mounted.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    RunResult r;
    if (read_only) r = e2e::run_qev(t.path(), {"a", "ro/arc.qev", "f.txt"}, bounded());
    umount(mounted.c_str());
    if (!read_only) GTEST_SKIP() << "the tmpfs cannot be made read-only here";
    EXPECT_TRUE(r.exited() && r.status == 1) << describe(r);
    EXPECT_TRUE(has(r, "Error: cannot open Output file " + mounted + "/arc.qev: the file system is read-only\n"))
        << describe(r);
}

// Starts qev, waits until its standard error holds text, sends the signal and
// collects the result.
RunResult signal_once_it_says(const std::string& cwd, const std::vector<std::string>& args, const std::string& text,
                              int signal_number) {
    const e2e::detail::Child child = e2e::detail::start(cwd, args, bounded());
    for (int i = 0; i < 2000; ++i) {
        const std::vector<std::uint8_t> err = test::read_file(child.err_path);
        if (std::string(err.begin(), err.end()).find(text) != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(child.pid, signal_number);
    return e2e::detail::finish(child);
}

TEST(ArchiveOpen, InterruptionEndsAWaitForAnotherRunsLock) {
    TempDir t;
    t.put("f.txt", std::string("some text\n"));
    t.put("g.txt", std::string("more text\n"));
    ASSERT_EQ(e2e::run_qev(t.path(), {"a", "-b1", "-h1", "arc", "f.txt"}).status, 0);
    const std::vector<std::uint8_t> before = test::read_file(t / "arc");
    // This test stands for the other run: it holds the archive locked.
    const int held = open((t / "arc").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    for (const auto& [args, signal_number] : std::vector<std::pair<std::vector<std::string>, int>>{
             {{"a", "-b1", "-h1", "arc", "f.txt"}, SIGTERM},
             {{"a", "-t2", "-b1", "-h1", "arc", "f.txt", "g.txt"}, SIGINT},
             {{"x", "arc", "out/"}, SIGTERM},
             {{"t", "arc"}, SIGINT}}) {
        SCOPED_TRACE(args[0] + " " + args[1]);
        const RunResult r = signal_once_it_says(t.path(), args, "Waiting: the archive", signal_number);
        EXPECT_TRUE(r.exited() && r.status == 128 + signal_number) << describe(r);
        EXPECT_TRUE(has(r, "Interrupted: ")) << describe(r);
    }
    close(held);
    EXPECT_EQ(test::read_file(t / "arc"), before);
    EXPECT_FALSE(fs::exists(t / "out/f.txt"));
}

TEST(ArchiveOpen, OnlyARegularFileIsReadAsAnArchive) {
    TempDir t;
    // A pipe that nobody writes to is refused, not waited on; standard
    // input (here /dev/null) is a device.
    ASSERT_EQ(mkfifo((t / "pipe").c_str(), 0644), 0);
    fs::create_directories(t / "folder");
    for (const auto& [archive, reason] : std::vector<std::pair<std::string, std::string>>{
             {t / "pipe", "it is a pipe, not a regular file"},
             {"/dev/stdin", "it is a device, not a regular file"},
             {t / "folder", "it is a folder"}}) {
        for (const char* command : {"l", "x", "t"}) {
            SCOPED_TRACE(std::string(command) + " " + archive);
            const RunResult r = e2e::run_qev(t.path(), {command, archive}, bounded());
            EXPECT_TRUE(r.exited() && r.status == 1) << describe(r);
            EXPECT_TRUE(has(r, "Error: cannot open Archive file " + archive + ": " + reason + "\n")) << describe(r);
        }
    }
}

// A file whose first entry cannot be one, with nothing sound after it, is
// no archive: x, t and l say so and stop, without a count of entries. An
// archive whose first entry is damaged but whose next one is sound stays a
// damaged archive.
TEST(ArchiveOpen, AFileThatIsNoArchiveIsCalledSo) {
    TempDir dir;
    dir.put("services", std::string("# Network services, Internet style\nftp  21/tcp\nssh  22/tcp\n"));
    dir.put("tiny", std::string("QEV"));
    for (const char* file : {"services", "tiny"}) {
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"t", file}, {"x", file, "out/"}, {"l", file}}) {
            const RunResult r = e2e::run_qev(dir.path(), args);
            EXPECT_EQ(r.status, 1) << describe(r);
            EXPECT_EQ(r.err.find("Error: " + dir / file + " is not a QEV archive (at its start: "), 0u) << describe(r);
            EXPECT_EQ(r.out.find("entries tested"), std::string::npos) << describe(r);
            EXPECT_EQ(r.out.find("files in archive"), std::string::npos) << describe(r);
            EXPECT_EQ(r.err.find("damaged"), std::string::npos) << describe(r);
        }
    }
    dir.put("a.txt", std::string("first\n"));
    dir.put("b.txt", std::string("second\n"));
    ASSERT_EQ(e2e::run_qev(dir.path(), {"a", "--no-packs", "arc", "a.txt", "b.txt"}).status, 0);
    std::vector<std::uint8_t> bytes = test::read_file(dir / "arc");
    bytes[7] = 0x7f;  // the first entry's size reaches far past the end
    test::write_file(dir / "arc", bytes);
    const RunResult r = e2e::run_qev(dir.path(), {"t", "arc"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error: damaged archive " + dir / "arc" + " at offset 0"), std::string::npos) << describe(r);
    EXPECT_NE(r.out.find(" 2 entries tested: 1 ok, 1 damaged"), std::string::npos) << describe(r);
}

}  // namespace
}  // namespace qev
