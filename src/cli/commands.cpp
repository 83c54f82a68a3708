// The three commands: each runs its driver and turns what the driver
// reports into the console lines and the exit status.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/cli.h"
#include "compress/compressor.h"
#include "compress/parallel_compressor.h"
#include "extract/extract.h"
#include "format/archive_reader.h"
#include "format/wildcard.h"
#include "platform/interruption.h"
#include "platform/platform_file.h"

namespace qev {

namespace {

using platform::console_err;
using platform::console_out;

std::string formatted(const char* format, std::va_list args) {
    std::va_list again;
    va_copy(again, args);
    char small[512];
    const int n = std::vsnprintf(small, sizeof small, format, args);
    std::string text;
    if (n > 0 && static_cast<std::size_t>(n) < sizeof small) {
        text.assign(small, static_cast<std::size_t>(n));
    } else if (n > 0) {
        text.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(&text[0], text.size(), format, again);
        text.resize(static_cast<std::size_t>(n));
    }
    va_end(again);
    return text;
}

// A line of what was asked for (the archive and destination lines,
// listings, per-file lines and totals): on standard output.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void say(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const std::string text = formatted(format, args);
    va_end(args);
    console_write(console_out(), text);
}

// A line that reports an error, a warning, a note, an interruption or a
// wait: on standard error, so that standard output holds only what was asked
// for (the banner, listings, per-file lines and totals). Names in the
// arguments are passed through printable().
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void diagnostic(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const std::string text = formatted(format, args);
    va_end(args);
    console_write(console_err(), text);
}

// The banner goes first even when both streams end up in one place.
void print_usage() { console_write(console_err(), usage_text()); }

void print_path_too_long(const std::string& path) { diagnostic("Error: path too long: %s\n", printable(path).c_str()); }

// reason says why, where more than "there is no such file" is known.
void print_cannot_open_archive(const std::string& archive_path, const std::string& reason = std::string()) {
    if (reason.empty()) {
        diagnostic("Error: cannot open Archive file %s\n", printable(archive_path).c_str());
    } else {
        diagnostic("Error: cannot open Archive file %s: %s\n", printable(archive_path).c_str(), reason.c_str());
    }
}

void print_no_memory() { diagnostic("No memory \n"); }

void print_waiting(const std::string& archive_path) {
    diagnostic("Waiting: the archive %s is in use by another run\n", printable(archive_path).c_str());
}

// Stops a driver at its next safe point once a signal asked for it.
bool interruption_requested() { return platform::interruption() != 0; }

int interrupted_status() { return platform::interruption_status(platform::interruption()); }

void print_damaged_archive(const std::string& archive_path, std::uint64_t offset, const std::string& problem) {
    diagnostic("Error: damaged archive %s at offset %" PRIu64 ": %s\n", printable(archive_path).c_str(), offset,
               problem.c_str());
}

void print_damaged_entry(const std::string& archive_path, const std::string& stored, const std::string& problem) {
    diagnostic("Error: damaged entry %s in archive %s: %s\n", printable(stored).c_str(),
               printable(archive_path).c_str(), problem.c_str());
}

// ---------------------------------------------------------------------------
// Add

class AddConsole : public CompressObserver, public SelectionObserver {
public:
    AddConsole(const std::string& archive_path, bool verbose) : archive_path_(archive_path), verbose_(verbose) {}

    void coding_started(const std::string& input_path) override {
        if (verbose_) say("compress.. %s ", printable(input_path).c_str());
    }
    void waiting_for(const std::string& archive_path) override { print_waiting(archive_path); }
    void archive_repaired(std::uint64_t offset, std::uint64_t dropped_bytes) override {
        diagnostic("WARNING: %s ended with an unfinished entry at offset %" PRIu64 "; its %" PRIu64
                   " bytes were dropped\n",
                   printable(archive_path_).c_str(), offset, dropped_bytes);
    }
    void path_too_long(const std::string& path) override { print_path_too_long(path); }
    void cannot_read_folder(const std::string& path) override {
        diagnostic("WARNING: cannot read folder %s\n", printable(path).c_str());
    }
    void nothing_matches(const std::string& arg) override {
        diagnostic("WARNING: nothing matches %s\n", printable(arg).c_str());
    }
    void folder_not_entered(const std::string& arg) override {
        diagnostic("WARNING: %s is a folder; without -r nothing in it is stored\n", printable(arg).c_str());
    }
    void not_regular(const std::string& path) override {
        diagnostic("WARNING: %s is not a regular file; skipped\n", printable(path).c_str());
    }
    void backslash_in_name(const std::string& path) override {
        diagnostic("Error: %s has a '\\' in its name, which the archive cannot store; skipped\n",
                   printable(path).c_str());
    }
    void archive_itself(const std::string& path) override {
        diagnostic("NOTE: %s is the archive itself; not stored\n", printable(path).c_str());
    }
    void entered_already(const std::string& path, const std::string& first_path) override {
        if (path == first_path) {
            diagnostic("WARNING: folder %s was entered already; not entered again\n", printable(path).c_str());
        } else {
            diagnostic("WARNING: folder %s leads to %s, which was entered already; not entered again\n",
                       printable(path).c_str(), printable(first_path).c_str());
        }
    }
    void leads_nowhere(const std::string& path) override {
        diagnostic("Error: %s is a symbolic link that leads nowhere; not stored\n", printable(path).c_str());
    }

