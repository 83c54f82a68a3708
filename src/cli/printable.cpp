// Names as the console shows them: a stored name or a path may hold any
// bytes, and control bytes written raw to a terminal would clear it, retitle
// it, overwrite a line or forge one.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cli/cli.h"

namespace qev {

namespace {

bool continuation(unsigned char c) { return (c & 0xc0u) == 0x80u; }

// The length of the well-formed UTF-8 sequence that starts at s[at] (no
// overlong forms, no surrogates, nothing above U+10FFFF); 0 when the bytes
// there form none.
std::size_t sequence_length(const std::string& s, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[at + i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80;   // the range of the second byte
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0) low = 0xa0;   // overlong below U+0800
        if (lead == 0xed) high = 0x9f;  // the surrogates U+D800..U+DFFF
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0) low = 0x90;   // overlong below U+10000
        if (lead == 0xf4) high = 0x8f;  // above U+10FFFF
    } else {
        return 0;
    }
    if (s.size() - at < length) return 0;
    if (byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (!continuation(byte(i))) return 0;
    }
    return length;
}

void escape(unsigned char c, std::string& out) {
    out.push_back('\\');
    switch (c) {
        case '\a': out.push_back('a'); return;
        case '\b': out.push_back('b'); return;
        case '\t': out.push_back('t'); return;
        case '\n': out.push_back('n'); return;
        case '\v': out.push_back('v'); return;
        case '\f': out.push_back('f'); return;
        case '\r': out.push_back('r'); return;
        case '\\': out.push_back('\\'); return;
        default:
            out.push_back(static_cast<char>('0' + (c >> 6)));
            out.push_back(static_cast<char>('0' + ((c >> 3) & 7u)));
            out.push_back(static_cast<char>('0' + (c & 7u)));
    }
}

}  // namespace

std::string printable(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t at = 0; at < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[at]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7f || c == '\\') {
                escape(c, out);
            } else {
                out.push_back(static_cast<char>(c));
            }
            ++at;
            continue;
        }
        const std::size_t length = sequence_length(s, at);
        // U+0080..U+009F (C2 80..C2 9F) are control characters as well:
        // some terminals take U+009B for the start of a control sequence.
        const bool control = length == 2 && c == 0xc2 && static_cast<unsigned char>(s[at + 1]) < 0xa0;
        if (length == 0 || control) {
            // Byte by byte: what follows a broken lead byte is looked at
            // afresh.
            const std::size_t n = control ? 2 : 1;
            for (std::size_t i = 0; i < n; ++i) escape(static_cast<unsigned char>(s[at + i]), out);
            at += n;
            continue;
        }
        out.append(s, at, length);
        at += length;
    }
    return out;
}

}  // namespace qev
