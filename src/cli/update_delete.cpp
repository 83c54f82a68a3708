// The update and delete commands: qev u stores what changed since the
// archive's last entry for each path, qev d writes the archive anew without
// what the patterns name.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "cli/cli.h"
#include "compress/archive_rewrite.h"
#include "extract/extract.h"
#include "format/archive_reader.h"
#include "format/wildcard.h"
#include "platform/interruption.h"
#include "platform/platform_file.h"

namespace qev {

namespace {

using platform::console_err;
using platform::console_out;

// A line on standard error, after what standard output holds so far.
void say(const std::string& line) {
    std::fflush(console_out());
    std::fputs(line.c_str(), console_err());
    std::fflush(console_err());
}

class Waiter : public LockWaiter {
public:
    void waiting_for(const std::string& archive_path) override {
        say("Waiting: the archive " + printable(archive_path) + " is in use by another run\n");
    }
};

// What the listing of an archive says was stored last for each path, and
// whether it found damage.
class StoredPaths : public SilentExtractObserver {
public:
    void damaged_archive(std::uint64_t offset, const std::string& problem) override {
        // An unfinished entry at the end is the add's to cut off.
        if (!(has_unfinished && offset == unfinished_at)) note(problem);
    }
    void not_an_archive(const std::string& problem) override { note(problem); }
    void damaged_entry(const std::string& stored_path, const std::string& problem) override {
        note(printable(stored_path) + ": " + problem);
    }
    void waiting_for(const std::string& archive_path) override { waiter.waiting_for(archive_path); }
    void listed(const ListedEntry& entry) override {
        StoredState& s = last[entry.path];
        s.type = entry.has_record ? entry.record.type : EntryType::File;
        s.size = entry.unpacked_size;
        s.mode = entry.record.mode & 07777;
        s.mtime_seconds = entry.record.mtime_seconds;
        s.mtime_nanoseconds = entry.record.mtime_nanoseconds;
        // Members of packs written before they carried nanoseconds hold
        // whole seconds.
        s.whole_seconds = entry.member && entry.record.mtime_nanoseconds == 0;
    }

