// File, directory and console operations over POSIX.
//
// Paths reach this layer as the user typed them or as an archive stores them:
// '/' and '\' are both separators and a drive prefix ("X:" and a separator)
// may lead. Every function here maps such a path to a native one
// (native_path) before it reaches the operating system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qev {

namespace platform {

// Longest path, in bytes without the terminator, that the program accepts.
constexpr std::size_t MAX_PATH_BYTES = 4096;

// Longest name of one path component, in bytes.
constexpr std::size_t MAX_NAME_BYTES = 255;

// The separator the program uses when it joins two paths itself.
constexpr char SEPARATOR = '/';

inline bool is_separator(char c) { return c == '/' || c == '\\'; }

// True when the path begins with a drive prefix: a letter, ':' and a
// separator. "X:" followed by anything else is part of a name ("a:b").
bool has_drive_prefix(const std::string& path);

// True when the path is absolute: it begins with a separator or with a
// drive prefix.
bool is_absolute(const std::string& path);

// The path as the operating system sees it: every '\' becomes '/' and a
// drive prefix becomes the root.
std::string native_path(const std::string& path);

// Removes every separator that is directly followed by another one, so that
// each run of separators keeps only its last character.
std::string normalise_separators(std::string path);

// The text after the last separator; all of path without one; empty when
// path ends with a separator.
std::string base_name(const std::string& path);

// 'A'..'Z' become 'a'..'z'; every other byte stays.
std::string lower_case_ascii(std::string s);

// True when the path is longer than MAX_PATH_BYTES.
bool path_too_long(const std::string& path);

// True when name has exactly the form of Directory::create_temporary's
// names: a stem, ".qev-partial-" and six letters or digits.
bool is_temporary_name(const std::string& name);

// Which file a path or an open file is: device and inode.
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileId& other) const { return device == other.device && inode == other.inode; }
    bool operator!=(const FileId& other) const { return !(*this == other); }
};

// The identity of the file a path names (links followed); false when there
// is none.
bool path_identity(const std::string& path, FileId& id);

enum class LockResult {
    Locked,
    Busy,         // another process holds a lock that conflicts
    Failed,       // the file system does not lock
    Interrupted,  // a wait for the lock was ended by an interruption (see interruption.h)
};

// An open file. Reads and writes loop until done; failures are reported
// through the return values so that callers can decide what a short read or
// a failed write means.
class File {
public:
    File() = default;
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;

    bool open_read(const std::string& path);   // existing file, read only
    // An existing regular file, read only. A pipe or a device is never
    // waited on: it fails at once, with errno EINVAL (EISDIR for a folder).
    bool open_read_regular(const std::string& path);
    bool open_write(const std::string& path);  // existing file, write only, not truncated
    bool create(const std::string& path);      // new or truncated, read and write
    bool open_read_write(const std::string& path);  // existing file, not truncated
    // A new file, read and write; false when the path exists.
    bool create_new(const std::string& path);
    // A new file in folder, read and write, whose name (stem and six
    // random characters, left in name) is removed at once: it goes away
    // with its last descriptor, even when the process is killed.
    bool create_unnamed(const std::string& folder, const std::string& stem, std::string& name);
    // A restored file: like create, but a symbolic link at the path is
    // replaced by the file instead of being followed.
    bool create_replacing_link(const std::string& path);
    bool is_open() const { return fd_ >= 0; }
    void close();

