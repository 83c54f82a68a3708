// The command line as a value: the command letter, the switches that follow
// it and the operands after them.
#include "cli/cli.h"

#include <algorithm>

namespace qev {

namespace {

// Stores the accepted value of a switch letter that takes a digit; false
// when the digit is not accepted for that letter.
bool take_switch_digit(char letter, char digit, RunSettings& settings) {
    if (digit < '0' || digit > '9') return false;
    const int n = digit - '0';
    switch (letter) {
        case 'm': {
            const MethodLevel& level = METHOD_LEVELS[n];
            settings.search_depth = level.search_depth;
            settings.lazy_matching = level.lazy_matching;
            settings.method_level = level.level;
            return true;
        }
        case 'b':
            if (n < MIN_RING_SWITCH || n > MAX_RING_SWITCH) return false;
            settings.ring_size = ring_size_of_switch(n);
            return true;
        case 'h':
            if (n < MIN_HASH_SWITCH || n > MAX_HASH_SWITCH) return false;
            settings.hash_bits = hash_bits_of_switch(n);
            return true;
        default:
            return false;
    }
}

// -tN takes the whole number that follows; -t0 is the default, one worker
// per core.
bool take_threads(const std::string& arg, std::size_t& pos, RunSettings& settings) {
    if (pos >= arg.size() || arg[pos] < '0' || arg[pos] > '9') return false;
    unsigned n = 0;
    for (; pos < arg.size() && arg[pos] >= '0' && arg[pos] <= '9'; ++pos) {
        n = std::min(n * 10 + static_cast<unsigned>(arg[pos] - '0'), 1024u);
    }
    settings.threads = n;
    return true;
}

// The value of a long option written as name=VALUE: true, with value, when
// arg has that form and VALUE is not empty.
bool long_value(const std::string& arg, const char* name, std::string& value) {
    const std::string prefix = std::string(name) + "=";
    if (arg.compare(0, prefix.size(), prefix) != 0 || arg.size() == prefix.size()) return false;
    value = arg.substr(prefix.size());
    return true;
}

// The long options of selection: exclusions for the commands that select
// what is added or read, lists of names for those that take names. False
// when arg is none that the set takes.
bool take_selection_option(const std::string& arg, SwitchSet set, RunSettings& settings) {
    std::string value;
    const bool excludes = set == SwitchSet::Add || set == SwitchSet::Extract || set == SwitchSet::List;
    const bool names = set == SwitchSet::Add || set == SwitchSet::Delete;
    if (excludes && long_value(arg, "--exclude", value)) {
        settings.excludes.push_back(value);
    } else if (excludes && long_value(arg, "--exclude-from", value)) {
        settings.exclude_lists.push_back(value);
    } else if (names && long_value(arg, "--files-from", value)) {
        settings.name_lists.push_back(value);
    } else if (names && arg == "--null") {
        settings.null_names = true;
    } else {
        return false;
    }
    return true;
}

}  // namespace

bool scan_switches(const std::vector<std::string>& args, std::size_t first, SwitchSet set, RunSettings& settings,
                   std::size_t& next) {
    std::size_t index = first;
    // Switches are read only before the first argument that is not one.
    for (; index < args.size(); ++index) {
        const std::string& arg = args[index];
        // "-" is the archive on a stream, no switch.
        if (arg.empty() || arg[0] != '-' || arg == "-") break;
        if (arg == "--") {
            settings.switches_ended = true;
            ++index;
            break;
        }
        if (arg.compare(0, 2, "--") == 0) {
            // Long options of the add.
            if (set == SwitchSet::Add && arg == "--dereference") {
                settings.dereference = true;
                continue;
            }
            if (set == SwitchSet::Add && arg == "--no-packs") {
                settings.packs = false;
                continue;
            }
            // Long options of the extraction: owners and labels.
            if (set == SwitchSet::Extract && arg == "--no-same-owner") {
                settings.same_owner = false;
                continue;
            }
            if (set == SwitchSet::Extract && arg == "--numeric-owner") {
                settings.numeric_owner = true;
                continue;
            }
            if (set == SwitchSet::Extract && arg == "--selinux") {
                settings.selinux = true;
                continue;
            }
            if (take_selection_option(arg, set, settings)) continue;
            return false;
        }
        std::size_t pos = 1;
        while (pos < arg.size()) {
            char letter = arg[pos];
            if (letter >= 'A' && letter <= 'Z') letter = static_cast<char>(letter - 'A' + 'a');
            ++pos;
            if (set == SwitchSet::Delete) {
                if (letter == 'v') {
                    settings.verbose = true;
                } else if (letter != 'n') {
                    return false;
                }
                continue;
            }
            if (set == SwitchSet::List) return false;
            if (set == SwitchSet::Extract) {
                if (letter == 'v') {
                    settings.verbose = true;
                } else if (letter == 'n') {
                    settings.progress = false;
                } else if (letter == 'c') {
                    settings.to_standard_output = true;
                } else if (letter != 't' || !take_threads(arg, pos, settings)) {
                    return false;
                }
                continue;
            }
            if (letter == 'r') {
                settings.recurse = true;
            } else if (letter == 's') {
                settings.solid = true;
            } else if (letter == 'v') {
                settings.verbose = true;
            } else if (letter == 'p') {
                settings.plain = true;
            } else if (letter == 'l') {
                settings.links = true;
            } else if (letter == 'n') {
                settings.progress = false;
            } else if (letter == 'u') {
                settings.strong = true;
            } else if (letter == 't') {
                if (!take_threads(arg, pos, settings)) return false;
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

CommandLine parse_command_line(const std::vector<std::string>& args) {
    CommandLine line;
    if (args.size() >= 2 && (args[1] == "--help" || args[1] == "--version")) {
        line.query = args[1] == "--help" ? CommandLine::Query::Help : CommandLine::Query::Version;
        return line;
    }
    // Only the first character names the command ("add" is a).
    const char command = args.size() >= 2 && !args[1].empty() ? args[1][0] : '\0';
    if (command != 'a' && command != 'u' && command != 'd' && command != 'x' && command != 'l' && command != 't') {
        line.problem = CommandLine::Problem::Usage;
        return line;
    }
    line.settings.command = command;
    std::size_t next = 2;
    if (command == 'l' || command == 't') {
        // List and test need the archive; list reads one switch, -v or
        // --json, and only as the argument right after the command, so that any other
        // name beginning with '-' is still an archive. Exclusions and
        // --numeric-owner may come before or after it.
        bool shown = false;
        for (; next < args.size(); ++next) {
            const std::string& arg = args[next];
            if (command == 'l' && !shown && (arg == "-v" || arg == "-V")) {
                line.settings.verbose = true;
                shown = true;
            } else if (command == 'l' && !shown && arg == "--json") {
                line.settings.json = true;
                shown = true;
            } else if (command == 'l' && arg == "--numeric-owner") {
                line.settings.numeric_owner = true;
            } else if (!take_selection_option(arg, SwitchSet::List, line.settings)) {
                break;
            }
        }
        if (args.size() <= next) line.problem = CommandLine::Problem::Usage;
    } else {
        const SwitchSet set = command == 'a' || command == 'u' ? SwitchSet::Add
                              : command == 'd'                 ? SwitchSet::Delete
                                                               : SwitchSet::Extract;
        if (!scan_switches(args, 2, set, line.settings, next)) {
            line.problem = CommandLine::Problem::UnknownOption;
            return line;
        }
        if (next >= args.size()) line.problem = CommandLine::Problem::Usage;
    }
    if (line.problem == CommandLine::Problem::None) {
        line.operands.assign(args.begin() + static_cast<std::ptrdiff_t>(next), args.end());
    }
    return line;
}

SearchSettings search_settings(const RunSettings& settings) {
    SearchSettings s;
    s.ring_size = settings.ring_size;
    s.hash_bits = settings.hash_bits;
    s.hash_mask = compute_hash_mask(settings.hash_bits, settings.method_level);
    s.search_depth = settings.search_depth;
    s.lazy_matching = settings.lazy_matching;
    s.strong = settings.strong;
    return s;
}

}  // namespace qev
