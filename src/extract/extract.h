// Extraction: the restoration of an archive's entries under a destination
// directory. What happens on the way is told to an observer; nothing here
// prints.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace qev {

// What the extraction meets, in the order it meets it. Every call but
// restoring() is a failure of that entry or of the walk.
class ExtractObserver {
public:
    virtual ~ExtractObserver() = default;
    // The walk stops at offset: the entry there has no size to trust.
    virtual void damaged_archive(std::uint64_t offset, const std::string& problem) = 0;
    // The entry stored as stored_path cannot be restored.
    virtual void damaged_entry(const std::string& stored_path, const std::string& problem) = 0;
    // The entry's path would lead out of the destination; it is restored
    // under it (not a failure).
    virtual void leads_outside(const std::string& stored_path) = 0;
    virtual void path_too_long(const std::string& path) = 0;
    virtual void cannot_create(const std::string& output_path) = 0;
    virtual void cannot_write(const std::string& output_path) = 0;
    // An output file is about to be written.
    virtual void restoring(const std::string& output_path) = 0;
};

enum class ExtractStatus {
    Done,
    CannotOpenArchive,  // nothing was done
    NoMemory,           // the run ends at once
};

struct ExtractResult {
    ExtractStatus status = ExtractStatus::Done;
    std::uint64_t selected = 0;  // entries the pattern selected
    bool failed = false;         // anything went wrong (the observer was told)
};

class Extractor {
public:
    explicit Extractor(ExtractObserver& observer);
    ~Extractor();

    // Restores every entry whose lower-cased base name matches the
    // (lower-case) pattern under destination_directory, which ends with a
    // separator or is empty. Each call starts a solid archive from fresh
    // state.
    ExtractResult extract_archive(const std::string& archive_path, const std::string& destination_directory,
                                  const std::string& pattern);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qev
