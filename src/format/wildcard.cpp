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
