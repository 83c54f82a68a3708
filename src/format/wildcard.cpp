#include "format/wildcard.h"

namespace qev {

bool wildcard_match(const char* pattern, const char* text) {
    const char* p = pattern;
    const char* t = text;

    // Literal head: up to the first '*' every pattern byte takes one text
    // byte.
    while (*t != '\0' && *p != '*') {
        if (*p != *t && *p != '?') return false;
        ++p;
        ++t;
    }

    // From the first '*' on: on a mismatch, let the last '*' swallow one more
    // byte and retry from there.
    const char* pattern_restart = nullptr;
    const char* text_restart = nullptr;
    while (*t != '\0') {
        if (*p == '*') {
            ++p;
            if (*p == '\0') return true;
            pattern_restart = p;
            text_restart = t + 1;
        } else if (*p == *t || *p == '?') {
            ++p;
            ++t;
        } else {
            p = pattern_restart;
            t = text_restart;
            ++text_restart;
        }
    }

    while (*p == '*') ++p;
    return *p == '\0';
}

}  // namespace qev

namespace qev {

namespace {

// Whether pattern matches path[0, end) or a tail of it that begins after a
// '/'.
bool matches_some_tail(const std::string& pattern, const std::string& path, std::size_t end) {
    for (std::size_t start = 0; start < end;) {
        if (wildcard_match(pattern.c_str(), path.substr(start, end - start).c_str())) return true;
        const std::size_t slash = path.find('/', start);
        if (slash == std::string::npos || slash >= end) break;
        start = slash + 1;
    }
    return false;
}

}  // namespace

bool path_excluded(const std::vector<std::string>& patterns, const std::string& path, bool folders) {
    if (patterns.empty()) return false;
    std::string p = path;
    while (p.size() > 2 && p.compare(0, 2, "./") == 0) p.erase(0, 2);
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    for (std::string pattern : patterns) {
        while (pattern.size() > 1 && pattern.back() == '/') pattern.pop_back();
        if (pattern.empty()) continue;
        if (matches_some_tail(pattern, p, p.size())) return true;
        if (!folders) continue;
        // Every folder the path lies in: its path ends before a '/'.
        for (std::size_t slash = p.find('/'); slash != std::string::npos; slash = p.find('/', slash + 1)) {
            if (slash > 0 && matches_some_tail(pattern, p, slash)) return true;
        }
    }
    return false;
}

}  // namespace qev
