// Shared pieces of the fuzz targets: a private scratch folder, a silent
// console and a silent extraction observer.
#pragma once

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "extract/extract.h"
#include "platform/platform_file.h"

namespace qev::fuzz {

inline void remove_tree(const std::string& path);

// The folder is removed with everything in it when the process exits.
inline const std::string& scratch_root() {
    static char made[] = "/tmp/qev-fuzz-XXXXXX";
    static const std::string root = [] {
        if (mkdtemp(made) == nullptr) std::abort();
        std::FILE* null = std::fopen("/dev/null", "w");
        platform::set_console(null, null);
        std::atexit([] { remove_tree(made); });
        return std::string(made);
    }();
    return root;
}

using QuietExtract = SilentExtractObserver;

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
