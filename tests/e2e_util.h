// Helpers for the tests that run the built program: scratch folders, running
// qev as a child process with its output captured, snapshots of folder
// trees, and a byte-level reader and writer of archive entries that does not
// rely on the program's own code.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <cctype>
#include <vector>

#include "format/archive_format.h"
#include "test_util.h"

namespace qev::e2e {

namespace fs = std::filesystem;

// A fresh folder under /tmp, removed with everything in it at the end.
class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/qev_e2e_XXXXXX";
        if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = name;
    }
    // With QEV_E2E_KEEP set in the environment the folder is kept for
    // inspection and its path printed.
    ~TempDir() {
        if (std::getenv("QEV_E2E_KEEP") != nullptr) {
            std::fprintf(stderr, "kept %s\n", path_.c_str());
            return;
        }
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

    // Writes a file, creating its folders.
    std::string put(const std::string& rel, const std::vector<std::uint8_t>& data) const {
        const std::string full = path_ + "/" + rel;
        fs::create_directories(fs::path(full).parent_path());
        test::write_file(full, data);
        return full;
    }
    std::string put(const std::string& rel, const std::string& text) const {
        return put(rel, std::vector<std::uint8_t>(text.begin(), text.end()));
    }

private:
    std::string path_;
};

struct RunResult {
    int status = -1;     // exit status when the program exited
    int signal = 0;      // the signal that ended it, 0 when it exited
    std::string out;     // standard output
    std::string err;     // standard error
    double seconds = 0;  // wall time
    // With RunOptions::measure_memory: the program's peak resident size in
    // KiB, and the resident size of the small process that forked it
    // (floor_kib; the program inherits at most its anonymous part, so a
    // peak near the floor means "at most this much"). 0 when not measured.
    long peak_kib = 0;
    long floor_kib = 0;

    // A sanitizer report (in sanitized builds) ends the program with an
    // ordinary exit status; it counts as a crash all the same.
    bool sanitizer_report() const {
        return err.find("Sanitizer") != std::string::npos || err.find("runtime error:") != std::string::npos;
    }
    // Ended by itself, without a crash.
    bool exited() const { return signal == 0 && !sanitizer_report(); }
};

struct RunOptions {
    unsigned timeout_seconds = 120;  // a hang is ended by SIGALRM
    bool unprivileged = false;       // run as an ordinary user (uid/gid 65534) when started as root
    // Largest file the program may write, in bytes (RLIMIT_FSIZE); 0: no
    // limit. SIGXFSZ is ignored, so a write beyond the limit fails with EFBIG
    // as on a full disk instead of ending the program.
    std::uint64_t file_size_limit = 0;
    // Largest address space of the program, in bytes (RLIMIT_AS, as ulimit
    // -v sets it); 0: no limit.
    std::uint64_t address_space_limit = 0;
    // Measure the program's peak resident size (RunResult::peak_kib). A
    // process forked from this test starts with the test's own resident
    // pages counted in its peak, and exec keeps that count; so the program
    // is started by a freshly executed copy of this test binary (a launcher
    // of a few MiB, see run_as_launcher) whose fork of the program reports
    // the program's own figure.
    bool measure_memory = false;
};

