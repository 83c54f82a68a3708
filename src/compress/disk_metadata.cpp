#include "compress/disk_metadata.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <memory>

#include "platform/platform_file.h"

namespace qev {

DiskMetadata::DiskMetadata() : disk_(archive_read_disk_new()) {
    if (disk_ == nullptr) return;
    archive_read_disk_set_standard_lookup(disk_);
    archive_read_disk_set_symlink_physical(disk_);
}

DiskMetadata::~DiskMetadata() {
    if (disk_ != nullptr) archive_read_free(disk_);
}

bool DiskMetadata::read(int fd, const std::string& path, Metadata& metadata, Runs* runs, std::string& warning) {
    warning.clear();
    metadata = Metadata();
    if (runs != nullptr) runs->clear();
    struct stat st;
    const std::string native = platform::native_path(path);
    if (fd >= 0 ? ::fstat(fd, &st) != 0 : ::lstat(native.c_str(), &st) != 0) {
        warning = "its owner and attributes cannot be read";
        return false;
    }
    metadata.uid = static_cast<std::uint32_t>(st.st_uid);
    metadata.gid = static_cast<std::uint32_t>(st.st_gid);
    if (disk_ == nullptr) {
        warning = "its attributes cannot be read (out of memory)";
        return false;
    }
    const std::unique_ptr<struct archive_entry, void (*)(struct archive_entry*)> entry(archive_entry_new(),
                                                                                      archive_entry_free);
    if (!entry) return false;
    archive_entry_copy_sourcepath(entry.get(), native.c_str());
    archive_entry_copy_pathname(entry.get(), native.c_str());
    // Holes are looked for only in a file that takes fewer blocks than its
    // length needs.
    const bool may_have_holes = runs != nullptr && S_ISREG(st.st_mode) &&
                                static_cast<std::uint64_t>(st.st_blocks) * 512 < static_cast<std::uint64_t>(st.st_size);
    archive_read_disk_set_behavior(disk_, may_have_holes ? 0 : ARCHIVE_READDISK_NO_SPARSE);
    const int status = archive_read_disk_entry_from_file(disk_, entry.get(), fd, &st);
    if (status < ARCHIVE_WARN) {
        const char* text = archive_error_string(disk_);
        warning = std::string("its attributes cannot be read: ") + (text != nullptr ? text : "unknown error");
        return true;  // the owner numbers are known
    }
    if (status == ARCHIVE_WARN) {
        const char* text = archive_error_string(disk_);
        warning = std::string("some of its attributes cannot be read: ") + (text != nullptr ? text : "unknown error");
    }
    metadata_from_entry(entry.get(), metadata);
    if (may_have_holes && archive_entry_sparse_reset(entry.get()) > 0) {
        la_int64_t offset = 0;
        la_int64_t length = 0;
        while (archive_entry_sparse_next(entry.get(), &offset, &length) == ARCHIVE_OK) {
            if (offset >= 0 && length > 0) runs->emplace_back(static_cast<std::uint64_t>(offset), static_cast<std::uint64_t>(length));
        }
        if (runs->empty()) runs->emplace_back(static_cast<std::uint64_t>(st.st_size), 0);
    }
    return true;
}

}  // namespace qev
