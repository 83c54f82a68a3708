// Packs: one entry that holds many small files, folders and symbolic links,
// so that they share one coded stream (and its history) and one header. A
// pack's content is a POSIX pax archive of its members; its integrity record
// has the type Pack. A reader that knows nothing of packs restores the entry
// as a file named qev-pack-N.tar at the top of the destination, which tar
// unpacks into the same tree.
//
// The pax stream is made and parsed by libarchive, in memory; nothing here
// touches the disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "format/integrity_record.h"
#include "format/metadata.h"

namespace qev {

// One member of a pack, as stored: its path below the archive's root
// (the entry's dir and name joined, no trailing separator), its kind and
// what the integrity record holds for an entry of its own.
struct PackMember {
    std::string path;
    EntryType type = EntryType::File;
    std::uint32_t mode = 0644;  // the low 12 bits of the file's mode
    std::int64_t mtime_seconds = 0;
    std::uint32_t mtime_nanoseconds = 0;
    Metadata meta;           // owner, attributes, ACLs
    std::uint64_t size = 0;  // bytes of a file's content (a sparse file's whole length, holes included)
    std::string target;      // a link's target; a hard link's: the path of the member it names
    // A sparse file's data: where each run lies in the file, and its length.
    // Its content is the runs one after another, holes left out.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> sparse;
    std::uint32_t device_major = 0;  // devices
    std::uint32_t device_minor = 0;

    // Bytes of content the member carries: a sparse file's data only.
    std::uint64_t data_bytes() const;
};

// The stored name of the pack that is entry number index of its archive
// (counted from 0): distinct for every entry of one archive, appends
// included.
std::string pack_name(std::uint64_t index);

// Regular files below this size go into packs; larger ones are entries of
// their own. A member is never read beyond it, even where its file grew to
// that size after it was selected, so a pack stays within MAX_PACK_BYTES.
// On a 234 MB tree, limits of 256 KiB, 1 MiB and 4 MiB gave 65.9, 58.2 and
// 57.2 MB.
constexpr std::uint64_t PACK_MEMBER_LIMIT = 4u << 20;

// A file with holes goes into a pack, whatever its length, when its data
// is at most this; a pack closes after it.
constexpr std::uint64_t SPARSE_MEMBER_LIMIT = 32u << 20;

// A pack is closed once its stream reaches this size. Its models carry on
// over the whole pack even where its history is longer than the ring: on a
// tree of 234 MB, packs of 16, 32 and 64 MiB came to 59.7, 58.2 and 57.9 MB.
constexpr std::uint64_t PACK_CLOSE_BYTES = 32u << 20;

// The largest stream an add makes for one pack: it closes after the member
// that reached PACK_CLOSE_BYTES.
constexpr std::uint64_t PACK_MAX_STREAM = PACK_CLOSE_BYTES + SPARSE_MEMBER_LIMIT + (1u << 20);

// Bytes a member takes in the pax stream, at most, for a planner that has
// not read it yet: a header block and the content in blocks, and where a
// ustar header cannot hold its path (or, for a link, its target, which may
// be as long as a path gets) an extended header with its own header block.
std::uint64_t pack_member_bytes(const std::string& path, EntryType type, std::uint64_t size);


// Bytes the largest pack a reader accepts; one that claims more is taken
// for damage before anything is decoded. An add closes its packs far below
// it (PACK_MAX_STREAM), whatever the members' names.
constexpr std::uint64_t MAX_PACK_BYTES = 256ull << 20;

// Builds a pack's pax stream in memory, member by member.
class PackBuilder {
public:
    PackBuilder();
    ~PackBuilder();
    PackBuilder(const PackBuilder&) = delete;
    PackBuilder& operator=(const PackBuilder&) = delete;

    // Adds a member; a file's content is data (member.data_bytes()). False
    // when the stream cannot take it (problem() says why); the stream is
    // then no longer usable.
    bool add(const PackMember& member, const std::uint8_t* data);
    // Ends the stream; false when that failed.
    bool finish();
    // The stream so far (whole after finish()).
    std::string& bytes() { return bytes_; }
    std::size_t members() const { return members_; }
    const std::string& problem() const { return problem_; }

private:
    struct Writer;
    std::unique_ptr<Writer> writer_;
    std::string bytes_;
    std::size_t members_ = 0;
    std::string problem_;
};

// Parses a pack's pax stream: each(member, content) for every member in
// order (content holds member.data_bytes() bytes of a file; nothing otherwise);
// each returns false to stop. False when the stream is not a sound pax
// archive, holds a member of another kind than file, folder or link, or
// ends early; problem then says why, and the members before were told.
bool parse_pack(const std::uint8_t* data, std::size_t n,
                const std::function<bool(const PackMember&, const std::uint8_t*)>& each, std::string& problem);

}  // namespace qev
