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
    bool open_write(const std::string& path);  // existing file, write only, not truncated
    bool create(const std::string& path);      // new or truncated, read and write
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
    int descriptor() const { return fd_; }

private:
    int fd_ = -1;
};

// Size of a regular file from a status query on the path; 0 when the path is
// missing or names a directory.
std::uint64_t file_size(const std::string& path);

enum class EntryType { Missing, Regular, Directory, Other };

struct EntryStatus {
    EntryType type = EntryType::Missing;
    std::uint64_t size = 0;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
};

// Status of the entry a path names (links are followed).
EntryStatus entry_status(const std::string& path);

// Status of the entry called name in directory (empty: the current one).
// name is taken byte for byte: a '\' in it is part of the name, as it is for
// the names list_directory returns.
EntryStatus entry_status_in(const std::string& directory, const std::string& name);

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

// The absolute current directory, without a trailing separator unless it is
// the root.
std::string current_directory();

// Console streams. All program output goes to console_out() except the usage
// text, which goes to console_err(). Tests may redirect both.
std::FILE* console_out();
std::FILE* console_err();
void set_console(std::FILE* out, std::FILE* err);

}  // namespace platform
}  // namespace qev
