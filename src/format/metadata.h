// What a stored file carries beside its bytes, mode and time: its owner
// (numbers and names) and its extended attributes and access control lists.
// Pack members carry it in their pax headers; an entry of its own carries
// it in its integrity record as pax records of the same keywords, so that
// one vocabulary describes every file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct archive_entry;

namespace qev {

struct Metadata {
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    std::string uname;  // empty where the number has no name
    std::string gname;
    // Extended attributes by full name ("user.comment"), in the order read;
    // the access control lists are not among them.
    std::vector<std::pair<std::string, std::string>> xattrs;
    // The access and default ACLs as text ("user::rw-,user:bob:r--:1000,..."),
    // empty where a file has none beyond its mode.
    std::string acl_access;
    std::string acl_default;

    bool operator==(const Metadata& o) const {
        return uid == o.uid && gid == o.gid && uname == o.uname && gname == o.gname && xattrs == o.xattrs &&
               acl_access == o.acl_access && acl_default == o.acl_default;
    }
};

// The largest metadata block an integrity record may hold; a record that
// claims more is damaged.
constexpr std::size_t MAX_METADATA_BYTES = 4u << 20;

// The metadata as pax extended header records ("NN keyword=value\n"), with
// the keywords uid, gid, uname, gname, SCHILY.xattr.NAME, SCHILY.acl.access
// and SCHILY.acl.default.
std::string metadata_records(const Metadata& metadata);

// Reads such records; keywords it does not know are passed over. False
// when the records are not well formed (problem says why).
bool parse_metadata_records(const std::uint8_t* data, std::size_t n, Metadata& metadata, std::string& problem);

// Between the model and libarchive's entries (pax headers, and files read
// from disk).
void metadata_from_entry(struct archive_entry* entry, Metadata& metadata);
void metadata_to_entry(const Metadata& metadata, struct archive_entry* entry);

// An ACL's text as the value of the system.posix_acl_access or
// system.posix_acl_default attribute, which is how the system sets it.
// False when the text is no ACL.
bool acl_attribute_value(const std::string& text, bool default_acl, std::string& value);

}  // namespace qev