namespace detail {

inline std::string slurp_and_remove(const std::string& path) {
    const std::vector<std::uint8_t> bytes = test::read_file(path);
    std::remove(path.c_str());
    return std::string(bytes.begin(), bytes.end());
}

struct Child {
    pid_t pid = -1;
    std::string out_path;
    std::string err_path;
    int report_fd = -1;  // read end of the launcher's report, when measuring
};

// What the launcher reports about the program it ran.
struct LaunchReport {
    int wait_status = 0;
    long peak_kib = 0;
    long floor_kib = 0;
};

constexpr const char* LAUNCHER_ENV = "QEV_E2E_LAUNCHER";  // its value: the timeout in seconds
constexpr int LAUNCHER_REPORT_FD = 3;

inline long resident_kib_of_self() {
    long pages_total = 0;
    long pages_resident = 0;
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    if (std::fscanf(f, "%ld %ld", &pages_total, &pages_resident) != 2) pages_resident = 0;
    std::fclose(f);
    return pages_resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Launcher mode, entered before main when this test binary is executed with
// LAUNCHER_ENV set (by start, for RunOptions::measure_memory). Its command
// line is the program and the program's arguments; everything else (folder,
// standard streams, limits, user) is already set up. It runs the program
// with the alarm of the timeout, waits for it, writes a LaunchReport to
// LAUNCHER_REPORT_FD and ends; it never returns.
inline bool run_as_launcher() {
    const char* timeout = std::getenv(LAUNCHER_ENV);
    if (timeout == nullptr) return false;
    const unsigned seconds = static_cast<unsigned>(std::strtoul(timeout, nullptr, 10));
    alarm(0);  // the program gets the alarm, not the launcher
    unsetenv(LAUNCHER_ENV);
    std::string cmdline;
    if (std::FILE* f = std::fopen("/proc/self/cmdline", "rb")) {
        char buffer[4096];
        std::size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) cmdline.append(buffer, got);
        std::fclose(f);
    }
    std::vector<char*> argv;
    for (std::size_t at = 0; at < cmdline.size();) {
        argv.push_back(&cmdline[at]);
        const std::size_t end = cmdline.find('\0', at);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    argv.push_back(nullptr);
    if (argv.size() < 2) _exit(126);
    fcntl(LAUNCHER_REPORT_FD, F_SETFD, FD_CLOEXEC);  // the program gets the three standard streams only
    LaunchReport report;
    report.floor_kib = resident_kib_of_self();
    const pid_t pid = fork();
    if (pid < 0) _exit(126);
    if (pid == 0) {
        alarm(seconds);
        execv(argv[0], argv.data());
        _exit(127);
    }
    rusage usage{};
    while (wait4(pid, &report.wait_status, 0, &usage) < 0 && errno == EINTR) {
    }
    report.peak_kib = usage.ru_maxrss;
    const bool sent = write(LAUNCHER_REPORT_FD, &report, sizeof report) == static_cast<ssize_t>(sizeof report);
    _exit(sent ? 0 : 126);
}

// Checked once when the test binary starts.
inline const bool launcher_mode = run_as_launcher();

// The test binary itself, for the launcher (resolved before any change of
// user, which can make /proc/self unreadable).
inline std::string self_executable() {
    std::vector<char> buffer(4096);
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) throw std::runtime_error("cannot resolve /proc/self/exe");
    return std::string(buffer.data(), static_cast<std::size_t>(n));
}

inline std::string log_file() {
    char name[] = "/tmp/qev_e2e_log_XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    close(fd);
    return name;
}

inline Child start(const std::string& cwd, const std::vector<std::string>& args, const RunOptions& options) {
    Child child;
    child.out_path = log_file();
    child.err_path = log_file();
    std::vector<std::string> argv_strings;
    argv_strings.push_back(QEV_BINARY);
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_strings) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string launcher;
    std::string launcher_env;
    std::vector<char*> launcher_envp;
    int report_pipe[2] = {-1, -1};
    if (options.measure_memory) {
        launcher = self_executable();
        launcher_env = std::string(LAUNCHER_ENV) + "=" + std::to_string(options.timeout_seconds);
        for (char** e = environ; *e != nullptr; ++e) launcher_envp.push_back(*e);
        launcher_envp.push_back(launcher_env.data());
        launcher_envp.push_back(nullptr);
        if (pipe2(report_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    }
    std::fflush(nullptr);
    child.pid = fork();
    if (child.pid < 0) throw std::runtime_error("fork failed");
    if (child.pid == 0) {
        const int out = open(child.out_path.c_str(), O_WRONLY | O_TRUNC);
        const int err = open(child.err_path.c_str(), O_WRONLY | O_TRUNC);
        const int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        // Only the three standard streams reach the program (the launcher
        // also gets its report pipe, which it keeps from the program).
        int first_closed = 3;
        if (report_pipe[1] == LAUNCHER_REPORT_FD) {
            if (fcntl(LAUNCHER_REPORT_FD, F_SETFD, 0) != 0) _exit(126);
            first_closed = LAUNCHER_REPORT_FD + 1;
        } else if (report_pipe[1] >= 0) {
            if (dup2(report_pipe[1], LAUNCHER_REPORT_FD) != LAUNCHER_REPORT_FD) _exit(126);
            first_closed = LAUNCHER_REPORT_FD + 1;
        }
        for (int fd = first_closed; fd < 1024; ++fd) close(fd);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        if (options.file_size_limit != 0) {
            const rlimit limit{static_cast<rlim_t>(options.file_size_limit), static_cast<rlim_t>(options.file_size_limit)};
            signal(SIGXFSZ, SIG_IGN);  // stays ignored across exec
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
        }
        if (options.address_space_limit != 0) {
            const rlimit limit{static_cast<rlim_t>(options.address_space_limit),
                               static_cast<rlim_t>(options.address_space_limit)};
            if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(126);
        }
        if (options.unprivileged && geteuid() == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(125);
        }
        alarm(options.timeout_seconds);  // survives exec: a hang ends with SIGALRM
        if (!launcher.empty()) {
            execve(launcher.c_str(), argv.data(), launcher_envp.data());
        } else {
            execv(argv[0], argv.data());
        }
        _exit(127);
    }
    if (report_pipe[1] >= 0) {
        close(report_pipe[1]);
        child.report_fd = report_pipe[0];
    }
    return child;
}

inline RunResult finish(const Child& child) {
    RunResult r;
    int status = 0;
    while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (child.report_fd >= 0) {
        // The launcher's report replaces its own status; without a report
        // (the launcher failed) its status stands.
        LaunchReport report;
        ssize_t got;
        while ((got = read(child.report_fd, &report, sizeof report)) < 0 && errno == EINTR) {
        }
        close(child.report_fd);
        if (got == static_cast<ssize_t>(sizeof report)) {
            status = report.wait_status;
            r.peak_kib = report.peak_kib;
            r.floor_kib = report.floor_kib;
        }
    }
    if (WIFEXITED(status)) {
        r.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        r.signal = WTERMSIG(status);
    }
    r.out = slurp_and_remove(child.out_path);
    r.err = slurp_and_remove(child.err_path);
    return r;
}

inline double now_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace detail

// Runs qev with the given arguments in the folder cwd and waits for it.
inline RunResult run_qev(const std::string& cwd, const std::vector<std::string>& args,
                         const RunOptions& options = RunOptions()) {
    const double start = detail::now_seconds();
    RunResult r = detail::finish(detail::start(cwd, args, options));
    r.seconds = detail::now_seconds() - start;
    return r;
}

// Runs several qev commands at once (the machine has more than one core) and
// returns their results in the order given.
inline std::vector<RunResult> run_qev_parallel(const std::string& cwd,
                                               const std::vector<std::vector<std::string>>& commands,
                                               std::size_t at_once = 2) {
    std::vector<RunResult> results(commands.size());
    for (std::size_t first = 0; first < commands.size(); first += at_once) {
        std::vector<detail::Child> running;
        const std::size_t last = std::min(commands.size(), first + at_once);
        for (std::size_t i = first; i < last; ++i) running.push_back(detail::start(cwd, commands[i], RunOptions()));
        for (std::size_t i = first; i < last; ++i) results[i] = detail::finish(running[i - first]);
    }
    return results;
}

// Human-readable account of a run, for assertion messages.
inline std::string describe(const RunResult& r) {
    std::string s =
        r.signal == 0 ? "exit status " + std::to_string(r.status) : "killed by signal " + std::to_string(r.signal);
    if (r.sanitizer_report()) s += " after a sanitizer report";
    s += "\n--- stdout ---\n" + r.out;
    if (!r.err.empty()) s += "\n--- stderr ---\n" + r.err;
    return s;
}

// Why the program cannot be run as an ordinary user here (RunOptions::
// unprivileged), or empty when it can: the tests are not run as root, or a
// folder on the binary's path is closed to other users (a build in a
// mktemp -d folder or under /root).
inline std::string unprivileged_run_refused(const std::string& cwd) {
    RunOptions options;
    options.unprivileged = true;
    const RunResult probe = run_qev(cwd, {"--version"}, options);
    if (probe.status == 125) return "cannot run as an ordinary user here";
    if (probe.status != 0) {
        return std::string("an ordinary user cannot run ") + QEV_BINARY +
               " (a folder on its path is closed to other users): " + describe(probe);
    }
    return std::string();
}

// The lines of a text, without their line ends.
inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Every file and folder below root: relative path -> content; folders are
// keyed with a trailing '/' and have empty content; symbolic links are keyed
// with a trailing '@' and hold their target.
using Tree = std::map<std::string, std::string>;

inline Tree snapshot(const std::string& root, const std::string& skip = std::string()) {
    Tree tree;
    if (!fs::exists(root)) return tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const std::string rel = fs::relative(it->path(), root).generic_string();
        if (!skip.empty() && (rel == skip || rel.rfind(skip + "/", 0) == 0)) {
            if (it->is_directory()) it.disable_recursion_pending();
            continue;
        }
        if (it->is_symlink()) {
            tree[rel + "@"] = fs::read_symlink(it->path()).string();
            it.disable_recursion_pending();
        } else if (it->is_directory()) {
            tree[rel + "/"] = std::string();
        } else {
            const std::vector<std::uint8_t> bytes = test::read_file(it->path().string());
            tree[rel] = std::string(bytes.begin(), bytes.end());
        }
    }
    return tree;
}

// Only the files of a tree (folders left out).
inline Tree files_of(const Tree& tree) {
    Tree files;
    for (const auto& [path, content] : tree) {
        if (path.back() != '/') files[path] = content;
    }
    return files;
}

// First difference between two trees, or empty when they are equal.
inline std::string tree_difference(const Tree& expected, const Tree& actual) {
    for (const auto& [path, content] : expected) {
        const auto it = actual.find(path);
        if (it == actual.end()) return "missing: " + path;
        if (it->second != content) {
            std::size_t i = 0;
            while (i < content.size() && i < it->second.size() && content[i] == it->second[i]) ++i;
            return "differs: " + path + " (sizes " + std::to_string(content.size()) + " and " +
                   std::to_string(it->second.size()) + ", first difference at byte " + std::to_string(i) + ")";
        }
    }
    for (const auto& [path, content] : actual) {
        if (expected.find(path) == expected.end()) return "unexpected: " + path;
    }
    return std::string();
}

// ---------------------------------------------------------------------------
// Archive entries, field by field, little-endian

struct RawEntry {
    std::uint64_t entry_size = 0;
    std::uint8_t solid = 0;
    std::uint16_t name_length = 0;
    std::string name;  // name_length bytes, terminator included
    std::uint16_t dir_length = 0;
    std::string dir;  // dir_length bytes, terminator included
    std::uint64_t unpacked_size = 0;
    std::uint8_t media_mode = 0;
    std::uint8_t channels = 0;
    std::uint8_t sample_bytes = 0;
    std::uint8_t lz_mode = 1;
    std::uint32_t search_depth = 2;
    std::uint32_t ring_size = 1u << 23;
    std::uint8_t stride = 1;
    std::uint8_t second_distance = 2;
    std::uint32_t image_width = 1;
    std::vector<std::uint8_t> stream;

