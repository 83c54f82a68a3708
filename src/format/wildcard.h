// Anchored, bytewise wildcard match: '*' any run of bytes (also empty), '?'
// exactly one byte, every other byte only itself.
#pragma once

#include <string>
#include <vector>

namespace qev {

bool wildcard_match(const char* pattern, const char* text);

// Whether a path is left out by exclusion patterns. A pattern matches a
// path when it matches the whole path or any tail of it that begins after a
// '/' (so also its base name); '*' and '?' match a '/' as well. Patterns
// are compared byte for byte, in their case; a leading "./" of the path
// and trailing '/' of a pattern are ignored. With folders on, the folders
// the path lies in count too: a path below an excluded folder is excluded.
bool path_excluded(const std::vector<std::string>& patterns, const std::string& path, bool folders = false);

}  // namespace qev
