// The progress line on a real terminal: qev runs in tmux panes 40 and 120
// columns wide (the latter then narrowed), and the screens are read back
// while it runs and after it ended.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli.h"
#include "e2e_util.h"

namespace qev {
namespace {

using e2e::TempDir;

// Bytes done of the total, then as many of the other fields as fit, in one
// unit system.
const std::regex PROGRESS_LINE(
    R"(\d+\.\d MiB of \d+\.\d MiB(, \d+\.\d MiB/s(, \d+ of \d+ files(, \d+:\d\d left)?)?)?)");
// Anything that looks like a piece of a progress line.
const std::regex PROGRESS_PIECE(R"(MiB of \d|MiB/s|MB/s|\d MB)");

TEST(ProgressText, KeepsWithinTheWidthDroppingFieldsFromTheLast) {
    const std::uint64_t mib = 1048576;
    // 10 MiB of 40 in 5 s: 2 MiB/s, 15 s left.
    const std::string full = progress_text(10 * mib, 40 * mib, 5.0, 3, 12, 120);
    EXPECT_EQ(full, "10.0 MiB of 40.0 MiB, 2.0 MiB/s, 3 of 12 files, 0:15 left");
    EXPECT_EQ(progress_text(10 * mib, 40 * mib, 5.0, 3, 12, 40), "10.0 MiB of 40.0 MiB, 2.0 MiB/s");
    // A field that would reach the last column is left out.
    EXPECT_EQ(progress_text(10 * mib, 40 * mib, 5.0, 3, 12, full.size()), full.substr(0, full.rfind(", ")));
    EXPECT_EQ(progress_text(10 * mib, 40 * mib, 5.0, 3, 12, full.size() + 1), full);
    // Too narrow even for the first field: it is cut.
    EXPECT_EQ(progress_text(10 * mib, 40 * mib, 5.0, 3, 12, 10), "10.0 MiB ");
    EXPECT_EQ(progress_text(10 * mib, 40 * mib, 5.0, 3, 12, 1), "");
    // No files field without a file count, no time left once done or
    // before any speed is known.
    EXPECT_EQ(progress_text(mib, mib, 1.0, 0, 0, 120), "1.0 MiB of 1.0 MiB, 1.0 MiB/s");
    EXPECT_EQ(progress_text(0, mib, 0.0, 0, 2, 120), "0.0 MiB of 1.0 MiB, 0.0 MiB/s, 0 of 2 files");
}

// Where tmux is, or empty.
std::string find_tmux() {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= dirs.size();) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string candidate = dirs.substr(start, end - start) + "/tmux";
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return std::string();
}

// A tmux server of its own (its socket at socket, no configuration),
// killed at the end. Panes stay on the screen after their program ended.
class Tmux {
public:
    Tmux(std::string binary, std::string socket) : binary_(std::move(binary)), socket_(std::move(socket)) {
        run({"-f", "/dev/null", "new-session", "-d", "-s", "idle", "sleep", "600"});
        run({"set-option", "-g", "remain-on-exit", "on"});
    }
    ~Tmux() { run({"kill-server"}); }
    Tmux(const Tmux&) = delete;
    Tmux& operator=(const Tmux&) = delete;