    // The lines that follow a file's storing; size_line off leaves out the
    // sizes that -v shows.
    void stored(const std::string& input_path, const StoreResult& result, bool size_line = true) const {
        const std::string shown = printable(archive_path_);
        const char* archive = shown.c_str();
        switch (result.status) {
            case StoreStatus::Stored:
            case StoreStatus::Shrank:
            case StoreStatus::Grew:
            case StoreStatus::Changed:
                if (verbose_ && size_line) {
                    say(" %" PRId64 " to %" PRId64 " \n", static_cast<std::int64_t>(result.unpacked_size),
                        static_cast<std::int64_t>(result.entry_size));
                }
                if (result.status == StoreStatus::Shrank) {
                    diagnostic("WARNING: %s has fewer bytes than its size of %" PRIu64
                               "; the missing bytes are stored as zeros\n",
                               printable(input_path).c_str(), result.unpacked_size);
                }
                if (result.status == StoreStatus::Grew) {
                    diagnostic("WARNING: %s grew while it was stored; only its first %" PRIu64 " bytes are stored\n",
                               printable(input_path).c_str(), result.unpacked_size);
                }
                if (result.status == StoreStatus::Changed) {
                    diagnostic("WARNING: file %s changed as we read it; it is stored as read\n",
                               printable(input_path).c_str());
                }
                break;
            case StoreStatus::Unreadable:
                diagnostic("Error: cannot open Input file %s\n", printable(input_path).c_str());
                break;
            case StoreStatus::CannotCreateArchive:
                if (result.problem.empty()) {
                    diagnostic("Error: cannot open Output file %s\n", archive);
                } else {
                    diagnostic("Error: cannot open Output file %s: %s\n", archive, result.problem.c_str());
                }
                break;
            case StoreStatus::CannotReadArchive:
                print_cannot_open_archive(archive_path_, result.problem);
                break;
            case StoreStatus::SolidRefused:
                diagnostic("Not implemented in Solid mode ! ");
                break;
            case StoreStatus::NoMemory:
                print_no_memory();
                break;
            case StoreStatus::ArchiveNotSound:
                diagnostic("Error: %s is not a sound archive (at offset %" PRIu64 ": %s); nothing was added to it\n",
                           archive, result.problem_offset, result.problem.c_str());
                break;
            case StoreStatus::WriteFailed:
                if (!result.spill_file.empty()) {
                    diagnostic("Error: cannot write to the temporary file %s that holds the coded %s: %s\n",
                               printable(result.spill_file).c_str(), printable(input_path).c_str(),
                               result.problem.c_str());
                } else {
                    diagnostic("Error: cannot write to Archive file %s\n", archive);
                }
                break;
            case StoreStatus::Interrupted:
                if (result.archive_removed) {
                    diagnostic("Interrupted: %s was not stored; %s held no complete entry and was removed\n",
                               printable(input_path).c_str(), archive);
                } else {
                    diagnostic("Interrupted: %s was not stored; %s keeps the entries completed before it\n",
                               printable(input_path).c_str(), archive);
                }
                break;
        }
    }

private:
    const std::string& archive_path_;
    bool verbose_;
};

// A quarter of the machine's memory: coders beyond one must fit in it. The
// rest stays for the system and the page cache; the pages of a coder's
// table and ring that a file never touches cost nothing, so the real use is
// lower.
constexpr std::uint64_t MEMORY_BUDGET_SHARE = 4;

}  // namespace

std::uint64_t worker_memory_budget() { return platform::physical_memory() / MEMORY_BUDGET_SHARE; }

unsigned compression_workers(const RunSettings& settings, std::size_t files, std::string& why) {
    const unsigned asked = settings.threads == 0 ? platform::usable_cores() : settings.threads;
    if (settings.solid) {
        if (asked > 1) why = " (solid mode codes one file after another)";
        return 1;
    }
    unsigned workers = asked;
    if (files < workers) {
        workers = static_cast<unsigned>(std::max<std::size_t>(files, 1));
        why = " (" + std::to_string(files) + (files == 1 ? " file)" : " files)");
    }
    const std::uint64_t each = compression_worker_bytes(search_settings(settings));
    const std::uint64_t budget = worker_memory_budget();
    const std::uint64_t fit = budget == 0 ? workers : std::max<std::uint64_t>(budget / each, 1);
    if (fit < workers) {
        workers = static_cast<unsigned>(fit);
        why = " (each needs " + std::to_string(each >> 20) + " MiB of a budget of " + std::to_string(budget >> 20) +
              " MiB, a quarter of the memory)";
    }
    return workers;
}

