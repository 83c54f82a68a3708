// File selection for the add command: file arguments are split into a search
// directory and a name pattern, the directories are walked, the list is
// ordered by extension, and every file is stored under its name and dir.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "cli/cli.h"
#include "format/pack.h"
#include "format/wildcard.h"
#include "platform/platform_file.h"

namespace qev {

namespace {

struct EntryId {
    std::uint64_t device;
    std::uint64_t inode;
    bool operator==(const EntryId& other) const { return device == other.device && inode == other.inode; }
    bool operator<(const EntryId& other) const {
        return device != other.device ? device < other.device : inode < other.inode;
    }
};

// What an entry whose name matched came to.
enum class Met {
    Nothing,     // "." or "..", or nothing by that name
    Folder,      // a folder, not entered without recurse
    Taken,       // a file listed, a folder walked, or a problem reported
    NotRegular,  // a FIFO, socket or device: reported and skipped
    Excluded,    // an exclusion matches it: left out, a folder not entered
};

class SilentObserver : public SelectionObserver {
public:
    void path_too_long(const std::string&) override {}
    void cannot_read_folder(const std::string&) override {}
    void nothing_matches(const std::string&) override {}
    void folder_not_entered(const std::string&) override {}
    void not_regular(const std::string&) override {}
    void backslash_in_name(const std::string&) override {}
    void archive_itself(const std::string&) override {}
    void entered_already(const std::string&, const std::string&) override {}
    void leads_nowhere(const std::string&) override {}
};

struct Selector {
    Selector(FileList& l, bool r, bool k, SelectionObserver& o) : list(l), recurse(r), links(k), observer(o) {}