    // Reads up to n bytes at the current position; returns the number read
    // (less than n only at the end of the file or on an error).
    std::size_t read(void* buffer, std::size_t n);
    // Writes all n bytes at the current position; false when any failed.
    bool write(const void* buffer, std::size_t n);
    // Absolute position from the start of the file.
    bool seek(std::uint64_t offset);
    // Cuts the file to the given size.
    bool truncate(std::uint64_t size);
    // The file's size now; 0 when it cannot be had.
    std::uint64_t size() const;
    // Permission bits (the low 12 bits of the mode) and modification time.
    bool times_and_mode(std::uint32_t& mode, std::int64_t& mtime_seconds, std::uint32_t& mtime_nanoseconds) const;
    // Sets the permission bits (set-id and sticky bits only where
    // special_bits is on) and the modification time (the access time becomes
    // the same).
    bool restore_times_and_mode(std::uint32_t mode, std::int64_t mtime_seconds, std::uint32_t mtime_nanoseconds,
                                bool special_bits = false);
    // Writes n bytes at offset, leaving what lies before untouched (a hole
    // in a new file).
    bool write_at(std::uint64_t offset, const void* buffer, std::size_t n);
    // The owner and an extended attribute of the open file; 0 or the
    // error number.
    int set_owner(std::uint32_t uid, std::uint32_t gid);
    int set_attribute(const std::string& name, const std::string& value);
    // Bytes of storage the file takes.
    std::uint64_t allocated_bytes() const;
    bool identity(FileId& id) const;
    // What a write to the file changes: its size, modification time and
    // change time (taken from the open file, so a rename does not hide it).
    struct Stamp {
        std::uint64_t size = 0;
        std::int64_t mtime_seconds = 0;
        std::int64_t mtime_nanoseconds = 0;
        std::int64_t ctime_seconds = 0;
        std::int64_t ctime_nanoseconds = 0;
        // Read along with the rest, not compared: permission bits (the low
        // 12 bits of the mode), owner and group.
        std::uint32_t mode = 0;
        std::uint32_t uid = 0;
        std::uint32_t gid = 0;
        bool operator==(const Stamp& other) const {
            return size == other.size && mtime_seconds == other.mtime_seconds &&
                   mtime_nanoseconds == other.mtime_nanoseconds && ctime_seconds == other.ctime_seconds &&
                   ctime_nanoseconds == other.ctime_nanoseconds;
        }
        bool operator!=(const Stamp& other) const { return !(*this == other); }
    };
    bool stamp(Stamp& out) const;
    // True for a pipe or a socket: bytes go through it and cannot be
    // read back or written again at a position.
    bool is_pipe() const;
    // An advisory lock on the whole file, shared or exclusive, held until
    // the file is closed. Without wait a conflicting lock gives Busy; with
    // wait the lock is tried again every few milliseconds until it is had
    // or an interruption has been recorded (Interrupted).
    LockResult lock(bool exclusive, bool wait);
    // Asks the system to put the file's bytes on the disk.
    bool sync();
    int descriptor() const { return fd_; }

private:
    friend class Directory;
    int fd_ = -1;
};

// Why an open or a create of path failed with the system error error, as a
// phrase to follow the path ("it is a folder", "permission denied", "it is a
// symbolic link that leads nowhere", "the file system is read-only", "it is
// a pipe, not a regular file", ...). What the path names now is looked at
// where that explains the error better.
std::string open_failure_reason(const std::string& path, int error);

// A system error (an errno value) as a phrase about the file it concerns
// ("permission denied", "no space is left on its file system", ...).
std::string error_text(int error);

// The folder the user named for temporary files (TMPDIR); empty when none
// is named.
std::string temporary_folder_setting();

// The folder part of a path, without its last separator: "." for a path
// without one, "/" for a file in the root.
std::string folder_of(const std::string& path);

// True when path is a symbolic link whose target does not exist.
bool is_dangling_link(const std::string& path);

// Size of a regular file from a status query on the path; 0 when the path is
// missing or names a directory.
std::uint64_t file_size(const std::string& path);

enum class EntryType { Missing, Regular, Directory, Link, Other };

// What an Other is: a FIFO, a device node or something else (a socket).
enum class NodeType { None, Fifo, CharDevice, BlockDevice };

struct EntryStatus {
    EntryType type = EntryType::Missing;
    std::uint64_t size = 0;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t links = 1;      // names of the file
    std::uint64_t allocated = 0;  // bytes of storage it takes
    NodeType node = NodeType::None;
};