namespace {

// Cores the coders may borrow to code large entries as pipelines: those
// asked for beyond the workers, as far as the memory budget covers the
// pipelines' buffers.
int pipeline_cores(const RunSettings& settings, unsigned workers) {
    const unsigned asked = settings.threads == 0 ? platform::usable_cores() : settings.threads;
    if (asked <= workers) return 0;
    std::uint64_t cores = asked - workers;
    const std::uint64_t budget = worker_memory_budget();
    const std::uint64_t used = workers * compression_worker_bytes(search_settings(settings));
    if (budget != 0) cores = std::min(cores, budget > used ? (budget - used) / EntryCoder::pipeline_bytes() : 0);
    return static_cast<int>(cores);
}

int run_add(const std::vector<std::string>& operands, RunSettings& settings, const std::string& current_directory,
            const ChangeFilter* unchanged = nullptr) {
    // With lists of names the archive is named, never formed from a folder.
    AddPlan plan = plan_add(operands.size() == 1 && !settings.name_lists.empty()
                                ? std::vector<std::string>{operands[0], std::string()}
                                : operands,
                            current_directory);
    if (operands.size() == 1 && !settings.name_lists.empty()) plan.file_args.clear();
    if (plan.single_argument) {
        say("Archiver not defined: Activate File-Folder control..  \n");
    }
    if (plan.refused) {
        diagnostic(
            "Error: %s is an existing file, not a folder; to add files to an archive, name the archive "
            "and the files\n",
            printable(plan.archive_path).c_str());
        return 1;
    }
    if (platform::path_too_long(plan.archive_path)) {
        print_path_too_long(plan.archive_path);
        return 1;
    }
    settings.keep_directories = plan.keep_directories;
    settings.hash_mask = compute_hash_mask(settings.hash_bits, settings.method_level);
    say("Archive=%s \n", settings.archive_shown.empty() ? printable(plan.archive_path).c_str() : settings.archive_shown.c_str());

    AddConsole console(plan.archive_path, settings.verbose);
    platform::catch_interruptions();
    bool failed = false;
    // After "--" every argument is a file; before it, a method switch typed
    // after the archive is not one. One that is also the name of a file
    // leaves that file out, which is said.
    std::string dropped;
    std::vector<std::string> file_args =
        settings.switches_ended ? plan.file_args : drop_method_argument(plan.file_args, &dropped);
    // Names from a list are taken as they are.
    file_args.insert(file_args.end(), settings.listed_names.begin(), settings.listed_names.end());
    if (!dropped.empty() &&
        platform::entry_status_in(std::string(), dropped, false).type != platform::EntryType::Missing) {
        diagnostic(
            "WARNING: %s is read as a misplaced method switch and is not stored; to store it, put -- before "
            "the file names\n",
            printable(dropped).c_str());
        failed = true;
    }
    FileList list;
    // Links are kept as links, and folders as folders, unless they are
    // followed, or the entries are to be the plain ones without a record.
    const bool keep_links = !settings.plain && !settings.dereference;
    if (!collect_files(file_args, settings.recurse, list, &console, plan.archive_path, keep_links, settings.packs,
                       &settings.excludes)) {
        failed = true;
    }
    if (interruption_requested()) {
        diagnostic("Interrupted: nothing was stored in %s\n", printable(plan.archive_path).c_str());
        return interrupted_status();
    }
    if (unchanged != nullptr && !list.empty()) {
        const int ended = (*unchanged)(list, plan.archive_path);
        if (ended >= 0) return ended;
        if (list.empty()) {
            say("0 bytes, 0 files.\n");
            return failed ? 1 : 0;
        }
    }
    if (list.empty()) {
        diagnostic("WARNING: No files");
        failed = true;
    }
    // Entries of their own are stored in extension order. Packs take their
    // members in the order the walk met them, which keeps a folder's files
    // together: on a real tree that makes the archive a fifth smaller than
    // the extension order does.
    const bool packing = !settings.plain && settings.packs;
    if (!packing) sort_by_extension(list);
    AddTotals totals;
    bool stream_broken = false;
    if (!list.empty()) {
        CompressOptions options;
        options.search = search_settings(settings);
        options.solid = settings.solid;
        options.recurse = settings.recurse;
        options.plain = settings.plain;
        options.should_stop = [&stream_broken] { return stream_broken || interruption_requested(); };
        const std::vector<StoreItem> items =
            plan_store_items(list, settings.keep_directories, packing,
                             PACK_CLOSE_BYTES);
        std::string why;
        const unsigned workers = compression_workers(settings, items.size(), why);
        if (settings.verbose) say("Workers: %u%s\n", workers, why.c_str());
        SpareCores spare(pipeline_cores(settings, workers));
        options.spare_cores = &spare;
        std::uint64_t total_bytes = 0;
        for (const StoreItem& item : items) total_bytes += item.bytes;
        ProgressLine progress(settings.progress, total_bytes, list.size());
        options.bytes_done = &progress.bytes;
        // The lines of one entry: a file's, or those of each member of a
        // pack. A single coder has told of a file's coding itself.
        const auto warn = [&](const std::string& path, const std::string& warning) {
            if (!warning.empty()) diagnostic("WARNING: %s is stored, but %s\n", printable(path).c_str(), warning.c_str());
        };
        const auto report_lines = [&](const StoreItem& item, const StoreResult& result, bool tell_coding) {
            if (item.store.type != EntryType::Pack) {
                warn(item.store.path, result.warning);
                if (tell_coding && result.coding_began) console.coding_started(item.store.path);
                console.stored(item.store.path, result);
                progress.files.fetch_add(1, std::memory_order_relaxed);
                if (!count_stored(list[item.records[0]], result, totals)) failed = true;
                return;
            }
            const bool complete = entry_written(result.status);
            for (std::size_t m = 0; m < item.records.size() && m < result.members.size(); ++m) {
                const FileRecord& record = list[item.records[m]];
                warn(record.path, result.members[m].warning);
                StoreResult member;
                member.status = result.members[m].status;
                // Members of a pack that was not written are not stored;
                // what ended the run is said once, below.
                if (!complete && member.status != StoreStatus::Unreadable) continue;
                if (entry_written(member.status) && settings.verbose) {
                    console.coding_started(record.path);
                    say(" %" PRIu64 " in %s \n", result.members[m].unpacked_size, result.pack_name.c_str());
                }
                member.unpacked_size = result.members[m].unpacked_size;
                console.stored(record.path, member, false);
                if (!count_stored(record, member, totals)) failed = true;
            }
            progress.files.fetch_add(item.records.size(), std::memory_order_relaxed);
            if (!complete && result.status != StoreStatus::Unreadable) {
                const std::string shown = list[item.records[0]].path + " and the files packed with it";
                console.stored(shown, result);
                if (!count_stored(list[item.records[0]], result, totals)) failed = true;
            }
        };
        // An archive that goes to a stream goes out entry by entry, each
        // once it is complete: the archive's first `complete` bytes are final.
        std::uint64_t complete = 0;
        const auto report = [&](const StoreItem& item, const StoreResult& result, bool tell_coding) {
            report_lines(item, result, tell_coding);
            if (!settings.stream_out || stream_broken || !entry_written(result.status)) return;
            complete += result.entry_size;
            if (!settings.stream_out(plan.archive_path, complete)) {
                stream_broken = true;
                totals.run_ended = true;
            }
        };
        if (workers == 1) {
            Compressor compressor(options, plan.archive_path);
            compressor.set_observer(&console);
            for (const StoreItem& item : items) {
                const StoreResult result = compressor.compress(item.store);
                report(item, result, false);
                if (totals.run_ended) break;
            }
        } else {
            std::vector<FileToStore> files;
            files.reserve(items.size());
            for (const StoreItem& item : items) files.push_back(item.store);
            ParallelCompressor compressor(options, plan.archive_path, workers);
            compressor.set_observer(&console);
            // Results come in entry order: the lines are those of one coder.
            compressor.store_all(files, [&](std::size_t i, const StoreResult& result) { report(items[i], result, true); });
        }
        if (totals.run_ended) return interruption_requested() && !stream_broken ? interrupted_status() : 1;
    }
    say("%llu bytes, %llu files.\n", static_cast<unsigned long long>(totals.bytes),
        static_cast<unsigned long long>(totals.files));
    return failed ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Extract

class ExtractConsole : public ExtractObserver {
public:
    ExtractConsole(const std::string& archive_path, bool verbose) : archive_path_(archive_path), verbose_(verbose) {}

    void damaged_archive(std::uint64_t offset, const std::string& problem) override {
        print_damaged_archive(archive_path_, offset, problem);
    }
    void not_an_archive(const std::string& problem) override {
        diagnostic("Error: %s is not a QEV archive (at its start: %s)\n", printable(archive_path_).c_str(),
                   problem.c_str());
    }
    void damaged_entry(const std::string& stored, const std::string& problem) override {
        print_damaged_entry(archive_path_, stored, problem);
    }
    void leads_outside(const std::string& stored) override {
        diagnostic("WARNING: entry %s leads outside the destination; it is restored under it\n",
                   printable(stored).c_str());
    }
    void path_too_long(const std::string& path) override { print_path_too_long(path); }
    void cannot_create(const std::string& output_path) override {
        diagnostic("Error: cannot open Output file %s\n", printable(output_path).c_str());
    }
    void cannot_write(const std::string& output_path) override {
        diagnostic("Error: cannot write Output file %s\n", printable(output_path).c_str());
    }
    void restoring(const std::string& output_path) override {
        if (verbose_) say(" %s \n", printable(output_path).c_str());
    }
    void meets_link(const std::string& stored, const std::string& link_path) override {
        diagnostic("Error: entry %s meets the symbolic link %s; it is not restored\n", printable(stored).c_str(),
                   printable(link_path).c_str());
    }
    void would_replace_archive(const std::string& stored, const std::string& output_path) override {
        diagnostic("Error: entry %s would replace the archive %s being read; it is not restored\n",
                   printable(stored).c_str(), printable(output_path).c_str());
    }
    void waiting_for(const std::string& archive_path) override { print_waiting(archive_path); }
    void metadata_not_restored(const std::string& path, const std::string& what) override {
        diagnostic("WARNING: %s is restored without %s\n", printable(path).c_str(), printable(what).c_str());
    }
    void cannot_make_device(const std::string& output_path) override {
        diagnostic("WARNING: %s is a device, which only root can make; it is not restored\n",
                   printable(output_path).c_str());
    }
    void hard_link_refused(const std::string& output_path, const std::string& target, const std::string& why) override {
        diagnostic("Error: the hard link %s to %s is not made: %s\n", printable(output_path).c_str(),
                   printable(target).c_str(), why.c_str());
    }

private:
    const std::string& archive_path_;
    bool verbose_;
};

// The line and status of an extraction or test that could not go on.
int ended_early(const ExtractResult& result, const std::string& archive_path, const char* what) {
    switch (result.status) {
        case ExtractStatus::CannotOpenArchive:
            // The open fails when a wait for another run's lock is
            // interrupted.
            if (interruption_requested()) {
                diagnostic("Interrupted: %s %s stopped\n", what, printable(archive_path).c_str());
                return interrupted_status();
            }
            print_cannot_open_archive(archive_path, ArchiveReader::unreadable_reason(archive_path));
            return 1;
        case ExtractStatus::NoMemory:
            print_no_memory();
            return 1;
        case ExtractStatus::Interrupted:
            if (result.unfinished.empty()) {
                diagnostic("Interrupted: %s %s stopped\n", what, printable(archive_path).c_str());
            } else {
                diagnostic("Interrupted: %s was not restored; the files restored before it are complete\n",
                           printable(result.unfinished).c_str());
            }
            return interrupted_status();
        case ExtractStatus::Done:
            break;
    }
    return 0;
}

// What one pass of x, l or t leaves: the status of a run that cannot go on
// (the pass could not, or the file is no archive), or -1 to go on. A
// failure, or a pattern other than "*" that selected nothing, makes failed
// true ("*" selecting nothing is an empty archive: no failure).
int after_pass(const ExtractResult& result, const std::string& archive_path, const std::string& pattern,
               const char* what, bool& failed) {
    if (result.status != ExtractStatus::Done) return ended_early(result, archive_path, what);
    if (result.not_an_archive) return 1;
    if (result.failed) failed = true;
    if (result.selected == 0 && pattern != "*") {
        diagnostic("WARNING: no entry matches %s\n", printable(pattern).c_str());
        failed = true;
    }
    return -1;
}

// A sum over an archive's sound entries (0 when it cannot be read).
std::uint64_t sum_over_entries(const std::string& archive_path,
                               const std::function<std::uint64_t(const ArchiveReader::Entry&)>& value) {
    ArchiveReader archive;
    std::uint64_t total = 0;
    if (!archive.open_unlocked(archive_path)) return 0;
    ArchiveReader::Entry entry;
    while (archive.next(entry)) {
        if (entry.check == HeaderCheck::Ok) total += value(entry);
    }
    return total;
}

// The bytes an archive's sound entries hold, for the progress line.
std::uint64_t restorable_bytes(const std::string& archive_path) {
    return sum_over_entries(archive_path, [](const ArchiveReader::Entry& e) { return e.header.unpacked_size; });
}

// The files an extraction restores, in the order it restores them.
class CollectingConsole : public ExtractConsole {
public:
    explicit CollectingConsole(const std::string& archive_path) : ExtractConsole(archive_path, false) {}
    void restoring(const std::string& output_path) override { restored.push_back(output_path); }
    std::vector<std::string> restored;
};

// x -c: the selected entries are restored into a private folder, each
// checked whole before any byte of it goes out, and their files' bytes then
// go to data_fd in archive order. Operands after the archive are patterns.
int run_extract_to_stream(const std::vector<std::string>& operands, const RunSettings& settings,
                          const std::string& current_directory, int data_fd) {
    const std::string archive_path = extract_archive_path(operands[0], current_directory);
    std::vector<std::string> patterns(operands.begin() + 1, operands.end());
    if (patterns.empty()) patterns.push_back("*");
    std::string folder;
    if (!platform::make_private_folder(folder)) {
        diagnostic("Error: cannot make a temporary folder for %s: %s\n", printable(archive_path).c_str(),
                   platform::error_text(errno).c_str());
        return 1;
    }
    struct Remove {
        const std::string& folder;
        ~Remove() {
            std::error_code ignored;
            std::filesystem::remove_all(folder, ignored);
        }
    } remove{folder};
    bool failed = false;
    CollectingConsole console(archive_path);
    Extractor extractor(console);
    RestorePolicy policy;  // only the bytes are wanted
    extractor.set_restore_policy(policy);
    extractor.set_exclusions(settings.excludes);
    platform::catch_interruptions();
    extractor.set_stop_check(interruption_requested);
    extractor.set_workers(settings.threads == 0 ? platform::usable_cores() : settings.threads, worker_memory_budget());
    for (const std::string& pattern : patterns) {
        const ExtractResult result = extractor.extract_archive(archive_path, folder + "/", lower_case_ascii(pattern));
        const int ended = after_pass(result, archive_path, pattern, "extraction from", failed);
        if (ended >= 0) return ended;
        for (const std::string& path : console.restored) {
            const platform::EntryStatus status = platform::entry_status_in(std::string(), path, false);
            if (status.type != platform::EntryType::Regular) continue;
            const int error = platform::copy_file_to_descriptor(path, 0, data_fd, ~0ull);
            if (error != 0) {
                diagnostic("Error: cannot write to standard output: %s\n", platform::error_text(error).c_str());
                return 1;
            }
            std::error_code ignored;
            std::filesystem::remove(path, ignored);
        }
        console.restored.clear();
    }
    if (failed) return 1;
    say(" OK! \n");
    return 0;
}

int run_extract(const std::vector<std::string>& operands, const RunSettings& settings,
                const std::string& current_directory) {
    const std::string archive_path = extract_archive_path(operands[0], current_directory);
    if (platform::path_too_long(archive_path)) {
        print_path_too_long(archive_path);
        return 1;
    }
    std::vector<std::string> destinations(operands.begin() + 1, operands.end());
    if (destinations.empty()) destinations.push_back("*");

    bool failed = false;
    ExtractConsole console(archive_path, settings.verbose);
    Extractor extractor(console);
    RestorePolicy policy = RestorePolicy::for_this_process();
    policy.owners = policy.owners && settings.same_owner;
    policy.numeric = settings.numeric_owner;
    policy.selinux = settings.selinux;
    extractor.set_restore_policy(policy);
    extractor.set_exclusions(settings.excludes);
    platform::catch_interruptions();
    extractor.set_stop_check(interruption_requested);
    extractor.set_workers(settings.threads == 0 ? platform::usable_cores() : settings.threads, worker_memory_budget());
    ProgressLine progress(settings.progress, restorable_bytes(archive_path), 0);
    extractor.set_progress(&progress.bytes);
    for (const std::string& arg : destinations) {
        say("ARGV=%s\n", printable(arg).c_str());
        const Destination d = form_destination(arg, current_directory);
        if (platform::path_too_long(d.formed)) {
            print_path_too_long(d.formed);
            failed = true;
            continue;
        }
        say("Archive=%s Wild=%s DEST=%s\n", printable(archive_path).c_str(), printable(d.pattern).c_str(),
            printable(d.directory).c_str());
        const ExtractResult result = extractor.extract_archive(archive_path, d.directory, d.pattern);
        const int ended = after_pass(result, archive_path, d.pattern, "extraction from", failed);
        if (ended >= 0) return ended;
    }
    // The closing line says that everything asked for was restored; a run
    // that failed anywhere ends with its error lines instead.
    if (failed) return 1;
    say(" OK! \n");
    return 0;
}

// ---------------------------------------------------------------------------
// List

// "-rwxr-xr-x"-style type and permission bits.
std::string mode_text(const ListedEntry& entry) {
    if (!entry.has_record) return "-";
    const IntegrityRecord& r = entry.record;
    const char* kinds = "-ld-hpcb";  // by type: file, link, folder, pack, hard link, FIFO, devices
    const std::size_t kind = static_cast<std::size_t>(r.type);
    std::string text(1, kind < 8 ? kinds[kind] : '?');
    const char* letters = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i) text.push_back((r.mode >> (8 - i)) & 1u ? letters[i] : '-');
    // Set-user-ID, set-group-ID and sticky bits in the execute places.
    const auto special = [&](std::size_t at, std::uint32_t bit, char with_x, char without_x) {
        if ((r.mode & bit) != 0) text[at] = text[at] == 'x' ? with_x : without_x;
    };
    special(3, 04000, 's', 'S');
    special(6, 02000, 's', 'S');
    special(9, 01000, 't', 'T');
    return text;
}

std::string time_text(const ListedEntry& entry) {
    if (!entry.has_record) return "-";
    const std::time_t t = static_cast<std::time_t>(entry.record.mtime_seconds);
    std::tm local{};
    char text[32];
    if (localtime_r(&t, &local) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) {
        return "?";
    }
    return text;
}

// How the entry was coded: LZ or channel order, and the filters its
// blocks may have passed through.
std::string coding_text(const FileSettings& s) {
    std::string text = s.lz_mode != 0 ? "LZ" : "channels/" + std::to_string(s.stride);
    if (s.media_mode == 1) {
        text += " delta " + std::to_string(s.channels) + "x" + std::to_string(s.sample_bytes * 8);
    } else {
        text += s.lz_mode != 0 ? " text/x86" : " text";
    }
    return text;
}

void print_ratio_line(std::uint64_t original, std::uint64_t stored, const std::string& rest) {
    const double ratio = original == 0 ? 0.0 : 100.0 * static_cast<double>(stored) / static_cast<double>(original);
    say("%12" PRIu64 " %12" PRIu64 " %6.1f%% %s\n", original, stored, ratio, rest.c_str());
}

// The listing's lines: damage as extraction reports it, and a line for
// every selected entry and member of a pack. A member's stored bytes are
// its pack's; they are counted once, with the pack.
// The owner and group as names, numbers where there is no name (or
// numbers were asked for).
std::string owner_text(const ListedEntry& entry, bool numeric) {
    if (!entry.has_owner) return "-";
    const std::string user = !numeric && !entry.uname.empty() ? entry.uname : std::to_string(entry.uid);
    const std::string group = !numeric && !entry.gname.empty() ? entry.gname : std::to_string(entry.gid);
    return user + "/" + group;
}

class ListConsole : public ExtractConsole {
public:
    ListConsole(const std::string& archive_path, bool verbose, bool json, bool numeric)
        : ExtractConsole(archive_path, false), verbose_(verbose), json_(json), numeric_(numeric) {}

