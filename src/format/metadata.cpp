#include "format/metadata.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "format/byte_order.h"

namespace qev {

namespace {

constexpr char XATTR_KEY[] = "SCHILY.xattr.";
constexpr std::size_t XATTR_KEY_BYTES = sizeof XATTR_KEY - 1;
constexpr int ACL_TEXT_STYLE = ARCHIVE_ENTRY_ACL_STYLE_EXTRA_ID | ARCHIVE_ENTRY_ACL_STYLE_SEPARATOR_COMMA;

// One record: its length counts its own digits too.
void put_record(std::string& out, const std::string& key, const std::string& value) {
    const std::size_t body = 1 + key.size() + 1 + value.size() + 1;
    std::size_t length = body + 1;
    while (std::to_string(length).size() + body != length) ++length;
    out += std::to_string(length);
    out += ' ';
    out += key;
    out += '=';
    out += value;
    out += '\n';
}

bool parse_number(const std::string& text, std::uint32_t& value) {
    if (text.empty() || text.size() > 10) return false;
    std::uint64_t n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (n > 0xFFFFFFFFu) return false;
    value = static_cast<std::uint32_t>(n);
    return true;
}

std::string acl_text(struct archive_entry* entry, int type) {
    la_ssize_t length = 0;
    char* text = archive_entry_acl_to_text(entry, &length, type | ACL_TEXT_STYLE);
    std::string result = text != nullptr ? std::string(text, static_cast<std::size_t>(length)) : std::string();
    std::free(text);
    return result;
}

}  // namespace

std::string metadata_records(const Metadata& m) {
    std::string out;
    put_record(out, "uid", std::to_string(m.uid));
    put_record(out, "gid", std::to_string(m.gid));
    if (!m.uname.empty()) put_record(out, "uname", m.uname);
    if (!m.gname.empty()) put_record(out, "gname", m.gname);
    for (const auto& xattr : m.xattrs) put_record(out, XATTR_KEY + xattr.first, xattr.second);
    if (!m.acl_access.empty()) put_record(out, "SCHILY.acl.access", m.acl_access);
    if (!m.acl_default.empty()) put_record(out, "SCHILY.acl.default", m.acl_default);
    return out;
}

bool parse_metadata_records(const std::uint8_t* data, std::size_t n, Metadata& m, std::string& problem) {
    m = Metadata();
    const char* p = reinterpret_cast<const char*>(data);
    std::size_t at = 0;
    while (at < n) {
        std::size_t length = 0;
        std::size_t digits = 0;
        while (at + digits < n && p[at + digits] >= '0' && p[at + digits] <= '9' && digits < 8) {
            length = length * 10 + static_cast<std::size_t>(p[at + digits] - '0');
            ++digits;
        }
        // The shortest record is "5 k=\n".
        if (digits == 0 || length < digits + 4 || length > n - at || p[at + digits] != ' ' ||
            p[at + length - 1] != '\n') {
            problem = "its metadata records are not well formed";
            return false;
        }
        const char* body = p + at + digits + 1;
        const std::size_t body_bytes = length - digits - 2;  // without the blank and the line end
        const char* equals = static_cast<const char*>(std::memchr(body, '=', body_bytes));
        if (equals == nullptr || equals == body) {
            problem = "its metadata records are not well formed";
            return false;
        }
        const std::string key(body, static_cast<std::size_t>(equals - body));
        const std::string value(equals + 1, static_cast<std::size_t>(body + body_bytes - equals - 1));
        bool ok = true;
        if (key == "uid") {
            ok = parse_number(value, m.uid);
        } else if (key == "gid") {
            ok = parse_number(value, m.gid);
        } else if (key == "uname") {
            m.uname = value;
        } else if (key == "gname") {
            m.gname = value;
        } else if (key.compare(0, XATTR_KEY_BYTES, XATTR_KEY) == 0 && key.size() > XATTR_KEY_BYTES) {
            m.xattrs.emplace_back(key.substr(XATTR_KEY_BYTES), value);
        } else if (key == "SCHILY.acl.access") {
            m.acl_access = value;
        } else if (key == "SCHILY.acl.default") {
            m.acl_default = value;
        }
        if (!ok) {
            problem = "its metadata gives " + key + " a value that is no number";
            return false;
        }
        at += length;
    }
    return true;
}

void metadata_from_entry(struct archive_entry* entry, Metadata& m) {
    m = Metadata();
    m.uid = static_cast<std::uint32_t>(archive_entry_uid(entry));
    m.gid = static_cast<std::uint32_t>(archive_entry_gid(entry));
    const char* uname = archive_entry_uname(entry);
    const char* gname = archive_entry_gname(entry);
    if (uname != nullptr) m.uname = uname;
    if (gname != nullptr) m.gname = gname;
    archive_entry_xattr_reset(entry);
    const char* name = nullptr;
    const void* value = nullptr;
    std::size_t size = 0;
    while (archive_entry_xattr_next(entry, &name, &value, &size) == ARCHIVE_OK) {
        if (name == nullptr) continue;
        // A pax header may carry an attribute under two keywords; the
        // reader then gives it twice.
        const auto same = [&](const std::pair<std::string, std::string>& x) { return x.first == name; };
        if (std::find_if(m.xattrs.begin(), m.xattrs.end(), same) != m.xattrs.end()) continue;
        m.xattrs.emplace_back(name, std::string(static_cast<const char*>(value), size));
    }
    // An access ACL of three entries says no more than the mode does.
    if (archive_entry_acl_count(entry, ARCHIVE_ENTRY_ACL_TYPE_ACCESS) > 3) {
        m.acl_access = acl_text(entry, ARCHIVE_ENTRY_ACL_TYPE_ACCESS);
    }
    if (archive_entry_acl_count(entry, ARCHIVE_ENTRY_ACL_TYPE_DEFAULT) > 0) {
        m.acl_default = acl_text(entry, ARCHIVE_ENTRY_ACL_TYPE_DEFAULT);
    }
}

void metadata_to_entry(const Metadata& m, struct archive_entry* entry) {
    archive_entry_set_uid(entry, m.uid);
    archive_entry_set_gid(entry, m.gid);
    if (!m.uname.empty()) archive_entry_copy_uname(entry, m.uname.c_str());
    if (!m.gname.empty()) archive_entry_copy_gname(entry, m.gname.c_str());
    for (const auto& xattr : m.xattrs) {
        archive_entry_xattr_add_entry(entry, xattr.first.c_str(), xattr.second.data(), xattr.second.size());
    }
    if (!m.acl_access.empty()) archive_entry_acl_from_text(entry, m.acl_access.c_str(), ARCHIVE_ENTRY_ACL_TYPE_ACCESS);
    if (!m.acl_default.empty()) {
        archive_entry_acl_from_text(entry, m.acl_default.c_str(), ARCHIVE_ENTRY_ACL_TYPE_DEFAULT);
    }
}

bool acl_attribute_value(const std::string& text, bool default_acl, std::string& value) {
    const std::unique_ptr<struct archive_entry, void (*)(struct archive_entry*)> entry(archive_entry_new(),
                                                                                      archive_entry_free);
    if (!entry) return false;
    const int type = default_acl ? ARCHIVE_ENTRY_ACL_TYPE_DEFAULT : ARCHIVE_ENTRY_ACL_TYPE_ACCESS;
    if (archive_entry_acl_from_text(entry.get(), text.c_str(), type) != ARCHIVE_OK) return false;
    // The attribute: a version word, then per entry its tag, permissions
    // and id, ordered by tag and id.
    struct Item {
        std::uint32_t tag;
        std::uint32_t perm;
        std::uint32_t id;
    };
    std::vector<Item> items;
    archive_entry_acl_reset(entry.get(), type);
    int entry_type = 0;
    int permset = 0;
    int tag = 0;
    int id = 0;
    const char* name = nullptr;
    while (archive_entry_acl_next(entry.get(), type, &entry_type, &permset, &tag, &id, &name) == ARCHIVE_OK) {
        Item item{0, static_cast<std::uint32_t>(permset) & 7u, 0xFFFFFFFFu};
        switch (tag) {
            case ARCHIVE_ENTRY_ACL_USER_OBJ: item.tag = 0x01; break;
            case ARCHIVE_ENTRY_ACL_USER: item.tag = 0x02; item.id = static_cast<std::uint32_t>(id); break;
            case ARCHIVE_ENTRY_ACL_GROUP_OBJ: item.tag = 0x04; break;
            case ARCHIVE_ENTRY_ACL_GROUP: item.tag = 0x08; item.id = static_cast<std::uint32_t>(id); break;
            case ARCHIVE_ENTRY_ACL_MASK: item.tag = 0x10; break;
            case ARCHIVE_ENTRY_ACL_OTHER: item.tag = 0x20; break;
            default: return false;
        }
        if ((item.tag == 0x02 || item.tag == 0x08) && id < 0) return false;
        items.push_back(item);
    }
    if (items.empty()) return false;
    std::sort(items.begin(), items.end(),
              [](const Item& a, const Item& b) { return a.tag != b.tag ? a.tag < b.tag : a.id < b.id; });
    std::vector<std::uint8_t> bytes;
    put_le(bytes, 2, 4);
    for (const Item& item : items) {
        put_le(bytes, item.tag, 2);
        put_le(bytes, item.perm, 2);
        put_le(bytes, item.id, 4);
    }
    value.assign(bytes.begin(), bytes.end());
    return true;
}

}  // namespace qev