    std::unordered_map<std::string, StoredState> last;
    std::string damage;  // the first damage found
    bool has_unfinished = false;
    std::uint64_t unfinished_at = 0;

private:
    void note(const std::string& problem) {
        if (damage.empty()) damage = problem;
    }
    Waiter waiter;
};

// Why the archive cannot be updated, or empty when it can: every entry
// must be sound, not solid, and carry its record. An unfinished entry at
// the end, which the add cuts off, is told in stored.
std::string cannot_update(const std::string& archive_path, StoredPaths& stored) {
    ArchiveReader reader;
    Waiter waiter;
    if (!reader.open(archive_path, &waiter)) return std::string();  // the add says why
    reader.set_look_ahead(false);
    bool first = true;
    for (ArchiveReader::Entry entry; reader.next(entry);) {
        // An unfinished entry at the end is cut off by the add.
        if (entry.check == HeaderCheck::Unfinished) {
            stored.has_unfinished = true;
            stored.unfinished_at = entry.offset;
            break;
        }
        if (entry.check != HeaderCheck::Ok) {
            return "it is not a sound archive (at offset " + std::to_string(entry.offset) + ": " + entry.problem +
                   ")";
        }
        if (first && entry.header.solid != 0) {
            return "it is a solid archive, which takes no more entries";
        }
        first = false;
        if (!entry.has_record) {
            return "it holds entries written without records (qev a -p), so there is nothing to compare the "
                   "files with";
        }
    }
    return std::string();
}

}  // namespace

bool changed_since_stored(const FileRecord& file, const StoredState& stored) {
    if (file.type != stored.type) return true;
    if (file.type == EntryType::File && file.size != stored.size) return true;
    std::uint32_t mode = 0;
    std::int64_t seconds = 0;
    std::uint32_t nanoseconds = 0;
    if (!platform::times_and_mode_of(file.path, file.type != EntryType::Link, mode, seconds, nanoseconds)) {
        return true;  // the add says what became of it
    }
    if ((mode & 07777) != stored.mode || seconds != stored.mtime_seconds) return true;
    return !stored.whole_seconds && nanoseconds != stored.mtime_nanoseconds;
}

ChangeFilter update_filter(const RunSettings& settings) {
    return [&settings](FileList& list, const std::string& archive_path) -> int {
        if (platform::entry_status(archive_path).type == platform::EntryType::Missing) return -1;
        StoredPaths stored;
        const std::string refused = cannot_update(archive_path, stored);
        if (!refused.empty()) {
            say("Error: cannot update " + printable(archive_path) + ": " + refused + "; nothing was added to it\n");
            return 1;
        }
        Extractor extractor(stored);
        extractor.set_listing(true);
        extractor.set_workers(platform::usable_cores(), worker_memory_budget());
        extractor.set_stop_check([] { return platform::interruption() != 0; });
        const ExtractResult listed = extractor.extract_archive(archive_path, std::string(), "*");
        if (listed.status == ExtractStatus::Interrupted ||
            (listed.status == ExtractStatus::CannotOpenArchive && platform::interruption() != 0)) {
            say("Interrupted: nothing was stored in " + printable(archive_path) + "\n");
            return platform::interruption_status(platform::interruption());
        }
        if (listed.status == ExtractStatus::NoMemory) {
            say("No memory \n");
            return 1;
        }
        if (listed.status != ExtractStatus::Done) return -1;  // the add says why it cannot open it
        if (!stored.damage.empty()) {
            say("Error: cannot update " + printable(archive_path) + ": it is damaged (" + stored.damage +
                "); nothing was added to it\n");
            return 1;
        }
        FileList changed;
        std::uint64_t unchanged = 0;
        for (FileRecord& file : list) {
            std::string dir = stored_dir(file.path, settings.keep_directories);
            std::string name = stored_name(file.path);
            if (settings.recurse) {
                dir = platform::normalise_separators(dir);
                name = platform::normalise_separators(name);
            }
            const auto it = stored.last.find(dir + name);
            if (it != stored.last.end() && !changed_since_stored(file, it->second)) {
                ++unchanged;
            } else {
                changed.push_back(std::move(file));
            }
        }
        list = std::move(changed);
        std::fprintf(console_out(), "%" PRIu64 " unchanged %s not stored again\n", unchanged,
                     unchanged == 1 ? "file" : "files");
        return -1;
    };
}

int run_delete(const std::vector<std::string>& operands, const RunSettings& settings,
               const std::string& current_directory) {
    const std::string archive_path = extract_archive_path(operands[0], current_directory);
    if (platform::path_too_long(archive_path)) {
        say("Error: path too long: " + printable(archive_path) + "\n");
        return 1;
    }
    std::vector<std::string> patterns(operands.begin() + 1, operands.end());
    patterns.insert(patterns.end(), settings.listed_names.begin(), settings.listed_names.end());
    std::fprintf(console_out(), "Archive=%s \n", printable(archive_path).c_str());
    // The new archive takes the old one's name: a link there would be
    // replaced by it, and the file it leads to keep what was removed.
    if (platform::entry_status_in(std::string(), archive_path, false).type == platform::EntryType::Link) {
        say("Error: " + printable(archive_path) +
            " is a symbolic link; qev d writes the archive anew under its name, so name the archive itself\n");
        return 1;
    }
    if (patterns.empty()) {
        say("WARNING: no pattern names what to remove; nothing was removed\n");
        return 1;
    }
    // How many stored paths each pattern matched.
    std::vector<std::uint64_t> hits(patterns.size(), 0);
    const auto remove = [&](const std::string& stored_path) {
        bool any = false;
        for (std::size_t i = 0; i < patterns.size(); ++i) {
            if (path_excluded({patterns[i]}, stored_path, true)) {
                ++hits[i];
                any = true;
            }
        }
        return any;
    };
    Waiter waiter;
    RemovalOptions options;
    options.search = search_settings(RunSettings());
    options.waiter = &waiter;
    options.workers = platform::usable_cores();
    platform::catch_interruptions();
    options.should_stop = [] { return platform::interruption() != 0; };
    const RemovalResult result = remove_entries(archive_path, remove, options);
    const std::string shown = printable(archive_path);
    switch (result.status) {
        case RemovalStatus::Done:
            break;
        case RemovalStatus::CannotOpen:
            say("Error: cannot open Archive file " + shown + (result.problem.empty() ? "" : ": " + result.problem) +
                "\n");
            return 1;
        case RemovalStatus::NotSound:
            say("Error: " + shown + " is not a sound archive (at offset " + std::to_string(result.problem_offset) +
                ": " + result.problem + "); nothing was removed from it\n");
            return 1;
        case RemovalStatus::SolidRefused:
            say("Error: " + shown +
                " is a solid archive, whose entries each go on from the ones before; qev d does not remove "
                "entries from it\n");
            return 1;
        case RemovalStatus::NoMemory:
            say("No memory \n");
            say("Nothing was removed from " + shown + "\n");
            return 1;
        case RemovalStatus::CannotWrite:
            say("Error: cannot write the new archive " + printable(result.new_path) + ": " + result.problem +
                "; nothing was removed from " + shown + "\n");
            return 1;
        case RemovalStatus::Interrupted:
            say("Interrupted: nothing was removed from " + shown + "\n");
            return platform::interruption_status(platform::interruption());
    }
    if (settings.verbose) {
        for (const std::string& path : result.removed) std::fprintf(console_out(), "removed %s\n", printable(path).c_str());
    }
    if (result.dropped_unfinished) {
        say("WARNING: " + shown + " ended with an unfinished entry, which an add left; it was dropped\n");
    }
    if (result.archive_removed) {
        std::fprintf(console_out(), "Nothing is left in %s; it was removed\n", shown.c_str());
    }
    bool failed = false;
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        if (hits[i] != 0) continue;
        say("WARNING: no entry matches " + printable(patterns[i]) + "\n");
        failed = true;
    }
    std::fprintf(console_out(), "%zu removed (%" PRIu64 " from packs, %" PRIu64 " %s coded again); the archive keeps %" PRIu64
                 " entries.\n",
                 result.removed.size(), result.removed_members, result.recoded_packs,
                 result.recoded_packs == 1 ? "pack" : "packs", result.kept_entries);
    return failed ? 1 : 0;
}

}  // namespace qev
