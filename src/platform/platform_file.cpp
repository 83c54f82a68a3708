// POSIX implementation of the file, directory and console operations.

#include "platform/platform_file.h"

#include <cerrno>
#include <climits>
#include <limits>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace qev {
namespace platform {

bool has_drive_prefix(const std::string& path) {
    if (path.size() < 3 || path[1] != ':' || !is_separator(path[2])) return false;
    const char c = path[0];
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool is_absolute(const std::string& path) {
    return (!path.empty() && is_separator(path[0])) || has_drive_prefix(path);
}

std::string native_path(const std::string& path) {
    std::string result = path;
    for (char& c : result) {
        if (c == '\\') c = '/';
    }
    if (has_drive_prefix(result)) result.erase(0, 2);  // "X:/rest" is "/rest"
    return result;
}

bool path_too_long(const std::string& path) { return path.size() > MAX_PATH_BYTES; }

// ---------------------------------------------------------------------------
// File

File::~File() { close(); }

File::File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

namespace {

int open_retrying(const std::string& path, int flags, mode_t mode = 0) {
    const std::string native = native_path(path);
    if (native.empty()) {
        errno = ENOENT;
        return -1;
    }
    int fd;
    do {
        fd = ::open(native.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

bool File::open_read(const std::string& path) {
    close();
    fd_ = open_retrying(path, O_RDONLY);
    if (fd_ < 0) return false;
    // A directory opens for reading on POSIX but yields no bytes; callers
    // expect a failure there, as for any path that is not a file.
    struct stat st;
    if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
        close();
        errno = EISDIR;
        return false;
    }
    return true;
}

bool File::open_write(const std::string& path) {
    close();
    fd_ = open_retrying(path, O_WRONLY);
    return fd_ >= 0;
}

bool File::create(const std::string& path) {
    close();
    fd_ = open_retrying(path, O_RDWR | O_CREAT | O_TRUNC, 0666);
    return fd_ >= 0;
}

bool File::create_replacing_link(const std::string& path) {
    struct stat st;
    if (lstat(native_path(path).c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(native_path(path).c_str());
    return create(path);
}

void File::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

std::size_t File::read(void* buffer, std::size_t n) {
    if (fd_ < 0) return 0;
    auto* p = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < n) {
        std::size_t chunk = n - done;
        if (chunk > static_cast<std::size_t>(SSIZE_MAX)) chunk = static_cast<std::size_t>(SSIZE_MAX);
        const ssize_t got = ::read(fd_, p + done, chunk);
        if (got < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

bool File::write(const void* buffer, std::size_t n) {
    if (fd_ < 0) return false;
    const auto* p = static_cast<const unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < n) {
        std::size_t chunk = n - done;
        if (chunk > static_cast<std::size_t>(SSIZE_MAX)) chunk = static_cast<std::size_t>(SSIZE_MAX);
        const ssize_t put = ::write(fd_, p + done, chunk);
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (put == 0) return false;
        done += static_cast<std::size_t>(put);
    }
    return true;
}

bool File::seek(std::uint64_t offset) {
    if (fd_ < 0) return false;
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return false;
    const off_t target = static_cast<off_t>(offset);
    return ::lseek(fd_, target, SEEK_SET) == target;
}

bool File::truncate(std::uint64_t size) {
    if (fd_ < 0) return false;
    if (size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return false;
    int rc;
    do {
        rc = ::ftruncate(fd_, static_cast<off_t>(size));
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

// ---------------------------------------------------------------------------
// Queries on paths

namespace {

bool stat_path(const std::string& path, struct stat& st) {
    const std::string native = native_path(path);
    if (native.empty()) return false;
    return ::stat(native.c_str(), &st) == 0;
}

EntryStatus status_of(const std::string& native) {
    EntryStatus status;
    struct stat st;
    if (native.empty() || ::stat(native.c_str(), &st) != 0) return status;
    if (S_ISREG(st.st_mode)) {
        status.type = EntryType::Regular;
        status.size = static_cast<std::uint64_t>(st.st_size);
    } else if (S_ISDIR(st.st_mode)) {
        status.type = EntryType::Directory;
    } else {
        status.type = EntryType::Other;
    }
    status.device = static_cast<std::uint64_t>(st.st_dev);
    status.inode = static_cast<std::uint64_t>(st.st_ino);
    return status;
}

}  // namespace

std::uint64_t file_size(const std::string& path) {
    struct stat st;
    if (!stat_path(path, st) || !S_ISREG(st.st_mode)) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

EntryStatus entry_status(const std::string& path) { return status_of(native_path(path)); }

EntryStatus entry_status_in(const std::string& directory, const std::string& name) {
    std::string native = native_path(directory);
    if (!native.empty() && native.back() != '/') native.push_back('/');
    return status_of(native + name);
}

bool is_directory(const std::string& path) {
    struct stat st;
    return stat_path(path, st) && S_ISDIR(st.st_mode);
}

bool list_directory(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    std::string native = native_path(path);
    if (native.empty()) native = ".";
    DIR* dir = ::opendir(native.c_str());
    if (dir == nullptr) return false;
    bool saw_dot = false;
    bool saw_dot_dot = false;
    for (;;) {
        errno = 0;
        const struct dirent* entry = ::readdir(dir);
        if (entry == nullptr) break;
        const std::string name = entry->d_name;
        if (name == ".") saw_dot = true;
        if (name == "..") saw_dot_dot = true;
        names.push_back(name);
    }
    const bool ok = errno == 0;
    ::closedir(dir);
    // Every listing holds "." and ".."; a file system that leaves them out
    // gets them in front.
    if (!saw_dot_dot) names.insert(names.begin(), "..");
    if (!saw_dot) names.insert(names.begin(), ".");
    return ok;
}

void make_directory(const std::string& path) {
    const std::string native = native_path(path);
    if (native.empty()) return;
    (void)::mkdir(native.c_str(), 0777);
}

std::string current_directory() {
    std::vector<char> buffer(MAX_PATH_BYTES + 1);
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size()) != nullptr) return std::string(buffer.data());
        if (errno != ERANGE) break;
        buffer.resize(buffer.size() * 2);
    }
    // No current directory (it was removed): relative paths still resolve
    // against "." as far as the system allows.
    return ".";
}

// ---------------------------------------------------------------------------
// Console

namespace {
std::FILE* g_out = nullptr;
std::FILE* g_err = nullptr;
}  // namespace

std::FILE* console_out() { return g_out != nullptr ? g_out : stdout; }
std::FILE* console_err() { return g_err != nullptr ? g_err : stderr; }

void set_console(std::FILE* out, std::FILE* err) {
    g_out = out;
    g_err = err;
}

}  // namespace platform
}  // namespace qev