// Status of the entry a path names (links are followed).
EntryStatus entry_status(const std::string& path);

// Status of the entry called name in directory (empty: the current one).
// name is taken byte for byte: a '\' in it is part of the name, as it is for
// the names list_directory returns.
// With follow_links off, a link there is reported as a Link.
EntryStatus entry_status_in(const std::string& directory, const std::string& name, bool follow_links = true);

// An open directory, in which names are looked up, created and renamed
// without following symbolic links: a path built from such steps can never
// lead out of the directory it started from.
class Directory {
public:
    Directory() = default;
    ~Directory();
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;
    Directory(Directory&& other) noexcept;
    Directory& operator=(Directory&& other) noexcept;

    // Opens a directory by path; links on the way are followed.
    bool open(const std::string& path);
    // Opens the directory other has open.
    bool open_same(const Directory& other);
    bool is_open() const { return fd_ >= 0; }
    void close();

    enum class Step { Entered, Link, Failed };
    // Opens the subdirectory name, creating it when it is missing. A
    // symbolic link there is never followed: the result is Link.
    Step enter(const std::string& name, Directory& child) const;

    // Status of name itself: a link is reported as a Link.
    EntryStatus status_of(const std::string& name, FileId* id = nullptr) const;

    // The identity of the directory itself.
    bool identity(FileId& id) const;

    // Creates a new file for name's content under a temporary name that says
    // what it is (name, then ".qev-partial-" and six random characters),
    // never following a link. The file is held under an exclusive lock for
    // as long as it is open, which tells remove_stale_temporaries that its
    // maker is still at work. False when none can be created.
    bool create_temporary(const std::string& name, File& file, std::string& temporary_name) const;
    // Removes the temporary files that makers which ended without cleaning
    // up (a killed run) left here: regular files whose name has exactly the
    // form create_temporary gives and that nobody holds locked. Returns how
    // many were removed.
    std::size_t remove_stale_temporaries() const;
    // Renames from to to within this directory, replacing what is at to
    // (a link there is replaced, not followed).
    bool rename(const std::string& from, const std::string& to) const;
    // Removes the file name; failures are ignored.
    void remove(const std::string& name) const;
    // Makes a symbolic link name holding target, replacing what is there
    // (through a temporary name where something is, so nothing is
    // followed).
    bool make_link(const std::string& target, const std::string& name) const;
    // The modification time of the link name itself.
    bool set_link_time(const std::string& name, std::int64_t mtime_seconds, std::uint32_t mtime_nanoseconds) const;
    // As File::restore_times_and_mode, for this directory.
    bool restore_times_and_mode(std::uint32_t mode, std::int64_t mtime_seconds, std::uint32_t mtime_nanoseconds,
                                bool special_bits = false);
    // The owner and an extended attribute of this directory; 0 or the
    // error number.
    int set_owner(std::uint32_t uid, std::uint32_t gid);
    int set_attribute(const std::string& name, const std::string& value);
    // The owner of name itself (a link is not followed); 0 or the error
    // number.
    int set_owner_of(const std::string& name, std::uint32_t uid, std::uint32_t gid) const;
    // An extended attribute of name itself (a link is not followed); 0 or
    // the error number.
    int set_attribute_of(const std::string& name, const std::string& attribute, const std::string& value) const;
    // Makes name another link to from_name in from (never following a
    // link there), replacing what is at name through a temporary name; 0 or
    // the error number.
    int make_hard_link(const Directory& from, const std::string& from_name, const std::string& name) const;
    // Makes a FIFO (device false) or a character or block device node name,
    // replacing what is there; 0 or the error number.
    enum class Node { Fifo, CharDevice, BlockDevice };
    int make_node(const std::string& name, Node node, std::uint32_t mode, std::uint32_t major, std::uint32_t minor) const;
    // Permission bits and modification time of name itself, never
    // following a link; false for a link.
    bool restore_node_times_and_mode(const std::string& name, std::uint32_t mode, std::int64_t mtime_seconds,
                                     std::uint32_t mtime_nanoseconds, bool special_bits) const;

private:
    // A fresh name beside name for a thing made and then renamed over it.
    bool temporary_name_for(const std::string& name, std::string& temporary) const;
    int fd_ = -1;
};

