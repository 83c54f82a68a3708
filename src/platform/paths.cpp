#include <cstdio>

#include "platform/platform_file.h"

namespace qev::platform {

std::string normalise_separators(std::string path) {
    std::string out;
    out.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (is_separator(path[i]) && i + 1 < path.size() && is_separator(path[i + 1])) continue;
        out.push_back(path[i]);
    }
    return out;
}

std::string base_name(const std::string& path) {
    const std::size_t last = path.find_last_of("/\\");
    return last == std::string::npos ? path : path.substr(last + 1);
}

std::string lower_case_ascii(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

void remove_file(const std::string& path) { std::remove(native_path(path).c_str()); }

}  // namespace qev::platform