    void listed(const ListedEntry& entry) override {
        ++listed_;
        if (json_) {
            // JSON Lines: one object a line, as the entries come.
            const std::string line = json_entry(entry).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
            say("%s\n", line.c_str());
            return;
        }
        if (!verbose_) {
            say("%s \n", printable(entry.path).c_str());
            return;
        }
        total_original += entry.unpacked_size;
        total_stored += entry.stored_size;
        std::string rest = time_text(entry);
        rest.resize(std::max<std::size_t>(rest.size(), 19), ' ');
        rest += " " + mode_text(entry) + " ";
        std::string owner = printable(owner_text(entry, numeric_));
        owner.resize(std::max<std::size_t>(owner.size(), 17), ' ');
        rest += owner + " " + std::string(entry.has_record ? "xxh3 " : "-    ") + " ";
        char coding[40];
        std::snprintf(coding, sizeof coding, "%-18s ", entry.member ? "in pack" : coding_text(entry.settings).c_str());
        std::string shown = printable(entry.path);
        if (!entry.target.empty()) shown += " link to " + printable(entry.target);
        if (entry.sparse) shown += " (sparse: " + std::to_string(entry.data_bytes) + " bytes of data)";
        if (entry.member) {
            say("%12" PRIu64 " %12s %7s %s%s%s\n", entry.unpacked_size, "-", "-", rest.c_str(), coding,
                shown.c_str());
        } else {
            print_ratio_line(entry.unpacked_size, entry.stored_size, rest + coding + shown);
        }
    }
    void pack_stored(std::uint64_t bytes) { total_stored += bytes; }

