#include "format/pack.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace qev {

namespace {

mode_t file_type_of(EntryType type) {
    switch (type) {
        case EntryType::Folder:
            return AE_IFDIR;
        case EntryType::Link:
            return AE_IFLNK;
        case EntryType::Fifo:
            return AE_IFIFO;
        case EntryType::CharDevice:
            return AE_IFCHR;
        case EntryType::BlockDevice:
            return AE_IFBLK;
        default:
            return AE_IFREG;
    }
}

// Holes are handed to the writer as zeros, which it does not store.
constexpr std::size_t HOLE_PIECE = 1u << 20;
const std::uint8_t* zeros() {
    static const std::vector<std::uint8_t> bytes(HOLE_PIECE, 0);
    return bytes.data();
}

std::string error_of(struct archive* a, const char* fallback) {
    const char* text = archive_error_string(a);
    return text != nullptr && *text != '\0' ? std::string(text) : std::string(fallback);
}

}  // namespace

std::uint64_t PackMember::data_bytes() const {
    if (type != EntryType::File) return 0;
    if (sparse.empty()) return size;
    std::uint64_t bytes = 0;
    for (const auto& run : sparse) bytes += run.second;
    return bytes;
}

std::string pack_name(std::uint64_t index) {
    char text[40];
    std::snprintf(text, sizeof text, "qev-pack-%06" PRIu64 ".tar", index);
    return text;
}

std::uint64_t pack_member_bytes(const std::string& path, EntryType type, std::uint64_t size) {
    const auto blocks = [](std::uint64_t n) { return (n + 511) / 512 * 512; };
    std::uint64_t bytes = 512 + (type == EntryType::File ? blocks(size) : 0);
    bool plain = path.size() < 100 && type != EntryType::Link;
    for (const char c : path) plain = plain && static_cast<unsigned char>(c) < 0x80;
    if (!plain) {
        // Each record of an extended header: its length, the keyword, the
        // value and a line end; a link's target is up to 4096 bytes.
        const std::uint64_t records = 2 * (path.size() + 32) + (type == EntryType::Link ? 2 * (4096 + 32) : 0) + 256;
        bytes += 512 + blocks(records);
    }
    return bytes;
}

struct PackBuilder::Writer {
    struct archive* a = nullptr;
    struct archive_entry* entry = nullptr;
    bool open = false;
    // Where the stream goes; once the builder is done with it, nowhere.
    std::string* out = nullptr;
    // A stream left unfinished is dropped, not ended: what the writer
    // still writes goes nowhere.
    ~Writer() {
        out = nullptr;
        if (entry != nullptr) archive_entry_free(entry);
        if (a != nullptr) archive_write_free(a);
    }
};

PackBuilder::PackBuilder() : writer_(std::make_unique<Writer>()) {
    Writer& w = *writer_;
    w.a = archive_write_new();
    w.entry = archive_entry_new();
    if (w.a == nullptr || w.entry == nullptr) {
        problem_ = "out of memory";
        return;
    }
    // The members' headers are plain ustar ones wherever they can be (a
    // pax extended header only for what ustar cannot hold: a long name, a
    // large size, a name that is not plain ASCII, a time with nanoseconds,
    // attributes, ACLs, a sparse map); the stream is written unblocked,
    // without padding after its end marker.
    const auto write = [](struct archive*, void* client, const void* buffer, size_t n) -> la_ssize_t {
        std::string* out = static_cast<Writer*>(client)->out;
        if (out != nullptr) out->append(static_cast<const char*>(buffer), n);
        return static_cast<la_ssize_t>(n);
    };
    w.out = &bytes_;
    if (archive_write_set_format_pax(w.a) != ARCHIVE_OK ||
        // Attributes under the keywords tar reads, once.
        archive_write_set_format_option(w.a, "pax", "xattrheader", "SCHILY") < ARCHIVE_WARN ||
        archive_write_set_bytes_per_block(w.a, 0) != ARCHIVE_OK ||
        archive_write_open(w.a, &w, nullptr, write, nullptr) != ARCHIVE_OK) {
        problem_ = error_of(w.a, "the pax writer cannot be set up");
        return;
    }
    w.open = true;
}

// The writer goes first: it may still hold the bytes.
PackBuilder::~PackBuilder() { writer_.reset(); }

