// Command line and dispatch: banner, usage, switches, the archive and
// destination strings, and the three commands.

#include "cli/cli.h"

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "compress/compressor.h"
#include "extract/extract.h"
#include "platform/platform_file.h"

namespace qev {

namespace {

using platform::console_err;
using platform::console_out;
using platform::is_separator;

std::string padded(const char* text, std::size_t width) {
    std::string line = text;
    if (line.size() < width) line.append(width - line.size(), ' ');
    return line;
}

// The usage lines with the width each is padded to.
struct UsageLine {
    const char* text;
    std::size_t width;
};

const UsageLine USAGE_LINES[] = {
    {"Usage: QEV <command> -<switch ..> <archive> <files...> <in path> <out path>", 75},
    {"<Commands>", 79},
    {" a                 Add files to archive", 79},
    {" x                 Extract files in destination path", 79},
    {" l                 List archive", 79},
    {"", 79},
    {"<Switches>", 79},
    {" r                Recurse subdirectories", 79},
    {" s                Solid Mode ON", 79},
    {" v                Verbose Mode", 79},
    {" m                [default -m2] Compression Method (-m0 .. -m9)", 79},
    {" b                [default -b2] Ring   Buffer      (-b1 .. -b8)", 79},
    {" h                [default -h4] Search Buffer      (-h1 .. -h6)", 79},
    {"", 79},
    {"< Examples of compression >", 79},
    {"QEV a c:\\archive c:\\infile", 77},
    {"QEV a -m1 -b1     c:\\archive c:\\infile", 77},
    {"QEV a -r c:\\archive c:\\path", 77},
    {"QEV a -r archive path", 79},
    {"QEV a -r archive path\\*.bmp", 78},
    {"< Example of decompression >", 79},
    {"QEV x c:\\archive c:\\outpath", 77},
    {"QEV x archive outpath", 79},
    {"QEV x archive outpath*.bmp", 78},
    {"", 79},
    {"QEV l archive", 79},
    {"Switches are read only directly after the command letter.", 79},
};

void print_usage() {
    // The banner goes first even when both streams end up in one place.
    std::fflush(console_out());
    const std::string text = usage_text();
    std::fwrite(text.data(), 1, text.size(), console_err());
    std::fflush(console_err());
}

void print_unknown_option() { std::fprintf(console_out(), "\n Unknown option! \n"); }

void print_path_too_long(const std::string& path) {
    std::fprintf(console_out(), "Error: path too long: %s\n", path.c_str());
}

// Stores the accepted value of a switch letter that takes a digit; false
// when the digit is not accepted for that letter.
bool take_switch_digit(char letter, char digit, RunSettings& settings) {
    if (digit < '0' || digit > '9') return false;
    const int n = digit - '0';
    switch (letter) {
        case 'm': {
            static const std::uint32_t depth[10] = {1, 1, 2, 2, 4, 4, 8, 8, 16, 16};
            settings.search_depth = depth[n];
            settings.lazy_matching = (n % 2) == 1;
            settings.method_level = n / 2;
            return true;
        }
        case 'b':
            if (n < 1 || n > 8) return false;
            settings.ring_size = 1u << (22 + n);
            return true;
        case 'h':
            if (n < 1 || n > 6) return false;
            settings.hash_bits = static_cast<std::uint32_t>(22 + n);
            return true;
        default:
            return false;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Run settings and switches

std::uint32_t compute_hash_mask(std::uint32_t hash_bits, std::int32_t method_level) {
    const std::int32_t bits = static_cast<std::int32_t>(hash_bits) - method_level;
    if (bits <= 0) return 0;
    if (bits >= 32) return 0xFFFFFFFFu;
    return (1u << bits) - 1u;
}

bool scan_switches(const std::vector<std::string>& args, std::size_t first, SwitchSet set, RunSettings& settings,
                   std::size_t& next) {
    std::size_t index = first;
    // Switches are read only before the first argument that is not one.
    for (; index < args.size(); ++index) {
        const std::string& arg = args[index];
        if (arg.empty() || arg[0] != '-') break;
        std::size_t pos = 1;
        while (pos < arg.size()) {
            char letter = arg[pos];
            if (letter >= 'A' && letter <= 'Z') letter = static_cast<char>(letter - 'A' + 'a');
            ++pos;
            if (set == SwitchSet::Extract) {
                if (letter != 'v') return false;
                settings.verbose = true;
                continue;
            }
            if (letter == 'r') {
                settings.recurse = true;
            } else if (letter == 's') {
                settings.solid = true;
            } else if (letter == 'v') {
                settings.verbose = true;
            } else if (letter == 'm' || letter == 'b' || letter == 'h') {
                // An accepted digit ends the argument; anything else is read
                // as the next switch letter.
                if (pos < arg.size() && take_switch_digit(letter, arg[pos], settings)) break;
            } else {
                return false;
            }
        }
    }
    next = index;
    return true;
}

// ---------------------------------------------------------------------------
// Fixed texts

std::string banner_text() {
    std::string text = "QEV v.0.11 - file archiver, (c) 2026 the QEV developers\n";
    text += padded("TROV compression, Linux edition", 56);
    text += "\n";
    return text;
}

std::string usage_text() {
    std::string text;
    for (const UsageLine& line : USAGE_LINES) {
        text += padded(line.text, line.width);
        text += "\n";
    }
    return text;
}

// ---------------------------------------------------------------------------
// Path operations

bool has_dot_or_star(const std::string& s) { return s.find_first_of(".*") != std::string::npos; }

bool ends_with_separator(const std::string& s) { return !s.empty() && is_separator(s.back()); }

std::string directory_part(const std::string& s) {
    const std::size_t last = s.find_last_of("/\\");
    return last == std::string::npos ? std::string() : s.substr(0, last + 1);
}

std::string base_name(const std::string& s) {
    const std::size_t last = s.find_last_of("/\\");
    return last == std::string::npos ? s : s.substr(last + 1);
}

std::string folder_name(const std::string& s) {
    std::string trimmed = s;
    if (ends_with_separator(trimmed)) trimmed.pop_back();
    return base_name(trimmed);
}

std::string lower_case_ascii(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

std::string resolve_path(const std::string& current_directory, const std::string& arg) {
    if (platform::is_absolute(arg)) return arg;
    return current_directory + platform::SEPARATOR + arg;
}

// ---------------------------------------------------------------------------
// Path forming

AddPlan plan_add(const std::vector<std::string>& args, const std::string& current_directory) {
    AddPlan plan;
    if (args.empty()) return plan;
    const std::string& a = args[0];

    if (args.size() >= 2) {
        plan.archive_path = normalise_separators(resolve_path(current_directory, a));
        plan.file_args.assign(args.begin() + 1, args.end());
        return plan;
    }

    // Single-argument form: a folder (or a wildcard whose folder exists) is
    // stored into an archive named after that folder; anything else names a
    // new archive that receives the whole current directory.
    plan.single_argument = true;
    std::string archive = resolve_path(current_directory, a);
    if (has_dot_or_star(a)) archive = directory_part(archive);
    if (platform::is_directory(archive)) {
        if (!has_dot_or_star(a) && !ends_with_separator(a)) {
            plan.file_args.push_back(a + platform::SEPARATOR + "*");
        } else {
            plan.file_args.push_back(a);
        }
        archive = current_directory + platform::SEPARATOR + folder_name(archive) + ".qev";
    } else {
        archive = resolve_path(current_directory, a);
        plan.file_args.push_back(current_directory + platform::SEPARATOR + "*");
        plan.keep_directories = false;
        // Storing into a file that is not an archive would corrupt it.
        if (platform::entry_status(archive).type != platform::EntryType::Missing) plan.refused = true;
    }
    plan.archive_path = normalise_separators(archive);
    return plan;
}

std::string extract_archive_path(const std::string& arg, const std::string& current_directory) {
    return normalise_separators(resolve_path(current_directory, arg));
}

std::string list_archive_path(const std::string& arg, const std::string& current_directory) {
    return resolve_path(current_directory, arg);
}

Destination form_destination(const std::string& arg, const std::string& current_directory) {
    Destination d;
    d.formed = resolve_path(current_directory, arg);
    // A name without '.' or '*' is a folder, and so is any path that names
    // an existing directory ("../out", "/home/u/my.files").
    if (!ends_with_separator(arg) && (!has_dot_or_star(arg) || platform::is_directory(d.formed))) {
        d.formed += platform::SEPARATOR;
        d.formed += '*';
    }
    d.directory = directory_part(d.formed);
    d.pattern = base_name(d.formed);
    if (d.pattern.empty()) d.pattern = "*";
    d.pattern = lower_case_ascii(d.pattern);
    return d;
}

// ---------------------------------------------------------------------------
// Commands

namespace {

int run_add(const std::vector<std::string>& args, RunSettings& settings, const std::string& current_directory) {
    std::size_t next = 0;
    if (!scan_switches(args, 2, SwitchSet::Add, settings, next)) {
        print_unknown_option();
        return 1;
    }
    if (next >= args.size()) {
        print_usage();
        return 1;
    }
    const std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(next), args.end());
    const AddPlan plan = plan_add(rest, current_directory);
    if (plan.single_argument) {
        std::fprintf(console_out(), "Archiver not defined: Activate File-Folder control..  \n");
    }
    if (plan.refused) {
        std::fprintf(console_out(),
                     "Error: %s is an existing file, not a folder; to add files to an archive, name the archive "
                     "and the files\n",
                     plan.archive_path.c_str());
        return 1;
    }
    if (platform::path_too_long(plan.archive_path)) {
        print_path_too_long(plan.archive_path);
        return 1;
    }
    settings.keep_directories = plan.keep_directories;
    settings.hash_mask = compute_hash_mask(settings.hash_bits, settings.method_level);
    std::fprintf(console_out(), "Archive=%s \n", plan.archive_path.c_str());

    bool failed = false;
    try {
        FileList list;
        if (!collect_files(drop_method_argument(plan.file_args), settings.recurse, list)) failed = true;
        if (list.empty()) {
            std::fprintf(console_out(), "WARNING: No files");
            failed = true;
        }
        sort_by_extension(list);
        AddTotals totals;
        if (!list.empty()) {
            CompressOptions options;
            options.search.ring_size = settings.ring_size;
            options.search.hash_bits = settings.hash_bits;
            options.search.hash_mask = settings.hash_mask;
            options.search.search_depth = settings.search_depth;
            options.search.lazy_matching = settings.lazy_matching;
            options.solid = settings.solid;
            options.verbose = settings.verbose;
            options.recurse = settings.recurse;
            Compressor compressor(options, plan.archive_path);
            const StoreFunction store = [&compressor](const std::string& path, const std::string& name,
                                                      const std::string& dir) {
                return compressor.compress_file(path, name, dir);
            };
            if (!store_files(list, settings.keep_directories, store, totals)) failed = true;
            if (compressor.had_failure()) failed = true;
        }
        print_totals(totals);
    } catch (const ExitRequest&) {
        throw;
    } catch (const std::exception& e) {
        std::fprintf(console_out(), "error:%s\n", e.what());
        return 1;
    } catch (const std::string& s) {
        std::fprintf(console_out(), "%s\n", s.c_str());
        return 1;
    } catch (const char* s) {
        std::fprintf(console_out(), "%s\n", s != nullptr ? s : "");
        return 1;
    } catch (...) {
        std::fprintf(console_out(), "error\n");
        return 1;
    }
    return failed ? 1 : 0;
}

int run_extract(const std::vector<std::string>& args, RunSettings& settings, const std::string& current_directory) {
    std::size_t next = 0;
    if (!scan_switches(args, 2, SwitchSet::Extract, settings, next)) {
        print_unknown_option();
        return 1;
    }
    if (next >= args.size()) {
        print_usage();
        return 1;
    }
    const std::string archive_path = extract_archive_path(args[next], current_directory);
    if (platform::path_too_long(archive_path)) {
        print_path_too_long(archive_path);
        return 1;
    }
    std::vector<std::string> destinations(args.begin() + static_cast<std::ptrdiff_t>(next) + 1, args.end());
    if (destinations.empty()) destinations.push_back("*");

    bool failed = false;
    Extractor extractor(settings.verbose);
    for (const std::string& arg : destinations) {
        std::fprintf(console_out(), "ARGV=%s\n", arg.c_str());
        const Destination d = form_destination(arg, current_directory);
        if (platform::path_too_long(d.formed)) {
            print_path_too_long(d.formed);
            failed = true;
            continue;
        }
        std::fprintf(console_out(), "Archive=%s Wild=%s DEST=%s\n", archive_path.c_str(), d.pattern.c_str(),
                     d.directory.c_str());
        const ExtractResult result = extractor.extract_archive(archive_path, d.directory, d.pattern);
        if (result.failed) failed = true;
        // "*" selecting nothing is an empty archive: nothing to do, no failure.
        if (result.selected == 0 && d.pattern != "*") {
            std::fprintf(console_out(), "WARNING: no entry matches %s\n", d.pattern.c_str());
            failed = true;
        }
    }
    std::fprintf(console_out(), " OK! \n");
    return failed ? 1 : 0;
}

int run_list(const std::vector<std::string>& args, const std::string& current_directory) {
    // The list command reads no switches.
    if (args.size() < 3) {
        print_usage();
        return 1;
    }
    const std::string archive_path = list_archive_path(args[2], current_directory);
    if (platform::path_too_long(archive_path)) {
        print_path_too_long(archive_path);
        return 1;
    }
    std::vector<std::string> patterns(args.begin() + 3, args.end());
    if (patterns.empty()) patterns.push_back("*");

    std::fprintf(console_out(), "Archive List ... %s \n", archive_path.c_str());
    bool failed = false;
    int listed = 0;
    for (const std::string& pattern : patterns) {
        const ListResult result = list_archive(archive_path, pattern);
        listed += result.listed;
        if (result.failed) failed = true;
    }
    std::fprintf(console_out(), " n.%d files in archive %s  \n", listed, archive_path.c_str());
    return failed ? 1 : 0;
}

}  // namespace

int run_qev(int argc, char** argv) {
    const std::string banner = banner_text();
    std::fwrite(banner.data(), 1, banner.size(), console_out());

    RunSettings settings;
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) args.emplace_back(argv[i] != nullptr ? argv[i] : "");

    // Only the first character names the command ("add" is a).
    const char command = args.size() >= 2 && !args[1].empty() ? args[1][0] : '\0';
    if (command != 'a' && command != 'x' && command != 'l') {
        print_usage();
        return 1;
    }
    settings.command = command;
    const std::string current_directory = platform::current_directory();

    int status = 1;
    try {
        if (command == 'a') {
            status = run_add(args, settings, current_directory);
        } else if (command == 'x') {
            status = run_extract(args, settings, current_directory);
        } else {
            status = run_list(args, current_directory);
        }
    } catch (const ExitRequest& request) {
        status = request.status;
    } catch (const std::exception& e) {
        std::fprintf(console_out(), "error:%s\n", e.what());
        status = 1;
    }
    std::fflush(console_out());
    return status;
}

}  // namespace qev