    std::size_t header_bytes() const { return 39 + name.size() + dir.size(); }

    // Sets name and dir with their terminating zeros and their lengths.
    void set_path(const std::string& dir_text, const std::string& name_text) {
        name = name_text + std::string(1, '\0');
        dir = dir_text + std::string(1, '\0');
        name_length = static_cast<std::uint16_t>(name.size());
        dir_length = static_cast<std::uint16_t>(dir.size());
    }
    // entry_size = header + stream.
    void fix_size() { entry_size = header_bytes() + stream.size(); }
    std::string stored_name() const { return std::string(name.c_str()); }
    std::string stored_dir() const { return std::string(dir.c_str()); }
    // The coding settings the header holds.
    FileSettings settings() const {
        FileSettings s;
        s.media_mode = media_mode;
        s.channels = channels;
        s.sample_bytes = sample_bytes;
        s.lz_mode = lz_mode;
        s.stride = stride;
        s.second_distance = second_distance;
        s.image_width = image_width;
        return s;
    }
};

inline void put_le(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

inline std::uint64_t get_le(const std::vector<std::uint8_t>& in, std::size_t at, int bytes) {
    if (at + static_cast<std::size_t>(bytes) > in.size()) throw std::runtime_error("archive cut short");
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | in[at + static_cast<std::size_t>(i)];
    return v;
}

// The bytes of an entry exactly as its fields say (lengths are written as
// given, not derived from the strings, so that damaged entries can be made).
inline std::vector<std::uint8_t> entry_bytes(const RawEntry& e) {
    std::vector<std::uint8_t> out;
    put_le(out, e.entry_size, 8);
    put_le(out, e.solid, 1);
    put_le(out, e.name_length, 2);
    out.insert(out.end(), e.name.begin(), e.name.end());
    put_le(out, e.dir_length, 2);
    out.insert(out.end(), e.dir.begin(), e.dir.end());
    put_le(out, e.unpacked_size, 8);
    put_le(out, e.media_mode, 1);
    put_le(out, e.channels, 1);
    put_le(out, e.sample_bytes, 1);
    put_le(out, e.lz_mode, 1);
    put_le(out, e.search_depth, 4);
    put_le(out, e.ring_size, 4);
    put_le(out, e.stride, 1);
    put_le(out, e.second_distance, 1);
    put_le(out, e.image_width, 4);
    out.insert(out.end(), e.stream.begin(), e.stream.end());
    return out;
}

inline std::vector<std::uint8_t> archive_bytes(const std::vector<RawEntry>& entries) {
    std::vector<std::uint8_t> out;
    for (const RawEntry& e : entries) {
        const std::vector<std::uint8_t> b = entry_bytes(e);
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

// Splits a well-formed archive into its entries; throws on a malformed one.
inline std::vector<RawEntry> parse_archive(const std::vector<std::uint8_t>& a) {
    std::vector<RawEntry> entries;
    std::size_t at = 0;
    while (at < a.size()) {
        RawEntry e;
        const std::size_t start = at;
        e.entry_size = get_le(a, at, 8);
        e.solid = static_cast<std::uint8_t>(get_le(a, at + 8, 1));
        e.name_length = static_cast<std::uint16_t>(get_le(a, at + 9, 2));
        at += 11;
        if (at + e.name_length > a.size()) throw std::runtime_error("name cut short");
        e.name.assign(a.begin() + static_cast<std::ptrdiff_t>(at),
                      a.begin() + static_cast<std::ptrdiff_t>(at + e.name_length));
        at += e.name_length;
        e.dir_length = static_cast<std::uint16_t>(get_le(a, at, 2));
        at += 2;
        if (at + e.dir_length > a.size()) throw std::runtime_error("dir cut short");
        e.dir.assign(a.begin() + static_cast<std::ptrdiff_t>(at),
                     a.begin() + static_cast<std::ptrdiff_t>(at + e.dir_length));
        at += e.dir_length;
        e.unpacked_size = get_le(a, at, 8);
        e.media_mode = static_cast<std::uint8_t>(get_le(a, at + 8, 1));
        e.channels = static_cast<std::uint8_t>(get_le(a, at + 9, 1));
        e.sample_bytes = static_cast<std::uint8_t>(get_le(a, at + 10, 1));
        e.lz_mode = static_cast<std::uint8_t>(get_le(a, at + 11, 1));
        e.search_depth = static_cast<std::uint32_t>(get_le(a, at + 12, 4));
        e.ring_size = static_cast<std::uint32_t>(get_le(a, at + 16, 4));
        e.stride = static_cast<std::uint8_t>(get_le(a, at + 20, 1));
        e.second_distance = static_cast<std::uint8_t>(get_le(a, at + 21, 1));
        e.image_width = static_cast<std::uint32_t>(get_le(a, at + 22, 4));
        at += 26;
        if (e.entry_size < at - start || start + e.entry_size > a.size()) throw std::runtime_error("bad entry size");
        e.stream.assign(a.begin() + static_cast<std::ptrdiff_t>(at),
                        a.begin() + static_cast<std::ptrdiff_t>(start + e.entry_size));
        at = start + e.entry_size;
        entries.push_back(std::move(e));
    }
    return entries;
}

// The stored paths `qev l -v` shows for an archive, in archive order:
// entries and members of packs alike, folders left out unless asked for.
inline std::vector<std::string> listed_paths(const std::string& archive, bool folders = false) {
    const RunResult r = run_qev("/", {"l", "-v", archive});
    std::vector<std::string> paths;
    // size, stored, ratio and the time, then the mode (10 characters), the
    // owner (padded to 17), the check (5), the coding (18) and the path,
    // one blank apart.
    for (const std::string& line : lines_of(r.out)) {
        std::size_t at = std::string::npos;
        for (std::size_t i = 0; i + 9 < line.size(); ++i) {
            if (line[i + 2] == ':' && line[i + 5] == ':' && line[i + 8] == ' ' && std::isdigit(static_cast<unsigned char>(line[i]))) {
                at = i + 9;
                break;
            }
        }
        if (at == std::string::npos || line.size() <= at + 11) continue;
        const std::size_t owner_end = line.find(' ', at + 11);
        const std::size_t check = owner_end == std::string::npos ? owner_end : line.find_first_not_of(' ', owner_end);
        if (check == std::string::npos || line.size() <= check + 25) continue;
        const char kind = line[at];
        if (kind == 'd' && !folders) continue;
        paths.push_back(line.substr(check + 25));
    }
    return paths;
}

inline std::vector<std::uint8_t> bytes_of(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

}  // namespace qev::e2e
