// Anchored, bytewise wildcard match: '*' any run of bytes (also empty), '?'
// exactly one byte, every other byte only itself.
#pragma once

namespace qev {

bool wildcard_match(const char* pattern, const char* text);

}  // namespace qev