    FileList& list;
    bool recurse;
    bool links;  // links taken as links, empty folders as folders
    bool all_folders = true;  // with links: every folder walked, not only empty ones
    SelectionObserver& observer;
    const std::vector<std::string>* excludes = nullptr;
    bool ok = true;
    // The archive this run writes: never selected.
    bool archive_exists = false;
    EntryId archive{0, 0};
    // The directories from the search directory down to the one being
    // walked, each with the path it was reached by.
    std::vector<std::pair<EntryId, std::string>> walk_path;
    // Every folder walked in this run, with the path it was first walked
    // by. A folder reached again, by a link back to one of its ancestors
    // or to a folder walked elsewhere, is not walked again: followed links
    // would otherwise multiply the tree.
    std::map<EntryId, std::string> entered;
    // The listings of the file arguments' search directories, each read once.
    std::map<std::string, std::vector<std::string>> listings;
};

std::string record_prefix(const std::string& directory) {
    if (directory.empty()) return std::string();
    if (directory == "/") return directory;
    return directory + platform::SEPARATOR;
}

bool has_wildcard(const std::string& pattern) { return pattern.find_first_of("*?") != std::string::npos; }

// Every reader of an archive takes a '\' in a stored path for a separator.
bool has_backslash(const std::string& name) { return name.find('\\') != std::string::npos; }

bool walk_directory(Selector& s, const std::string& directory, const std::vector<std::string>& names,
                    const std::string& pattern);

// The path by which the folder id was walked already, or nullptr.
const std::string* entered_as(const Selector& s, const EntryId& id) {
    for (const auto& step : s.walk_path) {
        if (step.first == id) return &step.second;
    }
    const auto it = s.entered.find(id);
    return it != s.entered.end() ? &it->second : nullptr;
}

// Takes the entry called name in directory: a regular file is listed, a
// folder walked whole when recursing.
Met take_entry(Selector& s, const std::string& directory, const std::string& name) {
    if (name == "." || name == "..") return Met::Nothing;
    const std::string path = record_prefix(directory) + name;
    if (s.excludes != nullptr && path_excluded(*s.excludes, path)) return Met::Excluded;
    if (platform::path_too_long(path)) {
        s.observer.path_too_long(path);
        s.ok = false;
        return Met::Taken;
    }
    const platform::EntryStatus status = platform::entry_status_in(directory, name, !s.links);
    switch (status.type) {
        case platform::EntryType::Missing:
            // A followed link whose target is missing (or a loop of links)
            // is a file that cannot be stored.
            if (!s.links && platform::entry_status_in(directory, name, false).type == platform::EntryType::Link) {
                s.observer.leads_nowhere(path);
                s.ok = false;
                return Met::Taken;
            }
            return Met::Nothing;
        case platform::EntryType::Link:
            if (has_backslash(name)) {
                s.observer.backslash_in_name(path);
                s.ok = false;
            } else {
                s.list.push_back(FileRecord{path, 0, EntryType::Link});
            }
            return Met::Taken;
        case platform::EntryType::Other:
            // FIFOs and device nodes go into packs.
            if (s.recurse && s.links && s.all_folders && status.node != platform::NodeType::None) {
                const EntryType type = status.node == platform::NodeType::Fifo         ? EntryType::Fifo
                                       : status.node == platform::NodeType::CharDevice ? EntryType::CharDevice
                                                                                       : EntryType::BlockDevice;
                s.list.push_back(FileRecord{path, 0, type});
                return Met::Taken;
            }
            s.observer.not_regular(path);
            return Met::NotRegular;
        case platform::EntryType::Directory:
            if (!s.recurse) return Met::Folder;
            break;
        case platform::EntryType::Regular:
            break;
    }
    if (has_backslash(name)) {
        s.observer.backslash_in_name(path);
        s.ok = false;
        return Met::Taken;
    }
    const EntryId id{status.device, status.inode};
    if (status.type == platform::EntryType::Regular) {
        if (s.archive_exists && id == s.archive) {
            s.observer.archive_itself(path);
        } else {
            FileRecord record{path, status.size};
            record.device = status.device;
            record.inode = status.inode;
            record.links = status.links;
            record.allocated = status.allocated;
            // A large file that takes fewer blocks than its size may be
            // compressed by its filesystem rather than have holes; only
            // holes make it sparse.
            if (record.allocated < record.size && record.size >= PACK_FILE_LIMIT && !platform::has_holes(path)) {
                record.allocated = record.size;
            }
            s.list.push_back(record);
        }
        return Met::Taken;
    }
    if (const std::string* first = entered_as(s, id)) {
        s.observer.entered_already(path, *first);
        return Met::Taken;
    }
    s.entered.emplace(id, path);
    std::vector<std::string> names;
    if (!platform::list_directory(path, names)) {
        s.observer.cannot_read_folder(path);
        s.ok = false;
        return Met::Taken;
    }
    // With links on every folder is kept as a folder entry, so that its
    // mode and times come back, before what it holds; without packs, only
    // an empty one ("." and ".." are in every listing).
    if (s.links && (s.all_folders || names.size() <= 2)) s.list.push_back(FileRecord{path, 0, EntryType::Folder});
    // Inside a matched folder everything is taken.
    s.walk_path.emplace_back(id, path);
    walk_directory(s, path, names, "*");
    s.walk_path.pop_back();
    return Met::Taken;
}

// Takes every entry of names that matches pattern, in listing order. True
// when any of them came to something.
bool walk_directory(Selector& s, const std::string& directory, const std::vector<std::string>& names,
                    const std::string& pattern) {
    bool met = false;
    for (const std::string& name : names) {
        if (!wildcard_match(pattern.c_str(), name.c_str())) continue;
        const Met m = take_entry(s, directory, name);
        met = met || m == Met::Taken || m == Met::NotRegular || m == Met::Excluded;
    }
    return met;
}

// A file argument that selected nothing: told why, and the run fails.
void selected_nothing(Selector& s, const std::string& arg) {
    s.ok = false;
    // A name holding a '\' is not found by the path the argument spells.
    if (has_backslash(arg) && platform::entry_status_in(std::string(), arg).type != platform::EntryType::Missing) {
        s.observer.backslash_in_name(arg);
    } else {
        s.observer.nothing_matches(arg);
    }
}

void select_argument(Selector& s, const std::string& arg) {
    const FileSpec split = split_file_spec(arg);
    const std::string search = split.directory.empty() ? std::string(".") : split.directory;
    const platform::EntryStatus status = platform::entry_status(search);
    if (status.type != platform::EntryType::Directory) return selected_nothing(s, arg);
    s.walk_path.assign(1, std::make_pair(EntryId{status.device, status.inode}, search));

    if (!has_wildcard(split.pattern)) {
        // Such a pattern matches its own name only: no listing is needed.
        switch (take_entry(s, split.directory, split.pattern)) {
            case Met::Taken:
            case Met::Excluded:
                break;
            case Met::NotRegular:
                s.ok = false;
                break;
            case Met::Folder:
                s.observer.folder_not_entered(arg);
                s.ok = false;
                break;
            case Met::Nothing:
                selected_nothing(s, arg);
                break;
        }
        return;
    }
    auto listed = s.listings.find(search);
    if (listed == s.listings.end()) {
        std::vector<std::string> names;
        if (!platform::list_directory(search, names)) {
            s.observer.cannot_read_folder(search);
            s.ok = false;
            return;
        }
        listed = s.listings.emplace(search, std::move(names)).first;
    }
    if (!walk_directory(s, split.directory, listed->second, split.pattern)) selected_nothing(s, arg);
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

std::vector<std::string> drop_method_argument(std::vector<std::string> args, std::string* dropped) {
    if (dropped != nullptr) dropped->clear();
    bool method_dropped = false;
    for (std::size_t i = 0; i < args.size();) {
        if (args[i] == "--") {
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
        if (!method_dropped && args[i].compare(0, 2, "-m") == 0) {
            if (dropped != nullptr) *dropped = args[i];
            method_dropped = true;
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
    return args;
}

bool collect_files(const std::vector<std::string>& args, bool recurse, FileList& list, SelectionObserver* observer,
                   const std::string& archive_path, bool links, bool all_folders,
                   const std::vector<std::string>* excludes) {
    SilentObserver silent;
    Selector s(list, recurse, links, observer != nullptr ? *observer : silent);
    s.all_folders = all_folders;
    if (excludes != nullptr && !excludes->empty()) s.excludes = excludes;
    if (!archive_path.empty()) {
        const platform::EntryStatus archive = platform::entry_status(archive_path);
        s.archive_exists = archive.type == platform::EntryType::Regular;
        s.archive = EntryId{archive.device, archive.inode};
    }
    for (const std::string& arg : args) {
        if (platform::path_too_long(arg)) {
            s.observer.path_too_long(arg);
            s.ok = false;
            continue;
        }
        select_argument(s, arg);
    }
    return s.ok;
}

bool read_name_list(const std::string& path, bool null_separated, std::vector<std::string>& names,
                    std::string& problem) {
    std::FILE* in = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (in == nullptr) {
        problem = platform::open_failure_reason(path, errno);
        return false;
    }
    const char end = null_separated ? '\0' : '\n';
    std::string name;
    bool ok = true;
    for (int c; (c = std::getc(in)) != EOF;) {
        if (static_cast<char>(c) != end) {
            name.push_back(static_cast<char>(c));
            continue;
        }
        if (!name.empty()) names.push_back(name);
        name.clear();
    }
    if (std::ferror(in)) {
        problem = "it cannot be read";
        ok = false;
    }
    if (!name.empty()) names.push_back(name);
    if (in != stdin) std::fclose(in);
    return ok;
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

std::vector<StoreItem> plan_store_items(const FileList& list, bool keep_directories, bool packing,
                                        std::uint64_t pack_bytes) {
    std::vector<StoreItem> items;
    // A file of several names, or reached by several followed links, is
    // stored under the first; the others are hard links to it.
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::string> first_names;
    std::vector<std::string> link_targets(list.size());
    if (packing) {
        for (std::size_t i = 0; i < list.size(); ++i) {
            const FileRecord& r = list[i];
            if (r.type != EntryType::File || (r.device == 0 && r.inode == 0)) continue;
            const std::string stored = stored_dir(r.path, keep_directories) + stored_name(r.path);
            const auto found = first_names.emplace(std::make_pair(r.device, r.inode), stored);
            if (!found.second) link_targets[i] = found.first->second;
        }
    }
    const auto is_link = [&](std::size_t i) { return !link_targets[i].empty(); };
    const auto single = [&](std::size_t i) {
        const FileRecord& r = list[i];
        StoreItem item;
        item.store = FileToStore{r.path, stored_name(r.path), stored_dir(r.path, keep_directories), r.type, {}, {}};
        item.records.push_back(i);
        item.bytes = r.size;
        items.push_back(std::move(item));
    };
    StoreItem pack;
    const auto close_pack = [&] {
        if (pack.records.empty()) return;
        if (pack.records.size() == 1 && list[pack.records[0]].type == EntryType::File &&
            !list[pack.records[0]].sparse() && !is_link(pack.records[0])) {
            single(pack.records[0]);
        } else {
            pack.store.type = EntryType::Pack;
            pack.bytes += 2 * 512;  // the stream's end
            items.push_back(std::move(pack));
        }
        pack = StoreItem();
    };
    const auto add = [&](std::size_t i) {
        const FileRecord& r = list[i];
        pack.records.push_back(i);
        const EntryType type = is_link(i) ? EntryType::HardLink : r.type;
        pack.store.members.push_back(
            FileToStore{r.path, stored_name(r.path), stored_dir(r.path, keep_directories), type, {}, link_targets[i]});
        const FileToStore& m = pack.store.members.back();
        if (type == EntryType::HardLink) {
            pack.bytes += pack_member_bytes(m.dir + m.name, EntryType::Link, 0);
        } else if (r.sparse()) {
            // Its data and its map of runs.
            pack.bytes += pack_member_bytes(m.dir + m.name, r.type, std::min(r.allocated, SPARSE_MEMBER_LIMIT)) + 8192;
        } else {
            pack.bytes += pack_member_bytes(m.dir + m.name, r.type, r.size);
        }
    };
    // Files of their own: large ones that are not hard links to a file met
    // before, and have no holes to keep.
    const auto own_entry = [&](const FileRecord& r, std::size_t i) {
        return r.type == EntryType::File && r.size >= PACK_FILE_LIMIT && !is_link(i) &&
               !(r.sparse() && r.allocated <= SPARSE_MEMBER_LIMIT);
    };
    // Folders go last, into the last pack: whoever unpacks the packs in
    // order gives a folder its times after everything in it is in place.
    // Files of their own come first, in extension order.
    std::vector<std::size_t> folders;
    std::vector<std::size_t> own;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const FileRecord& r = list[i];
        if (!packing || own_entry(r, i)) own.push_back(i);
    }
    if (packing) {
        std::vector<std::string> keys(list.size());
        for (const std::size_t i : own) keys[i] = extension_key(list[i].path);
        std::stable_sort(own.begin(), own.end(),
                         [&](std::size_t a, std::size_t b) { return unsigned_less(keys[a], keys[b]); });
    }
    for (const std::size_t i : own) single(i);
    for (std::size_t i = 0; packing && i < list.size(); ++i) {
        const FileRecord& r = list[i];
        if (own_entry(r, i)) continue;
        if (r.type == EntryType::Folder) {
            // Names stored without their folders keep no folder either.
            if (keep_directories) folders.push_back(i);
        } else {
            add(i);
            if (pack.bytes >= pack_bytes || (r.sparse() && r.allocated >= PACK_FILE_LIMIT)) close_pack();
        }
    }
    for (const std::size_t i : folders) add(i);
    close_pack();
    return items;
}

bool count_stored(const FileRecord& record, const StoreResult& result, AddTotals& totals) {
    if (entry_written(result.status)) {
        totals.files += 1;
        totals.bytes += record.size;
    }
    if (ends_run(result.status)) totals.run_ended = true;
    return result.status == StoreStatus::Stored;
}

bool store_files(const FileList& list, bool keep_directories, const StoreFunction& store, AddTotals& totals) {
    bool ok = true;
    for (const FileRecord& record : list) {
        const StoreResult result =
            store(record.path, stored_name(record.path), stored_dir(record.path, keep_directories), record.type);
        if (!count_stored(record, result, totals)) ok = false;
        if (totals.run_ended) break;
    }
    return ok;
}

}  // namespace qev