    // Runs tmux with the arguments; its standard output.
    std::string run(const std::vector<std::string>& args) const {
        std::vector<std::string> all = {binary_, "-S", socket_};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        int pipe_fds[2];
        if (pipe(pipe_fds) != 0) return std::string();
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(pipe_fds[1], 1);
            close(pipe_fds[0]);
            close(pipe_fds[1]);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(pipe_fds[1]);
        std::string out;
        char buffer[4096];
        ssize_t got;
        while ((got = read(pipe_fds[0], buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(got));
        close(pipe_fds[0]);
        int status = 0;
        if (pid > 0) waitpid(pid, &status, 0);
        return out;
    }

    // A detached session of the given size running qev with args in cwd
    // (not through a shell).
    void start(const std::string& name, int columns, const std::string& cwd, const std::vector<std::string>& args) {
        std::vector<std::string> command = {"new-session", "-d", "-s", name, "-x", std::to_string(columns),
                                            "-y", "10", "-c", cwd, QEV_BINARY};
        command.insert(command.end(), args.begin(), args.end());
        run(command);
    }

    // The screen and what scrolled off it, wrapped lines joined, trailing
    // blanks dropped; tmux's own "Pane is dead" line left out.
    std::vector<std::string> screen(const std::string& name) const {
        std::vector<std::string> lines;
        for (std::string line : e2e::lines_of(run({"capture-pane", "-p", "-J", "-S", "-100", "-t", name}))) {
            while (!line.empty() && line.back() == ' ') line.pop_back();
            if (line.empty() || line.rfind("Pane is dead", 0) == 0) continue;
            lines.push_back(line);
        }
        return lines;
    }

    // -1 while the program runs, then its exit status, or 1000 + the
    // signal that ended it; -2 for a program that ended when tmux does not
    // tell how (now and then it never learns).
    int status(const std::string& name) const {
        const std::string s =
            run({"display-message", "-p", "-t", name, "#{pane_dead}:#{pane_dead_status}:#{pane_dead_signal}"});
        int dead = 0;
        int status = -1;
        int signal = -1;
        if (std::sscanf(s.c_str(), "%d:%d:%d", &dead, &status, &signal) >= 2 && dead == 1) return status;
        if (std::sscanf(s.c_str(), "%d::%d", &dead, &signal) == 2 && dead == 1) return 1000 + signal;
        return dead == 1 ? -2 : -1;
    }

private:
    std::string binary_;
    std::string socket_;
};

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

// What a screen taken while qev runs must hold: at most one progress line,
// the whole of a joined screen line, within the width but one. Returns it
// (empty when none is shown).
std::string check_running_screen(const std::vector<std::string>& lines, int columns) {
    std::string progress;
    int shown = 0;
    for (const std::string& line : lines) {
        if (!std::regex_search(line, PROGRESS_PIECE)) continue;
        ++shown;
        progress = line;
        EXPECT_TRUE(std::regex_match(line, PROGRESS_LINE)) << "at " << columns << " columns:\n" << joined(lines);
        EXPECT_LT(line.size(), static_cast<std::size_t>(columns)) << joined(lines);
    }
    EXPECT_LE(shown, 1) << "the progress line stacks at " << columns << " columns:\n" << joined(lines);
    return progress;
}

// Compressible text of about size bytes: words picked by a fixed generator.
std::string text_of(std::size_t size, std::uint32_t seed) {
    std::vector<std::string> words;
    std::uint32_t x = seed;
    const auto next = [&x] { return x = x * 1664525u + 1013904223u; };
    for (int i = 0; i < 2000; ++i) {
        std::string word;
        for (std::uint32_t n = 2 + (next() >> 29); n != 0; --n) word.push_back(static_cast<char>('a' + (next() >> 24) % 26));
        words.push_back(word);
    }
    std::string text;
    text.reserve(size + 16);
    while (text.size() < size) {
        text += words[(next() >> 16) % words.size()];
        text.push_back((next() >> 28) == 0 ? '\n' : ' ');
    }
    text.resize(size);
    return text;
}

bool wait_until(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// Two adds with two workers and the slow strong parse, so that they last
// seconds and a file's line comes while the progress line is shown. One at
// 120 columns runs to its end. One at 40 columns is widened to 120 once its
// first file's line and the progress line are on the screen, and stopped
// with Ctrl-C once the wider line is drawn.
TEST(ProgressEndToEnd, FitsTheTerminalNeverStacksAndIsClearedBeforeOtherLines) {
    const std::string tmux_binary = find_tmux();
    if (tmux_binary.empty()) GTEST_SKIP() << "tmux is not installed, so no terminal can be captured";
    TempDir dir;
    dir.put("a.txt", text_of(4300000, 1));
    dir.put("b.txt", text_of(5000000, 2));
    dir.put("huge.txt", text_of(48000000, 3));
    Tmux tmux(tmux_binary, dir / "tmux.socket");
    tmux.start("wide", 120, dir.path(), {"a", "-v", "-t2", "-u", "wide.qev", "a.txt", "b.txt"});
    tmux.start("narrow", 40, dir.path(), {"a", "-v", "-t2", "-u", "narrow.qev", "a.txt", "huge.txt"});

    const std::regex a_line(R"(compress\.\. a\.txt +4300000 to \d+)");
    bool wide_shown = false;
    // At 120 columns every field fits.
    const auto check_wide = [&] {
        const std::string progress = check_running_screen(tmux.screen("wide"), 120);
        if (progress.empty()) return;
        wide_shown = true;
        EXPECT_NE(progress.find(" of 2 files"), std::string::npos) << progress;
    };
    bool narrow_ready = false;
    ASSERT_TRUE(wait_until([&] {
        check_wide();
        const std::vector<std::string> narrow = tmux.screen("narrow");
        const std::string progress = check_running_screen(narrow, 40);
        // At 40 columns the speed still fits, the file count no longer.
        if (!progress.empty()) {
            EXPECT_NE(progress.find("MiB/s"), std::string::npos) << progress;
            EXPECT_EQ(progress.find("files"), std::string::npos) << progress;
        }
        bool a_done = false;
        for (const std::string& line : narrow) a_done = a_done || std::regex_match(line, a_line);
        narrow_ready = a_done && !progress.empty();
        return narrow_ready || tmux.status("narrow") != -1 || ::testing::Test::HasFailure();
    }));
    ASSERT_FALSE(::testing::Test::HasFailure());
    ASSERT_TRUE(narrow_ready) << "the 40-column add ended before it could be widened:\n"
                              << joined(tmux.screen("narrow"));

    // The width is read again when it changes.
    tmux.run({"resize-window", "-t", "narrow", "-x", "120", "-y", "10"});
    bool widened = false;
    ASSERT_TRUE(wait_until([&] {
        check_wide();
        const std::string progress = check_running_screen(tmux.screen("narrow"), 120);
        widened = progress.find(" of 2 files") != std::string::npos;
        return widened || tmux.status("narrow") != -1 || ::testing::Test::HasFailure();
    }));
    ASSERT_FALSE(::testing::Test::HasFailure());
    ASSERT_TRUE(widened) << "the progress line did not grow with the terminal:\n" << joined(tmux.screen("narrow"));
    tmux.run({"send-keys", "-t", "narrow", "C-c"});

    ASSERT_TRUE(wait_until([&] {
        check_wide();
        return (tmux.status("wide") != -1 && tmux.status("narrow") != -1) || ::testing::Test::HasFailure();
    })) << "still running:\n"
        << joined(tmux.screen("wide")) << "\n"
        << joined(tmux.screen("narrow"));
    ASSERT_FALSE(::testing::Test::HasFailure());
    EXPECT_TRUE(wide_shown) << "no progress line was seen at 120 columns";

    // The final screens: the lines of the run, each from the start of its
    // line, and nothing left of the progress line.
    const std::vector<std::string> wide = tmux.screen("wide");
    const std::vector<std::string> narrow = tmux.screen("narrow");
    for (const auto* lines : {&wide, &narrow}) {
        for (const std::string& line : *lines) {
            EXPECT_FALSE(std::regex_search(line, PROGRESS_PIECE)) << joined(*lines);
        }
    }
    const int wide_status = tmux.status("wide");
    if (wide_status != -2) {
        EXPECT_EQ(wide_status, 0) << joined(wide);
    }
    const std::vector<std::string> wide_end(wide.end() - std::min<std::size_t>(wide.size(), 3), wide.end());
    ASSERT_EQ(wide_end.size(), 3u) << joined(wide);
    EXPECT_TRUE(std::regex_match(wide_end[0], a_line)) << joined(wide);
    EXPECT_TRUE(std::regex_match(wide_end[1], std::regex(R"(compress\.\. b\.txt +5000000 to \d+)"))) << joined(wide);
    EXPECT_EQ(wide_end[2], "9300000 bytes, 2 files.") << joined(wide);

    const int narrow_status = tmux.status("narrow");
    if (narrow_status != -2) {
        EXPECT_EQ(narrow_status, 130) << joined(narrow);
    }
    ASSERT_GE(narrow.size(), 2u);
    EXPECT_TRUE(std::regex_match(narrow[narrow.size() - 2], a_line)) << joined(narrow);
    // With -v the file's name opens the line that tells how it ended.
    EXPECT_TRUE(std::regex_match(narrow.back(),
                                 std::regex(R"((compress\.\. huge\.txt )?Interrupted: huge\.txt was not stored; .*)")))
        << joined(narrow);
}

}  // namespace
}  // namespace qev
