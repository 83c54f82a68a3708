// Path operations and the forming of the archive, destination and pattern
// strings of the three commands.
#include "cli/cli.h"

namespace qev {

using platform::is_separator;

// ---------------------------------------------------------------------------
// Path operations

bool has_dot_or_star(const std::string& s) { return s.find_first_of(".*") != std::string::npos; }

bool ends_with_separator(const std::string& s) { return !s.empty() && is_separator(s.back()); }

std::string directory_part(const std::string& s) {
    const std::size_t last = s.find_last_of("/\\");
    return last == std::string::npos ? std::string() : s.substr(0, last + 1);
}

std::string folder_name(const std::string& s) {
    std::string trimmed = s;
    if (ends_with_separator(trimmed)) trimmed.pop_back();
    return base_name(trimmed);
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

}  // namespace qev