bool PackBuilder::add(const PackMember& member, const std::uint8_t* data) {
    Writer& w = *writer_;
    if (!w.open) return false;
    archive_entry_clear(w.entry);
    archive_entry_copy_pathname(w.entry, member.path.c_str());
    archive_entry_set_filetype(w.entry, file_type_of(member.type));
    archive_entry_set_perm(w.entry, static_cast<mode_t>(member.mode & 07777));
    archive_entry_set_mtime(w.entry, static_cast<time_t>(member.mtime_seconds), member.mtime_nanoseconds);
    // After the mode: an ACL's entries set the permission bits (the group
    // bits from its group entry, which a reader puts right from the mask).
    metadata_to_entry(member.meta, w.entry);
    const std::uint64_t size = member.type == EntryType::File ? member.size : 0;
    archive_entry_set_size(w.entry, static_cast<la_int64_t>(size));
    if (member.type == EntryType::Link) archive_entry_copy_symlink(w.entry, member.target.c_str());
    if (member.type == EntryType::HardLink) archive_entry_copy_hardlink(w.entry, member.target.c_str());
    if (member.type == EntryType::CharDevice || member.type == EntryType::BlockDevice) {
        archive_entry_set_rdevmajor(w.entry, member.device_major);
        archive_entry_set_rdevminor(w.entry, member.device_minor);
    }
    if (member.type == EntryType::File) {
        for (const auto& run : member.sparse) {
            archive_entry_sparse_add_entry(w.entry, static_cast<la_int64_t>(run.first), static_cast<la_int64_t>(run.second));
        }
    }
    if (archive_write_header(w.a, w.entry) < ARCHIVE_WARN) {
        problem_ = error_of(w.a, "the pax writer refused a member");
        w.open = false;
        return false;
    }
    // The content in order: a sparse file's runs at their places, zeros
    // for the holes between.
    std::uint64_t at = 0;
    const auto put = [&](std::uint64_t upto, const std::uint8_t* from) {
        while (at < upto) {
            const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(upto - at, HOLE_PIECE));
            const la_ssize_t n = archive_write_data(w.a, from != nullptr ? from : zeros(), piece);
            if (n <= 0) return false;
            at += static_cast<std::uint64_t>(n);
            if (from != nullptr) from += n;
        }
        return true;
    };
    bool ok = true;
    if (member.sparse.empty()) {
        ok = put(size, data);
    } else {
        const std::uint8_t* next = data;
        for (const auto& run : member.sparse) {
            ok = ok && run.first >= at && run.first + run.second <= size && put(run.first, nullptr) &&
                 put(run.first + run.second, next);
            next += run.second;
        }
        ok = ok && put(size, nullptr);
    }
    if (!ok || archive_write_finish_entry(w.a) < ARCHIVE_WARN) {
        problem_ = error_of(w.a, "the pax writer refused a member's content");
        w.open = false;
        return false;
    }
    ++members_;
    return true;
}

bool PackBuilder::finish() {
    Writer& w = *writer_;
    if (!w.open) return false;
    w.open = false;
    if (archive_write_close(w.a) != ARCHIVE_OK) {
        problem_ = error_of(w.a, "the pax stream cannot be ended");
        return false;
    }
    return true;
}