    std::uint64_t listed_ = 0;
    std::uint64_t total_original = 0;
    std::uint64_t total_stored = 0;

private:
    // A name as JSON holds it: as it is when it is valid UTF-8, otherwise
    // in the escaped form the console shows, marked as such.
    static void put_path(nlohmann::json& out, const std::string& path) {
        const std::string shown = printable(path);
        bool plain_utf8 = true;
        try {
            (void)nlohmann::json(path).dump();
        } catch (const nlohmann::json::exception&) {
            plain_utf8 = false;
        }
        out["path"] = plain_utf8 ? path : shown;
        if (!plain_utf8) out["path_escaped"] = true;
    }
    static nlohmann::json json_entry(const ListedEntry& entry) {
        nlohmann::json out;
        put_path(out, entry.path);
        const EntryType type = entry.has_record ? entry.record.type : EntryType::File;
        static const char* const kinds[] = {"file", "link", "folder", "pack", "hard link", "fifo", "char device",
                                            "block device"};
        const std::size_t kind = static_cast<std::size_t>(type);
        out["type"] = kind < 8 ? kinds[kind] : "file";
        out["size"] = entry.unpacked_size;
        out["stored"] = entry.member ? nlohmann::json(nullptr) : nlohmann::json(entry.stored_size);
        out["mtime"] = entry.has_record ? nlohmann::json(entry.record.mtime_seconds) : nlohmann::json(nullptr);
        out["mtime_ns"] = entry.has_record ? nlohmann::json(entry.record.mtime_nanoseconds) : nlohmann::json(nullptr);
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(entry.record.mode & 07777));
        out["mode"] = entry.has_record ? nlohmann::json(mode) : nlohmann::json(nullptr);
        out["uid"] = entry.has_owner ? nlohmann::json(entry.uid) : nlohmann::json(nullptr);
        out["gid"] = entry.has_owner ? nlohmann::json(entry.gid) : nlohmann::json(nullptr);
        out["uname"] = entry.has_owner && !entry.uname.empty() ? nlohmann::json(entry.uname) : nlohmann::json(nullptr);
        out["gname"] = entry.has_owner && !entry.gname.empty() ? nlohmann::json(entry.gname) : nlohmann::json(nullptr);
        if (!entry.target.empty()) out["hard_link_to"] = entry.target;
        if (entry.sparse) out["sparse_data"] = entry.data_bytes;
        // An entry of its own carries the checksum of its content; a
        // member is checked with its pack.
        char checksum[24];
        std::snprintf(checksum, sizeof checksum, "%016" PRIx64, entry.record.content_checksum);
        out["checksum"] = entry.has_record && !entry.member ? nlohmann::json(checksum) : nlohmann::json(nullptr);
        out["offset"] = entry.offset;
        out["pack"] = entry.member ? nlohmann::json(entry.pack) : nlohmann::json(nullptr);
        out["coding"] = entry.member ? "in pack" : coding_text(entry.settings);
        return out;
    }

