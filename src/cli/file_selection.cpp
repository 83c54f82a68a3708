// File selection for the add command: file arguments are split into a search
// directory and a name pattern, the directories are walked, the list is
// ordered by extension, and every file is stored under its name and dir.

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "cli/cli.h"
#include "format/wildcard.h"
#include "platform/platform_file.h"

namespace qev {

namespace {

struct DirectoryId {
    std::uint64_t device;
    std::uint64_t inode;
    bool operator==(const DirectoryId& other) const { return device == other.device && inode == other.inode; }
};

struct Walker {
    FileList& list;
    bool recurse;
    SelectionObserver* observer;
    bool ok = true;
    // The directories from the search directory down to the one being
    // walked; a folder link back to any of them is not entered again.
    std::vector<DirectoryId> walk_path;
};

std::string record_prefix(const std::string& directory) {
    if (directory.empty()) return std::string();
    if (directory == "/") return directory;
    return directory + platform::SEPARATOR;
}

void walk_directory(Walker& walker, const std::string& directory, const std::string& pattern) {
    const std::string search = directory.empty() ? std::string(".") : directory;
    std::vector<std::string> names;
    if (!platform::list_directory(search, names)) {
        if (walker.observer != nullptr) walker.observer->cannot_read_folder(search);
        walker.ok = false;
        return;
    }
    const std::string prefix = record_prefix(directory);
    for (const std::string& name : names) {
        if (!wildcard_match(pattern.c_str(), name.c_str())) continue;
        const std::string path = prefix + name;
        if (platform::path_too_long(path)) {
            if (walker.observer != nullptr) walker.observer->path_too_long(path);
            walker.ok = false;
            continue;
        }
        const platform::EntryStatus status = platform::entry_status(path);
        if (status.type == platform::EntryType::Regular) {
            walker.list.push_back(FileRecord{path, status.size});
        } else if (status.type == platform::EntryType::Directory && walker.recurse && name != "." &&
                   name != "..") {
            const DirectoryId id{status.device, status.inode};
            if (std::find(walker.walk_path.begin(), walker.walk_path.end(), id) != walker.walk_path.end()) continue;
            // Inside a matched folder everything is taken.
            walker.walk_path.push_back(id);
            walk_directory(walker, path, "*");
            walker.walk_path.pop_back();
        }
    }
}

bool unsigned_less(const std::string& a, const std::string& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char x = static_cast<unsigned char>(a[i]);
        const unsigned char y = static_cast<unsigned char>(b[i]);
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

}  // namespace

FileSpec split_file_spec(const std::string& arg) {
    std::string s = arg;
    std::replace(s.begin(), s.end(), '\\', '/');
    if (s == "." || s == "..") s += "/*";
    std::size_t p = s.rfind('/');
    // X:/name searches the drive root as X:/. ("X:" without a separator
    // after it is part of a name).
    if (p == 2 && platform::has_drive_prefix(s)) {
        s.insert(2, "/.");
        p = 4;
    }

    FileSpec split;
    if (p != std::string::npos) {
        split.directory = p == 0 ? std::string("/") : s.substr(0, p);
        split.pattern = s.substr(p + 1);
    } else {
        split.pattern = s;
    }
    if (split.pattern.empty()) split.pattern = "*";
    return split;
}

std::vector<std::string> drop_method_argument(std::vector<std::string> args) {
    for (auto it = args.begin(); it != args.end(); ++it) {
        if (it->compare(0, 2, "-m") == 0) {
            args.erase(it);
            break;
        }
    }
    return args;
}

bool collect_files(const std::vector<std::string>& args, bool recurse, FileList& list, SelectionObserver* observer) {
    Walker walker{list, recurse, observer, true, {}};
    for (const std::string& arg : args) {
        if (platform::path_too_long(arg)) {
            if (observer != nullptr) observer->path_too_long(arg);
            walker.ok = false;
            continue;
        }
        const FileSpec split = split_file_spec(arg);
        const std::string search = split.directory.empty() ? std::string(".") : split.directory;
        // A directory that does not exist selects nothing, silently.
        const platform::EntryStatus status = platform::entry_status(search);
        if (status.type != platform::EntryType::Directory) continue;
        walker.walk_path.assign(1, DirectoryId{status.device, status.inode});
        walk_directory(walker, split.directory, split.pattern);
    }
    return walker.ok;
}

std::string extension_key(const std::string& path) {
    const std::size_t dot = path.rfind('.');
    return dot == std::string::npos ? path : path.substr(dot + 1);
}

void sort_by_extension(FileList& list) {
    std::vector<std::pair<std::string, FileRecord>> keyed;
    keyed.reserve(list.size());
    for (FileRecord& record : list) keyed.emplace_back(extension_key(record.path), std::move(record));
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return unsigned_less(a.first, b.first); });
    for (std::size_t i = 0; i < list.size(); ++i) list[i] = std::move(keyed[i].second);
}

std::string stored_dir(const std::string& path, bool keep_directories) {
    if (!keep_directories) return std::string();
    // A drive letter with its colon and separator, or the leading separators
    // of an absolute path, are not part of the stored dir.
    std::size_t start = 0;
    if (platform::has_drive_prefix(path)) start = 3;
    while (start < path.size() && platform::is_separator(path[start])) ++start;
    const std::size_t last = path.find_last_of("/\\");
    if (last == std::string::npos || last < start) return std::string();
    return path.substr(start, last - start + 1);
}

bool store_files(const FileList& list, bool keep_directories, const StoreFunction& store, AddTotals& totals) {
    bool ok = true;
    for (const FileRecord& record : list) {
        const StoreResult result =
            store(record.path, stored_name(record.path), stored_dir(record.path, keep_directories));
        if (result.status == StoreStatus::Stored || result.status == StoreStatus::Shrank) {
            totals.files += 1;
            totals.bytes += record.size;
        }
        if (result.status != StoreStatus::Stored) ok = false;
        if (ends_run(result.status)) {
            totals.run_ended = true;
            break;
        }
    }
    return ok;
}

}  // namespace qev
