// Helpers for the tests that run the built program: scratch folders, running
// qev as a child process with its output captured, snapshots of folder
// trees, and a byte-level reader and writer of archive entries that does not
// rely on the program's own code.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
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
#include <vector>

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
};

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
        // Only the three standard streams reach the program.
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        if (options.unprivileged && geteuid() == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(125);
        }
        alarm(options.timeout_seconds);  // survives exec: a hang ends with SIGALRM
        execv(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

inline RunResult finish(const Child& child) {
    RunResult r;
    int status = 0;
    while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
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

inline std::vector<std::uint8_t> bytes_of(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

}  // namespace qev::e2e