    bool verbose_;
    bool json_;
    bool numeric_;
};

// The stored bytes of an archive's packs, for the listing's total.
std::uint64_t pack_bytes(const std::string& archive_path) {
    return sum_over_entries(archive_path, [](const ArchiveReader::Entry& e) {
        return e.has_record && e.record.type == EntryType::Pack ? e.header.entry_size : 0;
    });
}

int run_list(const std::vector<std::string>& operands, const std::string& current_directory, bool verbose,
             bool json, bool numeric, const std::vector<std::string>& excludes) {
    const std::string archive_path = list_archive_path(operands[0], current_directory);
    if (platform::path_too_long(archive_path)) {
        print_path_too_long(archive_path);
        return 1;
    }
    std::vector<std::string> patterns(operands.begin() + 1, operands.end());
    if (patterns.empty()) patterns.push_back("*");

    if (!json) say("Archive List ... %s \n", printable(archive_path).c_str());
    if (verbose) {
        say("%12s %12s %7s %-19s %-10s %-17s %-5s %-18s %s\n", "size", "stored", "ratio", "modified", "mode", "owner",
            "check", "coding", "path");
    }
    bool failed = false;
    ListConsole console(archive_path, verbose, json, numeric);
    Extractor extractor(console);
    extractor.set_listing(true);
    extractor.set_exclusions(excludes);
    extractor.set_workers(platform::usable_cores(), worker_memory_budget());
    platform::catch_interruptions();
    extractor.set_stop_check(interruption_requested);
    for (const std::string& pattern : patterns) {
        const ExtractResult result = extractor.extract_archive(archive_path, std::string(), pattern);
        const int ended = after_pass(result, archive_path, pattern, "the listing of", failed);
        if (ended >= 0) return ended;
    }
    if (verbose) {
        console.pack_stored(pack_bytes(archive_path) * patterns.size());
        print_ratio_line(console.total_original, console.total_stored, "total");
    }
    if (json) return failed ? 1 : 0;
    say(" n.%d files in archive %s  \n", static_cast<int>(console.listed_), printable(archive_path).c_str());
    return failed ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Test

int run_test(const std::vector<std::string>& operands, const std::string& current_directory,
             const std::vector<std::string>& excludes) {
    const std::string archive_path = extract_archive_path(operands[0], current_directory);
    if (platform::path_too_long(archive_path)) {
        print_path_too_long(archive_path);
        return 1;
    }
    std::vector<std::string> patterns(operands.begin() + 1, operands.end());
    if (patterns.empty()) patterns.push_back("*");

    say("Archive Test ... %s \n", printable(archive_path).c_str());
    ExtractConsole console(archive_path, false);
    Extractor extractor(console);
    extractor.set_writing(false);
    extractor.set_exclusions(excludes);
    extractor.set_workers(platform::usable_cores(), worker_memory_budget());
    ProgressLine progress(true, restorable_bytes(archive_path), 0);
    extractor.set_progress(&progress.bytes);
    platform::catch_interruptions();
    extractor.set_stop_check(interruption_requested);
    bool failed = false;
    ExtractResult total;
    for (const std::string& arg : patterns) {
        // Patterns select base names in any case, as for extraction.
        const std::string pattern = lower_case_ascii(arg);
        const ExtractResult result = extractor.extract_archive(archive_path, std::string(), pattern);
        const int ended = after_pass(result, archive_path, pattern, "the test of", failed);
        if (ended >= 0) return ended;
        total.verified += result.verified;
        total.damaged += result.damaged;
        total.unverified += result.unverified;
    }
    say(" %" PRIu64 " entries tested: %" PRIu64 " ok, %" PRIu64 " damaged, %" PRIu64 " without checksum\n",
        total.verified + total.damaged + total.unverified, total.verified, total.damaged, total.unverified);
    return failed || total.damaged != 0 ? 1 : 0;
}

// The lists that --exclude-from and --files-from name, read into the
// settings; false when one cannot be read (said).
bool read_lists(RunSettings& settings) {
    std::string problem;
    for (const std::string& list : settings.exclude_lists) {
        if (!read_name_list(list, settings.null_names, settings.excludes, problem)) {
            diagnostic("Error: cannot read the list of exclusions %s: %s\n", printable(list).c_str(), problem.c_str());
            return false;
        }
    }
    for (const std::string& list : settings.name_lists) {
        if (!read_name_list(list, settings.null_names, settings.listed_names, problem)) {
            diagnostic("Error: cannot read the list of names %s: %s\n", printable(list).c_str(), problem.c_str());
            return false;
        }
    }
    return true;
}

// An update stores entries that a later update can compare: it refuses
// the switches that would make others.
bool refuse_update(const RunSettings& settings) {
    if (settings.plain) {
        diagnostic("Error: qev u stores entries with their records, which -p leaves out; use qev a -p instead\n");
        return true;
    }
    if (settings.solid) {
        diagnostic("Error: qev u cannot add to an archive in solid mode; a solid archive takes no more entries\n");
        return true;
    }
    return false;
}

}  // namespace

