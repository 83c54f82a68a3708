// POSIX implementation of the file, directory and console operations.

#include "platform/platform_file.h"

#include <atomic>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>
#include <dirent.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <grp.h>
#include <pwd.h>
#include <vector>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/interruption.h"

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

namespace {

EntryStatus status_from(const struct stat& st) {
    EntryStatus status;
    if (S_ISREG(st.st_mode)) {
        status.type = EntryType::Regular;
        status.size = static_cast<std::uint64_t>(st.st_size);
    } else if (S_ISDIR(st.st_mode)) {
        status.type = EntryType::Directory;
    } else if (S_ISLNK(st.st_mode)) {
        status.type = EntryType::Link;
    } else {
        status.type = EntryType::Other;
        if (S_ISFIFO(st.st_mode)) status.node = NodeType::Fifo;
        if (S_ISCHR(st.st_mode)) status.node = NodeType::CharDevice;
        if (S_ISBLK(st.st_mode)) status.node = NodeType::BlockDevice;
    }
    status.device = static_cast<std::uint64_t>(st.st_dev);
    status.inode = static_cast<std::uint64_t>(st.st_ino);
    status.links = static_cast<std::uint64_t>(st.st_nlink);
    status.allocated = static_cast<std::uint64_t>(st.st_blocks) * 512;
    return status;
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

bool File::open_read_regular(const std::string& path) {
    close();
    // Without O_NONBLOCK the open of a pipe that nobody writes to would wait.
    fd_ = open_retrying(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd_ < 0) return false;
    struct stat st;
    int kind_error = 0;
    if (::fstat(fd_, &st) != 0) {
        kind_error = errno;
    } else if (S_ISDIR(st.st_mode)) {
        kind_error = EISDIR;
    } else if (!S_ISREG(st.st_mode)) {
        kind_error = EINVAL;
    } else {
        const int flags = ::fcntl(fd_, F_GETFL);
        if (flags < 0 || ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) kind_error = errno;
    }
    if (kind_error == 0) return true;
    close();
    errno = kind_error;
    return false;
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

bool File::open_read_write(const std::string& path) {
    close();
    fd_ = open_retrying(path, O_RDWR);
    return fd_ >= 0;
}

bool File::create_new(const std::string& path) {
    close();
    fd_ = open_retrying(path, O_RDWR | O_CREAT | O_EXCL, 0666);
    return fd_ >= 0;
}

bool File::create_unnamed(const std::string& folder, const std::string& stem, std::string& name) {
    close();
    std::string native = native_path(folder);
    if (native.empty()) native = ".";
    if (native.back() != '/') native.push_back('/');
    std::string pattern = native + stem + "XXXXXX";
    do {
        fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) return false;
    (void)::unlink(pattern.c_str());
    name = pattern;
    return true;
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

std::uint64_t File::size() const {
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

bool File::times_and_mode(std::uint32_t& mode, std::int64_t& mtime_seconds, std::uint32_t& mtime_nanoseconds) const {
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return false;
    mode = static_cast<std::uint32_t>(st.st_mode & 07777);
    mtime_seconds = static_cast<std::int64_t>(st.st_mtim.tv_sec);
    mtime_nanoseconds = static_cast<std::uint32_t>(st.st_mtim.tv_nsec);
    return true;
}

namespace {

void fill_times(struct timespec (&times)[2], std::int64_t mtime_seconds, std::uint32_t mtime_nanoseconds) {
    times[0].tv_sec = static_cast<time_t>(mtime_seconds);
    times[0].tv_nsec = static_cast<long>(mtime_nanoseconds % 1000000000u);
    times[1] = times[0];
}

// Permission bits only: set-user-id, set-group-id and sticky bits are never
// restored.
bool restore_descriptor(int fd, std::uint32_t mode, std::int64_t mtime_seconds, std::uint32_t mtime_nanoseconds,
                        bool special_bits) {
    if (fd < 0) return false;
    const bool mode_ok = ::fchmod(fd, static_cast<mode_t>(mode & (special_bits ? 07777 : 0777))) == 0;
    struct timespec times[2];
    fill_times(times, mtime_seconds, mtime_nanoseconds);
    return ::futimens(fd, times) == 0 && mode_ok;
}

}  // namespace

bool File::restore_times_and_mode(std::uint32_t mode, std::int64_t mtime_seconds, std::uint32_t mtime_nanoseconds,
                                  bool special_bits) {
    return restore_descriptor(fd_, mode, mtime_seconds, mtime_nanoseconds, special_bits);
}

bool File::write_at(std::uint64_t offset, const void* buffer, std::size_t n) {
    const char* p = static_cast<const char*>(buffer);
    while (n > 0) {
        const ssize_t w = ::pwrite(fd_, p, n, static_cast<off_t>(offset));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<std::size_t>(w);
        offset += static_cast<std::uint64_t>(w);
    }
    return true;
}

namespace {

int owner_of_descriptor(int fd, std::uint32_t uid, std::uint32_t gid) {
    return fd >= 0 && ::fchown(fd, static_cast<uid_t>(uid), static_cast<gid_t>(gid)) == 0 ? 0 : errno;
}

int attribute_of_descriptor(int fd, const std::string& name, const std::string& value) {
    return fd >= 0 && ::fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) == 0 ? 0 : errno;
}

}  // namespace

int File::set_owner(std::uint32_t uid, std::uint32_t gid) { return owner_of_descriptor(fd_, uid, gid); }

int File::set_attribute(const std::string& name, const std::string& value) {
    return attribute_of_descriptor(fd_, name, value);
}

std::uint64_t File::allocated_bytes() const {
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return 0;
    return static_cast<std::uint64_t>(st.st_blocks) * 512;
}

bool File::identity(FileId& id) const {
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return false;
    id.device = static_cast<std::uint64_t>(st.st_dev);
    id.inode = static_cast<std::uint64_t>(st.st_ino);
    return true;
}

bool File::stamp(Stamp& out) const {
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return false;
    out.size = static_cast<std::uint64_t>(st.st_size);
    out.mtime_seconds = static_cast<std::int64_t>(st.st_mtim.tv_sec);
    out.mtime_nanoseconds = static_cast<std::int64_t>(st.st_mtim.tv_nsec);
    out.ctime_seconds = static_cast<std::int64_t>(st.st_ctim.tv_sec);
    out.ctime_nanoseconds = static_cast<std::int64_t>(st.st_ctim.tv_nsec);
    out.mode = static_cast<std::uint32_t>(st.st_mode & 07777);
    out.uid = static_cast<std::uint32_t>(st.st_uid);
    out.gid = static_cast<std::uint32_t>(st.st_gid);
    return true;
}

bool File::is_pipe() const {
    struct stat st;
    return fd_ >= 0 && ::fstat(fd_, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
}

LockResult File::lock(bool exclusive, bool wait) {
    if (fd_ < 0) return LockResult::Failed;
    // A blocking flock is restarted after the handler that records an
    // interruption, so a wait would never end on a signal: the lock is
    // tried without blocking, and between tries the wait looks for an
    // interruption.
    const int operation = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    for (;;) {
        if (::flock(fd_, operation) == 0) return LockResult::Locked;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return LockResult::Failed;
        if (!wait) return LockResult::Busy;
        if (interruption() != 0) return LockResult::Interrupted;
        struct timespec pause = {0, 20 * 1000 * 1000};
        (void)::nanosleep(&pause, nullptr);  // a signal ends the pause early
        if (interruption() != 0) return LockResult::Interrupted;
    }
}

bool File::sync() { return fd_ >= 0 && ::fsync(fd_) == 0; }

// ---------------------------------------------------------------------------
// Directory

Directory::~Directory() { close(); }

Directory::Directory(Directory&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

Directory& Directory::operator=(Directory&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

bool Directory::open(const std::string& path) {
    close();
    std::string native = native_path(path);
    if (native.empty()) native = ".";
    do {
        fd_ = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
    return fd_ >= 0;
}

bool Directory::open_same(const Directory& other) {
    close();
    if (other.fd_ < 0) return false;
    fd_ = ::fcntl(other.fd_, F_DUPFD_CLOEXEC, 0);
    return fd_ >= 0;
}

void Directory::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

Directory::Step Directory::enter(const std::string& name, Directory& child) const {
    child.close();
    if (fd_ < 0) return Step::Failed;
    (void)::mkdirat(fd_, name.c_str(), 0777);  // an existing entry stays as it is
    int fd;
    do {
        fd = ::openat(fd_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return status_of(name).type == EntryType::Link ? Step::Link : Step::Failed;
    child.fd_ = fd;
    return Step::Entered;
}

EntryStatus Directory::status_of(const std::string& name, FileId* id) const {
    struct stat st;
    if (fd_ < 0 || ::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return EntryStatus();
    const EntryStatus status = status_from(st);
    if (id != nullptr) *id = FileId{status.device, status.inode};
    return status;
}

bool Directory::identity(FileId& id) const {
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return false;
    id.device = static_cast<std::uint64_t>(st.st_dev);
    id.inode = static_cast<std::uint64_t>(st.st_ino);
    return true;
}

namespace {

constexpr char TEMPORARY_MARK[] = ".qev-partial-";
constexpr std::size_t TEMPORARY_MARK_BYTES = sizeof TEMPORARY_MARK - 1;
constexpr std::size_t TEMPORARY_RANDOM_BYTES = 6;

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// True when name in the directory dir_fd is still the file open as fd.
bool still_named(int dir_fd, const std::string& name, int fd) {
    struct stat named;
    struct stat held;
    return ::fstatat(dir_fd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && ::fstat(fd, &held) == 0 &&
           same_file(named, held);
}

}  // namespace

bool is_temporary_name(const std::string& name) {
    if (name.size() < 1 + TEMPORARY_MARK_BYTES + TEMPORARY_RANDOM_BYTES) return false;
    const std::size_t mark = name.size() - TEMPORARY_RANDOM_BYTES - TEMPORARY_MARK_BYTES;
    if (name.compare(mark, TEMPORARY_MARK_BYTES, TEMPORARY_MARK) != 0) return false;
    for (std::size_t i = name.size() - TEMPORARY_RANDOM_BYTES; i < name.size(); ++i) {
        const char c = name[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
    }
    return true;
}

bool Directory::create_temporary(const std::string& name, File& file, std::string& temporary_name) const {
    file.close();
    if (fd_ < 0) return false;
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    // A name near the system's limit leaves room for the suffix.
    const std::string stem = name.substr(0, 200) + TEMPORARY_MARK;
    std::uint64_t seed = static_cast<std::uint64_t>(::getpid()) * 0x9E3779B97F4A7C15ull ^
                         reinterpret_cast<std::uintptr_t>(&file);
    for (int attempt = 0; attempt < 100; ++attempt) {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        seed = seed * 6364136223846793005ull + static_cast<std::uint64_t>(now.tv_nsec) + 1442695040888963407ull;
        std::string candidate = stem;
        std::uint64_t bits = seed;
        for (std::size_t i = 0; i < TEMPORARY_RANDOM_BYTES; ++i) {
            candidate.push_back(letters[bits % 62]);
            bits /= 62;
        }
        int fd;
        do {
            fd = ::openat(fd_, candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            if (errno != EEXIST) return false;
            continue;
        }
        file.fd_ = fd;
        // Between its creation and the lock, a run sweeping this folder may
        // take the file for a stale one: then it holds the lock or has
        // removed the name, and another name is tried.
        const LockResult locked = file.lock(true, false);
        if (locked == LockResult::Busy || (locked == LockResult::Locked && !still_named(fd_, candidate, fd))) {
            file.close();
            continue;
        }
        temporary_name = candidate;
        return true;
    }
    file.close();
    return false;
}

std::size_t Directory::remove_stale_temporaries() const {
    if (fd_ < 0) return 0;
    // A listing of its own: a duplicate would share its position with every
    // other copy of this directory.
    int listing_fd;
    do {
        listing_fd = ::openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (listing_fd < 0 && errno == EINTR);
    if (listing_fd < 0) return 0;
    DIR* dir = ::fdopendir(listing_fd);
    if (dir == nullptr) {
        ::close(listing_fd);
        return 0;
    }
    std::vector<std::string> candidates;
    while (const struct dirent* entry = ::readdir(dir)) {
        if (is_temporary_name(entry->d_name)) candidates.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    std::size_t removed = 0;
    for (const std::string& name : candidates) {
        struct stat named;
        if (::fstatat(fd_, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(named.st_mode)) continue;
        int fd;
        do {
            fd = ::openat(fd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) continue;
        // A maker at work holds the lock until the file has its real name;
        // one that was killed holds nothing. The name must still be the file
        // locked here, and is removed before the lock goes.
        int rc;
        do {
            rc = ::flock(fd, LOCK_EX | LOCK_NB);
        } while (rc != 0 && errno == EINTR);
        if (rc == 0 && still_named(fd_, name, fd) && ::unlinkat(fd_, name.c_str(), 0) == 0) ++removed;
        ::close(fd);
    }
    return removed;
}

bool Directory::rename(const std::string& from, const std::string& to) const {
    return fd_ >= 0 && ::renameat(fd_, from.c_str(), fd_, to.c_str()) == 0;
}

void Directory::remove(const std::string& name) const {
    if (fd_ >= 0) (void)::unlinkat(fd_, name.c_str(), 0);
}

bool Directory::make_link(const std::string& target, const std::string& name) const {
    if (fd_ < 0) return false;
    // Where nothing is in the way, the link is made under its own name.
    if (::symlinkat(target.c_str(), fd_, name.c_str()) == 0) return true;
    if (errno != EEXIST) return false;
    // A fresh temporary name: create_temporary's file is removed again and
    // its name taken for the link.
    File placeholder;
    std::string temporary;
    if (!create_temporary(name, placeholder, temporary)) return false;
    remove(temporary);
    placeholder.close();
    if (::symlinkat(target.c_str(), fd_, temporary.c_str()) != 0) return false;
    if (!rename(temporary, name)) {
        remove(temporary);
        return false;
    }
    return true;
}

bool Directory::set_link_time(const std::string& name, std::int64_t mtime_seconds,
                              std::uint32_t mtime_nanoseconds) const {
    struct timespec times[2];
    fill_times(times, mtime_seconds, mtime_nanoseconds);
    return fd_ >= 0 && ::utimensat(fd_, name.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

bool Directory::restore_times_and_mode(std::uint32_t mode, std::int64_t mtime_seconds,
                                       std::uint32_t mtime_nanoseconds, bool special_bits) {
    return restore_descriptor(fd_, mode, mtime_seconds, mtime_nanoseconds, special_bits);
}

int Directory::set_owner(std::uint32_t uid, std::uint32_t gid) { return owner_of_descriptor(fd_, uid, gid); }

int Directory::set_attribute(const std::string& name, const std::string& value) {
    return attribute_of_descriptor(fd_, name, value);
}

int Directory::set_owner_of(const std::string& name, std::uint32_t uid, std::uint32_t gid) const {
    if (fd_ < 0) return EBADF;
    return ::fchownat(fd_, name.c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(gid), AT_SYMLINK_NOFOLLOW) == 0
               ? 0
               : errno;
}

int Directory::set_attribute_of(const std::string& name, const std::string& attribute,
                                const std::string& value) const {
    if (fd_ < 0 || name.find('/') != std::string::npos) return EBADF;
    // There is no call that takes a folder and a name: the folder's own
    // entry in /proc stands for it, and only the last step is a name.
    const std::string path = "/proc/self/fd/" + std::to_string(fd_) + "/" + name;
    return ::lsetxattr(path.c_str(), attribute.c_str(), value.data(), value.size(), 0) == 0 ? 0 : errno;
}

bool Directory::temporary_name_for(const std::string& name, std::string& temporary) const {
    File placeholder;
    if (!create_temporary(name, placeholder, temporary)) return false;
    remove(temporary);
    return true;
}

int Directory::make_hard_link(const Directory& from, const std::string& from_name, const std::string& name) const {
    if (fd_ < 0 || from.fd_ < 0) return EBADF;
    // Without AT_SYMLINK_FOLLOW a link at from_name is linked itself, never
    // what it points to; the caller refuses links before.
    if (::linkat(from.fd_, from_name.c_str(), fd_, name.c_str(), 0) == 0) return 0;
    if (errno != EEXIST) return errno;
    std::string temporary;
    if (!temporary_name_for(name, temporary)) return errno != 0 ? errno : EEXIST;
    if (::linkat(from.fd_, from_name.c_str(), fd_, temporary.c_str(), 0) != 0) return errno;
    if (!rename(temporary, name)) {
        const int error = errno;
        remove(temporary);
        return error != 0 ? error : EIO;
    }
    return 0;
}

int Directory::make_node(const std::string& name, Node node, std::uint32_t mode, std::uint32_t major,
                         std::uint32_t minor) const {
    if (fd_ < 0) return EBADF;
    const mode_t type = node == Node::Fifo ? S_IFIFO : node == Node::CharDevice ? S_IFCHR : S_IFBLK;
    const dev_t device = node == Node::Fifo ? 0 : makedev(major, minor);
    const mode_t bits = static_cast<mode_t>(mode & 0777);
    if (::mknodat(fd_, name.c_str(), type | bits, device) == 0) return 0;
    if (errno != EEXIST) return errno;
    std::string temporary;
    if (!temporary_name_for(name, temporary)) return errno != 0 ? errno : EEXIST;
    if (::mknodat(fd_, temporary.c_str(), type | bits, device) != 0) return errno;
    if (!rename(temporary, name)) {
        const int error = errno;
        remove(temporary);
        return error != 0 ? error : EIO;
    }
    return 0;
}

bool Directory::restore_node_times_and_mode(const std::string& name, std::uint32_t mode, std::int64_t mtime_seconds,
                                            std::uint32_t mtime_nanoseconds, bool special_bits) const {
    struct stat st;
    if (fd_ < 0 || ::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISLNK(st.st_mode)) return false;
    const bool mode_ok =
        ::fchmodat(fd_, name.c_str(), static_cast<mode_t>(mode & (special_bits ? 07777 : 0777)), 0) == 0;
    struct timespec times[2];
    fill_times(times, mtime_seconds, mtime_nanoseconds);
    return ::utimensat(fd_, name.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 && mode_ok;
}

bool has_holes(const std::string& path) {
    File file;
    if (!file.open_read(path)) return false;
    const off_t size = ::lseek(file.descriptor(), 0, SEEK_END);
    const off_t hole = ::lseek(file.descriptor(), 0, SEEK_HOLE);
    return size > 0 && hole >= 0 && hole < size;
}

bool device_numbers(const std::string& path, std::uint32_t& major_number, std::uint32_t& minor_number) {
    struct stat st;
    const std::string native = native_path(path);
    if (native.empty() || ::lstat(native.c_str(), &st) != 0 || !(S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))) {
        return false;
    }
    major_number = static_cast<std::uint32_t>(major(st.st_rdev));
    minor_number = static_cast<std::uint32_t>(minor(st.st_rdev));
    return true;
}

bool running_as_root() { return ::geteuid() == 0; }

bool user_id(const std::string& name, std::uint32_t& uid) {
    std::vector<char> buffer(16384);
    struct passwd entry;
    struct passwd* found = nullptr;
    if (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return false;
    uid = static_cast<std::uint32_t>(found->pw_uid);
    return true;
}

bool group_id(const std::string& name, std::uint32_t& gid) {
    std::vector<char> buffer(16384);
    struct group entry;
    struct group* found = nullptr;
    if (::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return false;
    gid = static_cast<std::uint32_t>(found->gr_gid);
    return true;
}

std::string user_name(std::uint32_t uid) {
    std::vector<char> buffer(16384);
    struct passwd entry;
    struct passwd* found = nullptr;
    if (::getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        return std::string();
    }
    return found->pw_name;
}

std::string group_name(std::uint32_t gid) {
    std::vector<char> buffer(16384);
    struct group entry;
    struct group* found = nullptr;
    if (::getgrgid_r(static_cast<gid_t>(gid), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        return std::string();
    }
    return found->gr_name;
}

// ---------------------------------------------------------------------------
// Queries on paths

namespace {

bool stat_path(const std::string& path, struct stat& st) {
    const std::string native = native_path(path);
    if (native.empty()) return false;
    return ::stat(native.c_str(), &st) == 0;
}

EntryStatus status_of(const std::string& native, bool follow_links = true) {
    EntryStatus status;
    struct stat st;
    if (native.empty() || (follow_links ? ::stat(native.c_str(), &st) : ::lstat(native.c_str(), &st)) != 0) {
        return status;
    }
    return status_from(st);
}

}  // namespace

std::string temporary_folder_setting() {
    const char* folder = std::getenv("TMPDIR");
    return folder != nullptr ? std::string(folder) : std::string();
}

std::string folder_of(const std::string& path) {
    std::size_t cut = path.size();
    while (cut > 0 && !is_separator(path[cut - 1])) --cut;
    if (cut == 0) return ".";
    while (cut > 1 && is_separator(path[cut - 2])) --cut;  // a run of separators
    if (cut == 1 || (cut == 3 && has_drive_prefix(path))) return path.substr(0, cut);  // a root
    return path.substr(0, cut - 1);
}

bool is_dangling_link(const std::string& path) {
    const std::string native = native_path(path);
    struct stat st;
    if (native.empty() || ::lstat(native.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
    return ::stat(native.c_str(), &st) != 0 && errno == ENOENT;
}

std::string open_failure_reason(const std::string& path, int error) {
    const std::string native = native_path(path);
    struct stat st;
    const bool exists = !native.empty() && ::stat(native.c_str(), &st) == 0;
    if (is_dangling_link(path)) return "it is a symbolic link that leads nowhere";
    if (error == EISDIR || (exists && S_ISDIR(st.st_mode))) return "it is a folder";
    if (exists && !S_ISREG(st.st_mode)) {
        if (S_ISFIFO(st.st_mode)) return "it is a pipe, not a regular file";
        if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "it is a device, not a regular file";
        if (S_ISSOCK(st.st_mode)) return "it is a socket, not a regular file";
        return "it is not a regular file";
    }
    return error_text(error);
}

std::string error_text(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
            return "permission denied";
        case EROFS:
            return "the file system is read-only";
        case ENOENT:
            return "no such file or folder";
        case ENOTDIR:
            return "a part of its path is not a folder";
        case ELOOP:
            return "it is a symbolic link that leads round in a loop";
        case ENOSPC:
        case EDQUOT:
            return "no space is left on its file system";
        case ETXTBSY:
            return "it is a program that is running";
        case ENAMETOOLONG:
            return "its path is too long";
        case EFBIG:
            return "it would grow beyond the largest file allowed";
        case EIO:
            return "the device reported an input or output error";
        default:
            break;
    }
    std::string text = std::strerror(error);
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] - 'A' + 'a');
    return text;
}

std::uint64_t file_size(const std::string& path) {
    struct stat st;
    if (!stat_path(path, st) || !S_ISREG(st.st_mode)) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

EntryStatus entry_status(const std::string& path) { return status_of(native_path(path)); }

EntryStatus entry_status_in(const std::string& directory, const std::string& name, bool follow_links) {
    std::string native = native_path(directory);
    if (!native.empty() && native.back() != '/') native.push_back('/');
    return status_of(native + name, follow_links);
}

bool path_identity(const std::string& path, FileId& id) {
    struct stat st;
    if (!stat_path(path, st)) return false;
    id.device = static_cast<std::uint64_t>(st.st_dev);
    id.inode = static_cast<std::uint64_t>(st.st_ino);
    return true;
}

bool times_and_mode_of(const std::string& path, bool follow_links, std::uint32_t& mode, std::int64_t& mtime_seconds,
                       std::uint32_t& mtime_nanoseconds) {
    const std::string native = native_path(path);
    struct stat st;
    if (native.empty() || (follow_links ? ::stat(native.c_str(), &st) : ::lstat(native.c_str(), &st)) != 0) {
        return false;
    }
    mode = static_cast<std::uint32_t>(st.st_mode & 07777);
    mtime_seconds = static_cast<std::int64_t>(st.st_mtim.tv_sec);
    mtime_nanoseconds = static_cast<std::uint32_t>(st.st_mtim.tv_nsec);
    return true;
}

bool owner_of(const std::string& path, bool follow_links, std::uint32_t& uid, std::uint32_t& gid) {
    const std::string native = native_path(path);
    struct stat st;
    if (native.empty() || (follow_links ? ::stat(native.c_str(), &st) : ::lstat(native.c_str(), &st)) != 0) {
        return false;
    }
    uid = static_cast<std::uint32_t>(st.st_uid);
    gid = static_cast<std::uint32_t>(st.st_gid);
    return true;
}

bool read_link(const std::string& path, std::string& target) {
    const std::string native = native_path(path);
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t n = ::readlink(native.c_str(), buffer.data(), buffer.size());
        if (n < 0) return false;
        if (static_cast<std::size_t>(n) < buffer.size()) {
            target.assign(buffer.data(), static_cast<std::size_t>(n));
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
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

unsigned usable_cores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<unsigned>(count);
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1u;
}

std::uint64_t physical_memory() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGESIZE);
    return pages > 0 && page > 0 ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page) : 0;
}

bool is_terminal(std::FILE* stream) { return stream != nullptr && ::isatty(fileno(stream)) == 1; }

unsigned terminal_columns(std::FILE* stream) {
    winsize size{};
    if (stream == nullptr || ::ioctl(fileno(stream), TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

namespace {

// Set by the handler, taken by terminal_resized.
std::atomic<bool> g_resized{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the resize flag must be lock-free");

extern "C" void record_resize(int) { g_resized.store(true); }

}  // namespace

void watch_terminal_size() {
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction action = {};
        action.sa_handler = record_resize;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGWINCH, &action, nullptr);
    });
}

bool terminal_resized() { return g_resized.exchange(false); }

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

bool make_private_folder(std::string& path) {
    std::string base = temporary_folder_setting();
    if (base.empty()) base = "/tmp";
    std::string name = base + "/qev-stream-XXXXXX";
    if (::mkdtemp(&name[0]) == nullptr) return false;
    path = name;
    return true;
}

int take_standard_output() {
    std::signal(SIGPIPE, SIG_IGN);
    return ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
}

bool standard_input_is_regular() {
    struct stat st;
    return ::fstat(STDIN_FILENO, &st) == 0 && S_ISREG(st.st_mode);
}

namespace {

// Writes all of n bytes; 0 or the error number.
int write_all(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return w < 0 ? errno : EIO;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return 0;
}

}  // namespace

int copy_standard_input_to(const std::string& path) {
    const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) return errno;
    std::vector<char> buffer(1u << 20);
    int error = 0;
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = errno;
        if (n <= 0) break;
        error = write_all(out, buffer.data(), static_cast<std::size_t>(n));
        if (error != 0) break;
    }
    if (::close(out) != 0 && error == 0) error = errno;
    return error;
}

int copy_file_to_descriptor(const std::string& path, std::uint64_t offset, int fd, std::uint64_t end) {
    const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return errno;
    std::vector<char> buffer(1u << 20);
    int error = 0;
    while (offset < end) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), end - offset));
        const ssize_t n = ::pread(in, buffer.data(), want, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = errno;
        if (n <= 0) break;
        offset += static_cast<std::uint64_t>(n);
        error = write_all(fd, buffer.data(), static_cast<std::size_t>(n));
        if (error != 0) break;
    }
    ::close(in);
    return error;
}

}  // namespace platform
}  // namespace qev
