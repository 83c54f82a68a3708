// Shared pieces of the fuzz targets: a private scratch folder and a silent
// console.
#pragma once

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform_file.h"

namespace qev::fuzz {

inline const std::string& scratch_root() {
    static const std::string root = [] {
        char tmpl[] = "/tmp/qev-fuzz-XXXXXX";
        const char* made = mkdtemp(tmpl);
        if (made == nullptr) std::abort();
        std::FILE* null = std::fopen("/dev/null", "w");
        platform::set_console(null, null);
        return std::string(made);
    }();
    return root;
}

inline void remove_tree(const std::string& path) {
    nftw(
        path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

inline void write_bytes(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
}

}  // namespace qev::fuzz