bool parse_pack(const std::uint8_t* data, std::size_t n,
                const std::function<bool(const PackMember&, const std::uint8_t*)>& each, std::string& problem) {
    struct Reader {
        struct archive* a = archive_read_new();
        ~Reader() {
            if (a != nullptr) archive_read_free(a);
        }
    } reader;
    struct archive* a = reader.a;
    if (a == nullptr || archive_read_support_format_tar(a) != ARCHIVE_OK ||
        archive_read_open_memory(a, data, n) != ARCHIVE_OK) {
        problem = "its pack is not a pax archive";
        if (a != nullptr) problem += std::string(" (") + error_of(a, "no header") + ")";
        return false;
    }
    std::string content;
    PackMember member;
    for (;;) {
        struct archive_entry* entry = nullptr;
        const int status = archive_read_next_header(a, &entry);
        if (status == ARCHIVE_EOF) return true;
        if (status < ARCHIVE_WARN || entry == nullptr) {
            problem = "its pack cannot be read: " + error_of(a, "a member's header is damaged");
            return false;
        }
        const char* path = archive_entry_pathname(entry);
        member = PackMember();
        member.path = path != nullptr ? path : "";
        while (member.path.size() > 1 && member.path.back() == '/') member.path.pop_back();
        const char* hardlink = archive_entry_hardlink(entry);
        switch (archive_entry_filetype(entry)) {
            case AE_IFREG:
                member.type = EntryType::File;
                break;
            case AE_IFDIR:
                member.type = EntryType::Folder;
                break;
            case AE_IFLNK:
                member.type = EntryType::Link;
                break;
            case AE_IFIFO:
                member.type = EntryType::Fifo;
                break;
            case AE_IFCHR:
                member.type = EntryType::CharDevice;
                break;
            case AE_IFBLK:
                member.type = EntryType::BlockDevice;
                break;
            default:
                if (hardlink == nullptr) {
                    problem = "its pack holds a member of a kind that is not restored: " + member.path;
                    return false;
                }
        }
        member.mode = static_cast<std::uint32_t>(archive_entry_perm(entry)) & 07777u;
        member.mtime_seconds = static_cast<std::int64_t>(archive_entry_mtime(entry));
        const long ns = archive_entry_mtime_nsec(entry);
        member.mtime_nanoseconds = ns > 0 && ns < 1000000000L ? static_cast<std::uint32_t>(ns) : 0;
        metadata_from_entry(entry, member.meta);
        // Reading an access ACL set the group bits from its group entry;
        // the file's own are its mask's.
        if (!member.meta.acl_access.empty()) {
            archive_entry_acl_reset(entry, ARCHIVE_ENTRY_ACL_TYPE_ACCESS);
            int type = 0, permset = 0, tag = 0, id = 0;
            const char* name = nullptr;
            while (archive_entry_acl_next(entry, ARCHIVE_ENTRY_ACL_TYPE_ACCESS, &type, &permset, &tag, &id, &name) ==
                   ARCHIVE_OK) {
                if (tag == ARCHIVE_ENTRY_ACL_MASK) {
                    member.mode = (member.mode & ~070u) | ((static_cast<std::uint32_t>(permset) & 7u) << 3);
                }
            }
        }
        if (hardlink != nullptr) {
            member.type = EntryType::HardLink;
            member.target = hardlink;
            while (member.target.size() > 1 && member.target.back() == '/') member.target.pop_back();
        } else if (member.type == EntryType::Link) {
            const char* target = archive_entry_symlink(entry);
            member.target = target != nullptr ? target : "";
        } else if (member.type == EntryType::CharDevice || member.type == EntryType::BlockDevice) {
            member.device_major = static_cast<std::uint32_t>(archive_entry_rdevmajor(entry));
            member.device_minor = static_cast<std::uint32_t>(archive_entry_rdevminor(entry));
        }
        content.clear();
        if (member.type == EntryType::File) {
            const la_int64_t size = archive_entry_size(entry);
            if (size < 0) {
                problem = "its pack gives a member a negative size: " + member.path;
                return false;
            }
            member.size = static_cast<std::uint64_t>(size);
            if (archive_entry_sparse_count(entry) > 0) {
                // Only the data comes out, each run at its place; the
                // holes stay holes.
                const void* block = nullptr;
                size_t got = 0;
                la_int64_t at = 0;
                int r;
                while ((r = archive_read_data_block(a, &block, &got, &at)) == ARCHIVE_OK) {
                    if (got == 0) continue;
                    const std::uint64_t offset = static_cast<std::uint64_t>(at);
                    if (at < 0 || offset > member.size || got > member.size - offset || content.size() + got > n) {
                        problem = "its pack gives a sparse member data outside its length: " + member.path;
                        return false;
                    }
                    if (!member.sparse.empty() && member.sparse.back().first + member.sparse.back().second == offset) {
                        member.sparse.back().second += got;
                    } else if (!member.sparse.empty() && member.sparse.back().first + member.sparse.back().second > offset) {
                        problem = "its pack gives a sparse member runs out of order: " + member.path;
                        return false;
                    } else {
                        member.sparse.emplace_back(offset, got);
                    }
                    content.append(static_cast<const char*>(block), got);
                }
                if (r != ARCHIVE_EOF) {
                    problem = "its pack ends inside the member " + member.path;
                    return false;
                }
                // A file that is one hole still needs its length.
                if (member.sparse.empty()) member.sparse.emplace_back(member.size, 0);
            } else {
                // Content never reaches past the stream it comes from.
                if (member.size > n) {
                    problem = "its pack gives a member a size larger than the pack: " + member.path;
                    return false;
                }
                content.resize(static_cast<std::size_t>(size));
                std::size_t got = 0;
                while (got < content.size()) {
                    const la_ssize_t r = archive_read_data(a, &content[got], content.size() - got);
                    if (r <= 0) break;
                    got += static_cast<std::size_t>(r);
                }
                if (got != content.size()) {
                    problem = "its pack ends inside the member " + member.path;
                    return false;
                }
            }
        }
        if (!each(member, reinterpret_cast<const std::uint8_t*>(content.data()))) return true;
    }
}

}  // namespace qev