int run_qev(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) args.emplace_back(argv[i] != nullptr ? argv[i] : "");
    CommandLine line = parse_command_line(args);
    // The version line stands alone; help is the banner and the usage text,
    // both on standard output.
    std::string text = line.query == CommandLine::Query::Version ? version_text() : banner_text();
    if (line.query == CommandLine::Query::Help) text += usage_text();
    // A listing for machines is the JSON document alone.
    if (line.settings.json && line.problem == CommandLine::Problem::None) text.clear();
    // Where standard output carries data (an add to -, x -c), every line
    // goes to standard error.
    const char command = line.settings.command;
    const bool archive_is_stream = line.problem == CommandLine::Problem::None && !line.operands.empty() &&
                                   line.operands[0] == "-";
    int data_fd = -1;
    if ((command == 'a' && archive_is_stream) ||
        (command == 'x' && line.settings.to_standard_output && line.problem == CommandLine::Problem::None)) {
        data_fd = platform::take_standard_output();
        platform::set_console(console_err(), console_err());
    }
    std::fwrite(text.data(), 1, text.size(), console_out());
    if (line.query != CommandLine::Query::None) {
        // Asked-for output that could not be written (a full disk) is a
        // failure.
        return std::fflush(console_out()) == 0 && !std::ferror(console_out()) ? 0 : 1;
    }
    // Without a command the current directory is never read.
    const std::string current_directory =
        line.settings.command != 0 ? platform::current_directory() : std::string();
    int status = 1;
    // An archive on a stream lives in a private folder while the command
    // runs: the one an add writes, or what standard input held.
    std::string stream_folder;
    struct RemoveFolder {
        const std::string& folder;
        ~RemoveFolder() {
            std::error_code ignored;
            if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
        }
    } remove_stream_folder{stream_folder};
    if (archive_is_stream && (command == 'u' || command == 'd')) {
        diagnostic("Error: qev %c needs an archive file; - (a stream) cannot be updated or deleted from\n", command);
        return 1;
    }
    if (archive_is_stream && (command == 'a' || !platform::standard_input_is_regular())) {
        if (!platform::make_private_folder(stream_folder)) {
            diagnostic("Error: cannot make a temporary folder for the archive on a stream: %s\n",
                       platform::error_text(errno).c_str());
            return 1;
        }
        const std::string path = stream_folder + (command == 'a' ? "/standard-output.qev" : "/standard-input.qev");
        if (command != 'a') {
            const int error = platform::copy_standard_input_to(path);
            if (error != 0) {
                diagnostic("Error: cannot read the archive from standard input: %s\n", platform::error_text(error).c_str());
                return 1;
            }
        }
        line.operands[0] = path;
        line.settings.archive_shown = "-";
        std::uint64_t sent = 0;
        line.settings.stream_out = [data_fd, sent](const std::string& archive, std::uint64_t complete) mutable {
            const int error = platform::copy_file_to_descriptor(archive, sent, data_fd, complete);
            if (error != 0) {
                diagnostic("Error: cannot write the archive to standard output: %s\n", platform::error_text(error).c_str());
                return false;
            }
            sent = complete;
            return true;
        };
    } else if (archive_is_stream) {
        // A file given as standard input is read where it is.
        line.operands[0] = "/proc/self/fd/0";
    }
    switch (line.problem) {
        case CommandLine::Problem::Usage:
            print_usage();
            break;
        case CommandLine::Problem::UnknownOption:
            diagnostic("\n Unknown option! \n");
            break;
        case CommandLine::Problem::None:
            try {
                if (!read_lists(line.settings)) {
                    status = 1;
                } else if (line.settings.command == 'a') {
                    status = run_add(line.operands, line.settings, current_directory);
                } else if (line.settings.command == 'u') {
                    const ChangeFilter unchanged = update_filter(line.settings);
                    status = refuse_update(line.settings) ? 1
                                                          : run_add(line.operands, line.settings, current_directory,
                                                                    &unchanged);
                } else if (line.settings.command == 'd') {
                    status = run_delete(line.operands, line.settings, current_directory);
                } else if (line.settings.command == 'x' && line.settings.to_standard_output) {
                    status = run_extract_to_stream(line.operands, line.settings, current_directory, data_fd);
                } else if (line.settings.command == 'x') {
                    status = run_extract(line.operands, line.settings, current_directory);
                } else if (line.settings.command == 'l') {
                    status = run_list(line.operands, current_directory, line.settings.verbose, line.settings.json,
                                      line.settings.numeric_owner, line.settings.excludes);
                } else {
                    status = run_test(line.operands, current_directory, line.settings.excludes);
                }
            } catch (const std::exception& e) {
                diagnostic("error:%s\n", printable(e.what()).c_str());
                status = 1;
            }
            break;
    }
    // Lines that never reached standard output (a full disk, a closed
    // file) make the run a failure: what it printed is lost.
    if (std::fflush(console_out()) != 0 || std::ferror(console_out())) {
        std::fprintf(console_err(), "Error: cannot write to standard output\n");
        if (status == 0) status = 1;
    }
    return status;
}

}  // namespace qev
