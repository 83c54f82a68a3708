// Extraction and listing: the archive walk, the restoration of entries under
// a destination directory, and the listing of stored paths.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "compress/archive_format.h"
#include "engine/engine.h"
#include "platform/platform_file.h"

namespace qev {

struct ExtractResult {
    std::uint64_t selected = 0;  // entries the pattern selected
    bool failed = false;         // anything went wrong (message printed)
};

class Extractor {
public:
    explicit Extractor(bool verbose);
    ~Extractor();

    // Restores every entry whose lower-cased base name matches the
    // (lower-case) pattern under destination_directory, which ends with a
    // separator or is empty. Each call starts a solid archive from fresh
    // state. A missing archive prints its message and throws ExitRequest.
    ExtractResult extract_archive(const std::string& archive_path, const std::string& destination_directory,
                                  const std::string& pattern);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

struct ListResult {
    int listed = 0;
    bool failed = false;
};

// Prints the stored path of every entry whose base name matches the pattern
// as stored (case-sensitive). A missing archive prints its message and
// throws ExitRequest.
ListResult list_archive(const std::string& archive_path, const std::string& pattern);

}  // namespace qev
