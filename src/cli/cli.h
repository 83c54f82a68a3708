// The program's entry: banner and usage, the switches, the archive,
// destination and pattern strings of the three commands, the selection of the
// files to add with their stored names and directories, and the dispatch to
// the compression and extraction drivers.
//
// Parsing the command line and forming paths are plain functions of their
// inputs (the current directory is passed in) so that they can be checked on
// their own; run_qev ties them together and is the one place that writes
// messages to the console of the platform layer and chooses the exit status.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "compress/compressor.h"
#include "format/pack.h"
#include "engine/method_levels.h"
#include "platform/platform_file.h"

namespace qev {

// ---------------------------------------------------------------------------
// Run settings

// Fixed by the command line before the first file is touched.
struct RunSettings {
    char command = 0;                     // 'a', 'u', 'd', 'x', 'l' or 't'
    std::uint32_t ring_size = 1u << 24;   // -bN: 2^(22+N)
    std::uint32_t hash_bits = 26;         // -hN: 22+N
    std::int32_t method_level = 1;        // -mN: N/2
    std::uint32_t search_depth = 2;       // -mN: 1,1,2,2,4,4,8,8,16,16
    bool lazy_matching = false;           // -mN: odd N
    std::uint32_t hash_mask = (1u << 25) - 1;
    bool solid = false;                   // -s
    bool verbose = false;                 // -v
    bool to_standard_output = false;      // x -c: the selected files' bytes on standard output, no files written
    std::string archive_shown;            // how lines name the archive where it is not a file the user named ("-")
    // a to -: told after each complete entry how many of the archive's
    // first bytes are final, to send them on; false ends the run.
    std::function<bool(const std::string& archive, std::uint64_t complete)> stream_out;
    bool json = false;                    // l --json: the listing as one JSON document, nothing else on standard output
    bool recurse = false;                 // -r
    bool keep_directories = true;         // off only in the single-argument add form on a non-folder
    bool plain = false;                   // -p: entries without the integrity record
    bool links = false;                   // -l: accepted; links are stored as links anyway
    bool dereference = false;             // --dereference: links followed, stored as what they lead to
    bool packs = true;                    // off with --no-packs: every file, folder and link an entry of its own
    bool same_owner = true;               // x: off with --no-same-owner: owners are never set
    bool numeric_owner = false;           // x, l: --numeric-owner: owners by number only
    bool selinux = false;                 // x: --selinux: SELinux labels are restored too
    unsigned threads = 0;                 // -tN: coders at once; 0: one per core
    bool progress = true;                 // -n: no progress line
    bool strong = false;                  // -u: the strong parse
    bool switches_ended = false;          // "--" ended the switches: every file argument is a file
    std::vector<std::string> excludes;       // --exclude=PATTERN, in order
    std::vector<std::string> exclude_lists;  // --exclude-from=FILE: more patterns, one a line
    std::vector<std::string> name_lists;     // --files-from=FILE: more file arguments, one a line ("-": standard input)
    bool null_names = false;                 // --null: the lists' names end with a NUL, not a line end
    // What the lists held, once run_qev has read them: their patterns are
    // appended to excludes, their names here.
    std::vector<std::string> listed_names;
};

// 2^(hash_bits - method_level) - 1.
using qev::compute_hash_mask;

enum class SwitchSet {
    Add,      // r, s, v, m, b, h, p, l, t, n, u; --exclude, --exclude-from, --files-from, --null (a and u)
    Extract,  // v, t, n; --exclude, --exclude-from (x)
    Delete,   // v, n; --files-from, --null (d)
    List,     // --exclude, --exclude-from only (l and t, right after the command)
};

// Reads the switch arguments of args starting at index first: every argument
// that begins with '-', up to the first one that does not or up to and
// including "--" (settings.switches_ended is then set). Returns false on
// an unknown option (nothing is printed); otherwise next is the index of the
// first non-switch argument (args.size() when there is none).
bool scan_switches(const std::vector<std::string>& args, std::size_t first, SwitchSet set, RunSettings& settings,
                   std::size_t& next);

// The command line as a plain value: the command, its switches and what
// follows them.
struct CommandLine {
    enum class Problem {
        None,
        Usage,          // no command, or nothing to work on
        UnknownOption,  // a switch the command does not take
    };
    Problem problem = Problem::None;
    // "--help" or "--version" as the first argument: the rest is not read.
    enum class Query {
        None,
        Help,
        Version,
    };
    Query query = Query::None;
    RunSettings settings;               // command and switches
    std::vector<std::string> operands;  // every argument after the switches
};

// args[0] is the program, args[1] the command ("a", "u", "d", "x", "l" or
// "t": only its first character counts) or one of the queries "--help" and
// "--version". The add, update, delete and extract commands read switches;
// list and test read only -v and --json (list) and the exclusions, each
// only as one of the arguments right after the command.
CommandLine parse_command_line(const std::vector<std::string>& args);

// Reads a list of names: one a line (a line end is "\n"; empty lines are
// skipped), or with null_separated each ended by a NUL. "-" is standard
// input. False when the file cannot be read; problem then says why.
bool read_name_list(const std::string& path, bool null_separated, std::vector<std::string>& names,
                    std::string& problem);

// The search settings of the run's switches.
SearchSettings search_settings(const RunSettings& settings);

// ---------------------------------------------------------------------------
// Fixed texts

// The two banner lines, each with its line end.
std::string banner_text();
// The usage text: every line padded with blanks to its width, each with a
// line end.
std::string usage_text();
// The version line of --version, with its line end.
std::string version_text();

// A name or path as the console shows it: bytes below 0x20, 0x7f, a
// backslash, the control characters U+0080..U+009F and bytes that form no
// valid UTF-8 become C escapes (\a \b \t \n \v \f \r \\, otherwise \ooo with
// three octal digits); printable UTF-8 stays as it is. Every name the
// program prints goes through it; the files themselves keep their names.
std::string printable(const std::string& s);

// ---------------------------------------------------------------------------
// Path operations ('/' and '\' are both separators)

bool has_dot_or_star(const std::string& s);
bool ends_with_separator(const std::string& s);
// s up to and including its last separator; empty when it has none.
std::string directory_part(const std::string& s);
// The text after the last separator; all of s without one; empty when s ends
// with a separator.
using platform::base_name;
// The last component of s, one trailing separator ignored.
std::string folder_name(const std::string& s);
// 'A'..'Z' become 'a'..'z'; every other byte stays.
using platform::lower_case_ascii;
// Every separator directly followed by another one is removed.
using platform::normalise_separators;
// arg itself when it is absolute (a leading separator or a drive prefix),
// otherwise current_directory + '/' + arg.
std::string resolve_path(const std::string& current_directory, const std::string& arg);

// ---------------------------------------------------------------------------
// Path forming of the three commands

// The add command's archive and file arguments. args holds what follows the
// switches: the archive argument and the file arguments (at least one
// element).
struct AddPlan {
    std::string archive_path;             // normalised
    std::vector<std::string> file_args;   // before the file selection drops the first "-m" one
    bool keep_directories = true;
    bool single_argument = false;         // the single-argument form was used
    bool refused = false;                 // single-argument form on an existing non-folder
};
AddPlan plan_add(const std::vector<std::string>& args, const std::string& current_directory);

// The archive path of the extract command (normalised) and of the list
// command (as formed).
std::string extract_archive_path(const std::string& arg, const std::string& current_directory);
std::string list_archive_path(const std::string& arg, const std::string& current_directory);

// One destination argument of the extract command.
struct Destination {
    std::string formed;     // the destination path after the folder rule
    std::string directory;  // directory_part of formed: ends with a separator
    std::string pattern;    // lower-cased; "*" when formed ends with a separator
};
// A destination that has no '.' and no '*', or that names an existing
// directory, is a folder: everything goes into it.
Destination form_destination(const std::string& arg, const std::string& current_directory);

// ---------------------------------------------------------------------------
// File selection for the add command

struct FileSpec {
    std::string directory;  // may be empty: the current directory
    std::string pattern;    // never empty
};
// Splits one file argument into its search directory and name pattern.
FileSpec split_file_spec(const std::string& arg);

struct FileRecord {
    std::string path;        // search-directory prefix + entry name
    std::uint64_t size = 0;  // at selection time
    EntryType type = EntryType::File;  // links and folders only when links are kept
    // Regular files: the file's identity and names, and whether it has
    // holes (it takes fewer bytes of storage than its size).
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t links = 1;
    std::uint64_t allocated = ~0ull;  // unknown: taken for no holes
    bool sparse() const { return type == EntryType::File && allocated < size; }
};
using FileList = std::vector<FileRecord>;

// The file arguments as the selection takes them: a method switch typed
// after the archive is no file, so the first argument that begins with "-m"
// is left out, unless a "--" comes before it. The first "--" itself is left
// out too; what follows it is taken as it is. dropped, where given, is told
// the argument left out as a switch (empty when there was none).
std::vector<std::string> drop_method_argument(std::vector<std::string> args, std::string* dropped = nullptr);

// Told what the file selection could not take, or took no file from.
class SelectionObserver {
public:
    virtual ~SelectionObserver() = default;
    virtual void path_too_long(const std::string& path) = 0;
    virtual void cannot_read_folder(const std::string& path) = 0;
    // A file argument that names nothing, or a wildcard that matches nothing.
    virtual void nothing_matches(const std::string& arg) = 0;
    // A file argument that names a folder while recurse is off.
    virtual void folder_not_entered(const std::string& arg) = 0;
    // A FIFO, socket or device: skipped.
    virtual void not_regular(const std::string& path) = 0;
    // A name holding a '\': the archive would store it as a separator.
    virtual void backslash_in_name(const std::string& path) = 0;
    // The archive the run writes to: never selected (not a failure).
    virtual void archive_itself(const std::string& path) = 0;
    // A folder met again at path (through a link, or named by a later
    // argument), already walked as first_path: not walked again (not a
    // failure).
    virtual void entered_already(const std::string& path, const std::string& first_path) = 0;
    // A link, followed, that leads to nothing: a missing target or a loop
    // of links.
    virtual void leads_nowhere(const std::string& path) = 0;
};

// Appends the files every argument selects, in argument order and, within
// one, in listing order (recursing depth first into matching folders when
// recurse is on). An argument without '*' or '?' names one entry, which is
// looked up directly. The file archive_path names (the same file, by device
// and inode) is never selected, and no folder (by device and inode) is
// walked twice in one run. Returns false when something could not be
// taken (a path too long, a folder that cannot be read, a name holding a
// '\', a followed link that leads nowhere) or an argument selected nothing
// (it names nothing, a folder without recurse, or something that is not a
// regular file; a wildcard matches nothing); the observer, where there is
// one, has been told. FIFOs, sockets and devices that a wildcard or a walk
// meets are told of but are no failure. With links on, symbolic links are
// taken as links (not followed) and every folder a walk enters is listed
// as a folder, before what it holds (with all_folders off, only empty ones).
// A path (as the argument and the walk form it) that excludes match
// (path_excluded, format/wildcard.h) is left out without a word, and a
// folder so matched is not entered; an argument left out so is no failure.
bool collect_files(const std::vector<std::string>& args, bool recurse, FileList& list,
                   SelectionObserver* observer = nullptr, const std::string& archive_path = std::string(),
                   bool links = false, bool all_folders = true,
                   const std::vector<std::string>* excludes = nullptr);

// The text after the last '.' of the path, or the whole path without one.
std::string extension_key(const std::string& path);
// Stable sort by extension_key, bytes compared as unsigned values.
void sort_by_extension(FileList& list);

// The stored name: the text after the last separator of the path.
inline std::string stored_name(const std::string& path) { return base_name(path); }
// The stored dir: the path up to and including its last separator, without a
// drive prefix and without leading separators; empty when keep_directories
// is off.
std::string stored_dir(const std::string& path, bool keep_directories);

struct AddTotals {
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    bool run_ended = false;  // a failure ended the run before the last file
};

// Stores one file: input path, name, dir.
using StoreFunction = std::function<StoreResult(const std::string& path, const std::string& name,
                                               const std::string& dir, EntryType type)>;

// What one entry of an add stores: a file of its own, or a pack of small
// files, folders and links in their stored order.
struct StoreItem {
    FileToStore store;
    std::vector<std::size_t> records;  // indices in the file list: the file, or the pack's members
    std::uint64_t bytes = 0;           // what coding it reads: the file's size, the pack's stream as estimated
};

// Regular files below PACK_MEMBER_LIMIT (format/pack.h) go into packs;
// larger ones are entries of their own.
constexpr std::uint64_t PACK_FILE_LIMIT = PACK_MEMBER_LIMIT;
// A pack is closed once its stream reaches PACK_CLOSE_BYTES (format/pack.h).

// The entries an add writes for the list. Without packing, one per file, in
// the list's order (sorted by extension). With it, the files of at least
// PACK_FILE_LIMIT bytes first, each an entry of its own, in extension
// order; then packs of the other files and the links in the list's order
// (the order of the walk), which close at pack_bytes, and every folder at
// the end of the last one. A pack that would hold a single regular file and
// nothing else is that file's own entry.
std::vector<StoreItem> plan_store_items(const FileList& list, bool keep_directories, bool packing,
                                        std::uint64_t pack_bytes);

// Counts a file's result; false when it was not stored as it was.
bool count_stored(const FileRecord& record, const StoreResult& result, AddTotals& totals);

// Stores every record in order; stored files are counted. Stops at a result
// that ends the run. Returns false when some file could not be stored as it
// was.
bool store_files(const FileList& list, bool keep_directories, const StoreFunction& store, AddTotals& totals);

// ---------------------------------------------------------------------------
// Update and delete

// Told the files an add selected and the archive it adds to, with their
// stored paths formed as the add forms them; leaves in the list only what
// is to be stored. Returns -1 to go on, or the run's exit status when the
// run cannot (it has said why).
using ChangeFilter = std::function<int(FileList& list, const std::string& archive_path)>;

// The filter of qev u: a file is stored when the archive has no entry for
// its stored path, or when the last one stored for it records another type,
// size (files only), permission bits or modification time. The time is
// compared as finely as the record holds it: a member of a pack that
// carries no nanoseconds is compared in whole seconds. Unchanged files are
// counted in one line. An archive that is not sound, is solid, or holds
// entries without records is refused. settings is read when the filter
// runs.
ChangeFilter update_filter(const RunSettings& settings);

// Whether the file at path (not followed where type is a link) differs from
// what was stored for it: type, size (for a file), mode, time.
struct StoredState {
    EntryType type = EntryType::File;
    std::uint64_t size = 0;
    std::uint32_t mode = 0;
    std::int64_t mtime_seconds = 0;
    std::uint32_t mtime_nanoseconds = 0;
    bool whole_seconds = false;  // the record holds no finer time
};
bool changed_since_stored(const FileRecord& file, const StoredState& stored);

// qev d: removes the entries and pack members whose stored path the
// patterns match (path_excluded, with the folders of the path). Returns
// the exit status.
int run_delete(const std::vector<std::string>& operands, const RunSettings& settings,
               const std::string& current_directory);

// ---------------------------------------------------------------------------
// Progress

// The progress line's text for a terminal of the given width: bytes done
// of the total, speed (MiB and MiB/s), files done of total_files (left out
// when it is 0) and the time left (when it can be told), ", " between them.
// It holds at most columns - 1 characters, so that the cursor never wraps:
// the fields that do not fit are left out from the last, and the first is
// cut where even it does not.
std::string progress_text(std::uint64_t done, std::uint64_t total_bytes, double seconds, std::uint64_t files,
                          std::uint64_t total_files, unsigned columns);

// Writes text to a console stream (platform::console_out() or
// console_err()); every line the commands print goes through it. A progress
// line on the screen is cleared first, under the lock its redraws take, so
// that no redraw falls inside the text; it is drawn again at its next
// redraw, once the text's last line is ended. Standard output is flushed
// before standard error is written.
void console_write(std::FILE* stream, const std::string& text);

// A line on standard error, redrawn in place, while a run that has taken
// more than a second goes on: see progress_text. Shown only when wanted and
// standard error is a terminal; cut to the terminal's width, read again
// when it changes (80 columns where the terminal does not say); cleared
// before every console_write and when the object goes. One at a time.
class ProgressLine {
public:
    ProgressLine(bool wanted, std::uint64_t total_bytes, std::uint64_t total_files);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    std::atomic<std::uint64_t> bytes{0};
    std::atomic<std::uint64_t> files{0};

private:
    void run();

    std::uint64_t total_bytes_;
    std::uint64_t total_files_;
    std::condition_variable stop_;  // waited on under console_write's lock
    bool stopping_ = false;
    std::thread thread_;
};

// A quarter of the machine's memory: workers beyond one must fit in it.
std::uint64_t worker_memory_budget();

// The number of coders an add runs: what was asked (0: one per core), at
// most one per file, and as many as a quarter of the machine's memory
// holds; one in solid mode. why says what lowered it, if anything did.
unsigned compression_workers(const RunSettings& settings, std::size_t files, std::string& why);

// ---------------------------------------------------------------------------
// Entry

// Runs one command; returns the exit status: 0 when everything asked for
// worked (--help and --version included), 1 otherwise (usage errors and
// unknown options included).
int run_qev(int argc, char** argv);

}  // namespace qev