// Whether the file at path has holes (parts never written, which read as
// zeros and take no storage).
bool has_holes(const std::string& path);

// The device numbers of a device node (a link is not followed).
bool device_numbers(const std::string& path, std::uint32_t& major, std::uint32_t& minor);

// Whether the process may set owners and make devices.
bool running_as_root();

// The numbers this system gives a user or group name; false where it
// knows no such name.
bool user_id(const std::string& name, std::uint32_t& uid);
bool group_id(const std::string& name, std::uint32_t& gid);
// The names of user and group numbers; empty where there is none.
std::string user_name(std::uint32_t uid);
std::string group_name(std::uint32_t gid);

// Permission bits and modification time of what a path names; with
// follow_links off, of a link itself.
bool times_and_mode_of(const std::string& path, bool follow_links, std::uint32_t& mode, std::int64_t& mtime_seconds,
                       std::uint32_t& mtime_nanoseconds);
// The owner and group of what a path names (of a link itself with
// follow_links off).
bool owner_of(const std::string& path, bool follow_links, std::uint32_t& uid, std::uint32_t& gid);

// The target of a symbolic link; false when path is no link.
bool read_link(const std::string& path, std::string& target);

// True only for an existing directory.
bool is_directory(const std::string& path);

// Every entry name of a directory, "." and ".." included, in the order the
// file system lists them. False when the directory cannot be listed.
bool list_directory(const std::string& path, std::vector<std::string>& names);

// Removes a file; failures are ignored.
void remove_file(const std::string& path);

// Creates one directory; failures (an existing directory included) are
// ignored by design.
void make_directory(const std::string& path);

// The processors this process may run on (at least 1).
unsigned usable_cores();

// The machine's physical memory in bytes (0 when unknown).
std::uint64_t physical_memory();

// True when the stream is a terminal.
bool is_terminal(std::FILE* stream);

// The width in columns of the terminal the stream is; 0 when it is no
// terminal or does not say.
unsigned terminal_columns(std::FILE* stream);

// From the first call on, a change of the terminal's size (SIGWINCH) is
// recorded; the handler does nothing else. Idempotent.
void watch_terminal_size();
// True once after each recorded change of the terminal's size.
bool terminal_resized();

// The absolute current directory, without a trailing separator unless it is
// the root.
std::string current_directory();

// Console streams. The banner, listings, per-file lines and totals go to
// console_out(); the usage text after a usage error, the progress line and
// every line that reports an error, a warning, a note, an interruption or a
// wait go to console_err(). Tests may redirect both.
std::FILE* console_out();
std::FILE* console_err();
void set_console(std::FILE* out, std::FILE* err);

// Streams of data. A folder only this user can enter, made under the
// system's folder for temporary files; false when none can be made.
bool make_private_folder(std::string& path);
// Standard output for data alone: a descriptor of it is returned (-1 when
// there is none), and a reader that goes away makes writes fail instead of
// ending the process.
int take_standard_output();
// Copies what standard input holds, to its end, into a new file at path; 0
// or the error number.
int copy_standard_input_to(const std::string& path);
// Whether standard input is a regular file (read in place, not copied).
bool standard_input_is_regular();
// Copies the file at path, from offset up to end (or its end), to the
// descriptor; 0 or the error number (EPIPE: the reader went away).
int copy_file_to_descriptor(const std::string& path, std::uint64_t offset, int fd, std::uint64_t end);

}  // namespace platform
}  // namespace qev
