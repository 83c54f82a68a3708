// The archive walk and the restoration of entries.
//
// A damaged entry is reported once; the walk goes on wherever the entry's
// size can still be trusted and stops where it cannot.
#include "extract/extract.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <functional>
#include <unordered_map>
#include <new>
#include <system_error>
#include <vector>

#include "engine/engine.h"
#include "extract/memory_budget.h"
#include "format/archive_reader.h"
#include "format/filter_chain.h"
#include "format/integrity_record.h"
#include "format/pack.h"
#include "format/wildcard.h"
#include "platform/platform_file.h"
#include "platform/spare_cores.h"
#include "platform/interruption.h"

namespace qev {

namespace {

// Largest piece in which a restored block is written.
constexpr std::size_t WRITE_PIECE = 65535;

// The components of a stored path that stay under the destination: a drive
// prefix, leading separators, empty, "." and ".." components are dropped.
// escaped is set when something dropped would have led out of the
// destination (a drive prefix, a leading separator or a "..").
std::vector<std::string> safe_components(const std::string& stored, bool& escaped) {
    std::vector<std::string> parts;
    std::size_t i = 0;
    if (platform::has_drive_prefix(stored)) {
        escaped = true;
        i = 2;
    }
    if (i < stored.size() && platform::is_separator(stored[i])) escaped = true;
    std::string part;
    for (; i <= stored.size(); ++i) {
        if (i == stored.size() || platform::is_separator(stored[i])) {
            if (part == "..") {
                escaped = true;
            } else if (!part.empty() && part != ".") {
                parts.push_back(part);
            }
            part.clear();
        } else {
            part.push_back(stored[i]);
        }
    }
    return parts;
}

// The components of an entry's path below the destination, its own name
// last; empty when its name leaves nothing to restore.
std::vector<std::string> entry_parts(const EntryHeader& h, bool& escaped) {
    std::vector<std::string> parts = safe_components(h.dir, escaped);
    const std::vector<std::string> name_parts = safe_components(h.name, escaped);
    if (name_parts.empty()) return {};
    parts.insert(parts.end(), name_parts.begin(), name_parts.end());
    return parts;
}

// Entries whose paths are the same have the same key.
std::string entry_key(const EntryHeader& h) {
    bool escaped = false;
    std::string key;
    for (const std::string& part : entry_parts(h, escaped)) {
        key += part;
        key.push_back('/');
    }
    return key;
}

// The metadata an entry's record holds (none where it has none).
Metadata entry_metadata(const ArchiveReader::Entry& entry) {
    Metadata meta;
    std::string problem;
    if (entry.has_record && !entry.record.metadata.empty() &&
        !parse_metadata_records(reinterpret_cast<const std::uint8_t*>(entry.record.metadata.data()),
                                entry.record.metadata.size(), meta, problem)) {
        meta = Metadata();
    }
    return meta;
}

// An entry of its own as a listing shows it.
ListedEntry listed_entry(const ArchiveReader::Entry& entry) {
    const EntryHeader& h = entry.header;
    ListedEntry listed;
    listed.path = stored_path(h);
    listed.unpacked_size = h.unpacked_size;
    listed.stored_size = h.entry_size;
    listed.has_record = entry.has_record;
    listed.record = entry.record;
    listed.settings = h.settings;
    listed.offset = entry.offset;
    if (entry.has_record && !entry.record.metadata.empty()) {
        // The record's block was checked when the record was read.
        const Metadata meta = entry_metadata(entry);
        listed.has_owner = true;
        listed.uid = meta.uid;
        listed.gid = meta.gid;
        listed.uname = meta.uname;
        listed.gname = meta.gname;
    }
    return listed;
}


// Names of the attributes that hold ACLs.
constexpr char ACL_ACCESS_ATTRIBUTE[] = "system.posix_acl_access";
constexpr char ACL_DEFAULT_ATTRIBUTE[] = "system.posix_acl_default";

}  // namespace

// An output file in the making: written under a temporary name in its
// folder, renamed over the real name once complete.
struct Output {
    platform::Directory folder;
    platform::File file;
    std::string name;            // the real name in folder
    std::string temporary_name;  // empty when nothing was created
    std::string path;            // for messages

    Output() = default;
    Output(Output&& other) noexcept
        : folder(std::move(other.folder)),
          file(std::move(other.file)),
          name(std::move(other.name)),
          temporary_name(std::move(other.temporary_name)),
          path(std::move(other.path)) {
        other.temporary_name.clear();
    }
    Output& operator=(Output&&) = delete;

    bool open() const { return !temporary_name.empty(); }
    // Removes the temporary file.
    void discard() {
        if (!open()) return;
        folder.remove(temporary_name);
        file.close();
        temporary_name.clear();
    }
    // Gives the file its real name; false when that fails (the temporary
    // file is removed then). The file is closed, and its lock given up, only
    // once its temporary name is gone.
    bool commit() {
        const bool renamed = folder.rename(temporary_name, name);
        if (!renamed) folder.remove(temporary_name);
        file.close();
        temporary_name.clear();
        return renamed;
    }
    ~Output() { discard(); }
};

// Link targets longer than this are taken for damage.
constexpr std::uint64_t MAX_LINK_TARGET = 65536;

// Runs the finishing steps of decoded blocks (inverse filters, checksum,
// writes) on a thread of its own, one block at a time, while the next block
// is decoded. It runs on a core borrowed for the entry and gives it back.
class BlockFinisher {
public:
    using Step = std::function<void(std::uint8_t*, std::uint32_t, bool)>;

    BlockFinisher() = default;
    BlockFinisher(const BlockFinisher&) = delete;
    BlockFinisher& operator=(const BlockFinisher&) = delete;
    ~BlockFinisher() { stop(); }

    // Starts the thread on a core taken from spare; false when there is
    // none or the system refuses the thread.
    bool start(platform::SpareCores* spare, Step step) {
        if (spare == nullptr || !spare->take()) return false;
        step_ = std::move(step);
        try {
            thread_ = platform::start_thread([this] { run(); });
        } catch (const std::system_error&) {
            spare->give();
            return false;
        }
        spare_ = spare;
        return true;
    }
    bool running() const { return thread_.joinable(); }
    // Hands over a block once the one before is finished.
    void submit(std::uint8_t* block, std::uint32_t n, bool text_flag) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return block_ == nullptr; });
        block_ = block;
        n_ = n;
        text_flag_ = text_flag;
        lock.unlock();
        changed_.notify_all();
    }
    // Waits until the block handed over last is finished.
    void drain() {
        if (!running()) return;
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return block_ == nullptr; });
    }
    void stop() {
        if (!running()) return;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return block_ == nullptr; });
            quit_ = true;
        }
        changed_.notify_all();
        thread_.join();
        spare_->give();
        spare_ = nullptr;
        quit_ = false;
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return block_ != nullptr || quit_; });
            if (block_ == nullptr) return;
            lock.unlock();
            step_(block_, n_, text_flag_);
            lock.lock();
            block_ = nullptr;
            changed_.notify_all();
        }
    }

    Step step_;
    std::thread thread_;
    platform::SpareCores* spare_ = nullptr;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint8_t* block_ = nullptr;  // handed over, not yet finished
    std::uint32_t n_ = 0;
    bool text_flag_ = false;
    bool quit_ = false;
};

// Decoded entries of at least this many bytes finish their blocks on a
// borrowed core, where one is spare.
constexpr std::uint64_t FINISHER_MIN_BYTES = 1u << 20;

// The folders of one call whose stale temporary files have been removed,
// shared by the lanes: each is swept once.
struct SweptFolders {
    std::mutex mutex;
    std::vector<platform::FileId> folders;

    // True the first time a folder is asked for.
    bool first_visit(const platform::FileId& id) {
        std::lock_guard<std::mutex> lock(mutex);
        if (std::find(folders.begin(), folders.end(), id) != folders.end()) return false;
        folders.push_back(id);
        return true;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        folders.clear();
    }
};

// The ring an entry is decoded in: the stored size for a solid entry, whose
// stream goes on from the entries before it; otherwise as much as its own
// bytes need.
std::uint32_t decoder_ring(const EntryHeader& h) {
    if (h.solid) return h.ring_size;
    return BlockDecoder::ring_for(h.ring_size, h.unpacked_size, stream_settings(h.settings).lz_mode);
}

// Everything one entry's restoration works with: decoding buffers and
// models, the folders it has open below the destination, what it found. The
// walk has one lane; with workers, each has its own.
struct Lane {
    explicit Lane(ExtractObserver& o) : observer(&o) {}

    ExtractObserver* observer;
    std::atomic<std::uint64_t>* bytes_done = nullptr;
    // A worker's lane: what took effect (effects) and the links to make are
    // handed to the walk, which accounts for them in entry order. Before a
    // file or folder takes effect, await_turn waits until an earlier entry
    // for the same path has.
    bool in_worker = false;
    std::function<void()> await_turn;
    std::vector<std::string> effects;
    std::function<bool()> should_stop;
    bool write_files = true;
    std::unique_ptr<std::uint8_t[]> block;  // BLOCK_SIZE + BLOCK_SLACK
    std::unique_ptr<std::uint8_t[]> work;   // BLOCK_SIZE + BLOCK_SLACK
    std::unique_ptr<std::uint8_t[]> second_block;  // a finisher's, BLOCK_SIZE + BLOCK_SLACK
    std::unique_ptr<BlockDecoder> decoder;
    platform::SpareCores* spare = nullptr;  // cores a finisher may borrow
    ContentChecksum checksum;

    // What is done after the other entries of a call: links are made once
    // every file is in place, folders get their times after their contents.
    struct Deferred {
        std::vector<std::string> parts;  // below the destination, the entry's own name last
        std::string stored;
        std::string path;
        IntegrityRecord record;
        std::string target;  // links; hard links: the stored path of the file they name
        bool hard = false;   // a hard link
        Metadata meta;
        bool superseded = false;  // links: an entry stored later has the same path
    };
    std::vector<Deferred> links;
    std::vector<Deferred> folders;
    // The walk's lane: links not yet superseded, by path (index in links).
    std::unordered_map<std::string, std::size_t> pending_links;

    // Per extract_archive call.
    std::string destination;
    // Resolved once: afterwards everything is made relative to this folder,
    // whatever becomes of the destination's path.
    bool destination_resolved = false;
    platform::Directory destination_folder;
    SweptFolders* swept = nullptr;
    std::vector<std::string> entered_parts;  // the folder below it entered last
    platform::Directory entered_folder;
    platform::FileId archive_id;
    bool archive_id_known = false;
    bool solid_started = false;
    bool solid_broken = false;
    bool failed = false;
    bool out_of_memory = false;
    bool interrupted = false;
    std::string unfinished;
    std::uint64_t damaged = 0;

    // The pattern members of packs are selected by; listing on: what is
    // selected is told (listed), not restored.
    std::string pattern = "*";
    bool listing = false;
    std::vector<std::string> exclusions;
    // Of the pack just restored: its members the pattern selected, and
    // those restored soundly (or found sound).
    std::uint64_t members_selected = 0;
    std::uint64_t members_sound = 0;
    // While a pack is decoded: what is decoded of it so far, so that a
    // damaged pack names the members it held.
    const std::string* pack_content = nullptr;

    bool stop_requested() {
        if (!interrupted && should_stop && should_stop()) interrupted = true;
        return interrupted;
    }

    RestorePolicy policy = RestorePolicy::for_this_process();
    std::unordered_map<std::string, std::int64_t> user_ids;  // -1: no such name here
    std::unordered_map<std::string, std::int64_t> group_ids;

    // The owner to give a restored file: by name where this system knows
    // the name, else by number. False when owners are not restored.
    bool owner_to_set(const Metadata& m, std::uint32_t& uid, std::uint32_t& gid) {
        if (!policy.owners) return false;
        uid = m.uid;
        gid = m.gid;
        if (policy.numeric) return true;
        const auto look_up = [](std::unordered_map<std::string, std::int64_t>& cache, const std::string& name,
                                bool user, std::uint32_t& id) {
            if (name.empty()) return;
            // A name this system does not know is kept as such: the number
            // stored with each file stands then.
            auto it = cache.find(name);
            if (it == cache.end()) {
                std::uint32_t found = 0;
                const bool known = user ? platform::user_id(name, found) : platform::group_id(name, found);
                it = cache.emplace(name, known ? static_cast<std::int64_t>(found) : -1).first;
            }
            if (it->second >= 0) id = static_cast<std::uint32_t>(it->second);
        };
        look_up(user_ids, m.uname, true, uid);
        look_up(group_ids, m.gname, false, gid);
        return true;
    }

    bool restores_attribute(const std::string& name) const {
        if (name.compare(0, 5, "user.") == 0) return true;
        if (name == "security.selinux") return policy.selinux;
        return policy.privileged;
    }

    // Sets a restored file's owner, then its attributes (after the owner: a
    // change of owner drops capabilities). True when the owner was set, so
    // that set-id and sticky bits may stay. What the system refuses is told
    // as a warning. The ACLs follow the mode (apply_acls).
    template <typename Target>
    bool apply_metadata(Target& target, const Metadata& m, const std::string& path) {
        bool owned = false;
        std::uint32_t uid = 0;
        std::uint32_t gid = 0;
        if (owner_to_set(m, uid, gid)) {
            const int error = target.set_owner(uid, gid);
            owned = error == 0;
            if (!owned) observer->metadata_not_restored(path, "its owner (" + platform::error_text(error) + ")");
        }
        for (const auto& xattr : m.xattrs) {
            if (!restores_attribute(xattr.first)) continue;
            const int error = target.set_attribute(xattr.first, xattr.second);
            if (error != 0) {
                observer->metadata_not_restored(path, "the attribute " + xattr.first + " (" + platform::error_text(error) + ")");
            }
        }
        return owned;
    }

    // The ACLs of a file whose mode is set: an access ACL sets the group
    // bits of the mode to its mask.
    template <typename Target>
    void apply_acls(Target& target, const Metadata& m, const std::string& path) {
        if (policy.privileged) {
            for (int i = 0; i < 2; ++i) {
                const std::string& text = i == 0 ? m.acl_access : m.acl_default;
                if (text.empty()) continue;
                std::string value;
                const char* name = i == 0 ? ACL_ACCESS_ATTRIBUTE : ACL_DEFAULT_ATTRIBUTE;
                const int error = acl_attribute_value(text, i == 1, value) ? target.set_attribute(name, value) : EINVAL;
                if (error != 0) {
                    observer->metadata_not_restored(path, std::string(i == 0 ? "its access ACL" : "its default ACL") +
                                                              " (" + platform::error_text(error) + ")");
                }
            }
        }
    }

    void report(const EntryHeader& h, const std::string& problem) {
        if (pack_content != nullptr) {
            report_pack(h, problem);
            return;
        }
        observer->damaged_entry(stored_path(h), problem);
        failed = true;
        ++damaged;
    }

    // Extraction selects base names in any case; a listing as they are.
    bool selects(const std::string& path) const {
        const std::string base = platform::base_name(path);
        return wildcard_match(pattern.c_str(), listing ? base.c_str() : platform::lower_case_ascii(base).c_str()) &&
               !path_excluded(exclusions, path, true);
    }

    // A damaged pack: each selected member that what was decoded of it
    // names is reported damaged, and the pack itself where members after
    // them cannot be named.
    void report_pack(const EntryHeader& h, const std::string& problem) {
        const std::string& content = *pack_content;
        pack_content = nullptr;
        std::string unread;
        std::uint64_t named = 0;
        parse_pack(reinterpret_cast<const std::uint8_t*>(content.data()), content.size(),
                   [&](const PackMember& member, const std::uint8_t*) {
                       if (selects(member.path)) {
                           ++members_selected;
                           ++named;
                           observer->damaged_entry(member.path, "its pack " + stored_path(h) + " is damaged: " + problem);
                           failed = true;
                           ++damaged;
                       }
                       return true;
                   },
                   unread);
        if (named == 0 || !unread.empty()) {
            const std::string rest = named == 0 ? problem : problem + "; the members after those named cannot be told";
            observer->damaged_entry(stored_path(h), rest);
            failed = true;
            ++damaged;
        }
    }

    bool prepare_buffers() {
        if (!block) block.reset(new (std::nothrow) std::uint8_t[BLOCK_SIZE + BLOCK_SLACK]());
        if (!work) work.reset(new (std::nothrow) std::uint8_t[BLOCK_SIZE + BLOCK_SLACK]());
        if (!decoder) decoder.reset(new (std::nothrow) BlockDecoder());
        return block && work && decoder;
    }

    // Opens the destination folder, creating it level by level where it is
    // missing, the first time it is asked for in a call; false when that
    // failed. The destination itself may be reached through links; it is
    // looked up by its path only this once.
    bool resolve_destination() {
        if (!destination_resolved) {
            destination_resolved = true;
            for (std::size_t i = 0; i < destination.size(); ++i) {
                if (platform::is_separator(destination[i]) && i > 0 &&
                    !(i == 2 && platform::has_drive_prefix(destination))) {
                    platform::make_directory(destination.substr(0, i));
                }
            }
            if (destination_folder.open(destination.empty() ? std::string(".") : destination)) sweep(destination_folder);
        }
        return destination_folder.is_open();
    }

    bool open_destination(platform::Directory& folder) { return resolve_destination() && folder.open_same(destination_folder); }

    // Removes what killed runs left in a folder, the first time the call
    // enters it.
    void sweep(const platform::Directory& folder) {
        platform::FileId id;
        if (swept != nullptr && folder.identity(id) && swept->first_visit(id)) folder.remove_stale_temporaries();
    }

    std::string below_destination() const {
        std::string path = destination;
        if (!path.empty() && !platform::is_separator(path.back())) path.push_back(platform::SEPARATOR);
        return path;
    }

    // The components of the entry's path below the destination, and the
    // path for messages. False when the entry cannot be restored (the
    // observer was told). Everything is made relative to open folders, so
    // the whole path may be of any length; each component must fit.
    bool output_parts(const EntryHeader& h, std::vector<std::string>& parts, std::string& path) {
        bool escaped = false;
        parts = entry_parts(h, escaped);
        if (parts.empty()) {
            report(h, "the entry has no file name");
            return false;
        }
        if (escaped) observer->leads_outside(stored_path(h));
        path = below_destination();
        for (std::size_t i = 0; i < parts.size(); ++i) {
            if (i > 0) path.push_back(platform::SEPARATOR);
            path += parts[i];
        }
        path = platform::normalise_separators(path);
        for (const std::string& part : parts) {
            if (part.size() > platform::MAX_NAME_BYTES) {
                observer->path_too_long(path);
                failed = true;
                return false;
            }
        }
        return true;
    }

    // True when name in folder is the archive being read, which no entry
    // replaces, whatever its kind (the observer was told).
    bool is_archive(const platform::Directory& folder, const std::string& name, const std::string& stored,
                    const std::string& path) {
        platform::FileId existing;
        if (!archive_id_known || folder.status_of(name, &existing).type == platform::EntryType::Missing ||
            existing != archive_id) {
            return false;
        }
        observer->would_replace_archive(stored, path);
        failed = true;
        return true;
    }

    // Entries take effect in archive order: the one stored last for a path
    // decides what is there. A file or folder that takes the path of a link
    // not yet made keeps that link from being made.
    void take_effect(const std::string& path) {
        if (in_worker) {
            effects.push_back(path);
            return;
        }
        const auto it = pending_links.find(path);
        if (it == pending_links.end()) return;
        links[it->second].superseded = true;
        pending_links.erase(it);
    }
    // A link to make once every file is in place.
    void defer_link(Deferred&& link) {
        if (!in_worker) {
            take_effect(link.path);
            pending_links[link.path] = links.size();
        }
        links.push_back(std::move(link));
    }

    // Enters the folders parts[0 .. count - 1] below the destination,
    // creating them where missing and never following a link. False when
    // that fails (the observer was told).
    bool enter_folders(const std::vector<std::string>& parts, std::size_t count, const std::string& stored,
                       const std::string& path, platform::Directory& folder) {
        // Entries of one folder come one after another: the folder last
        // entered is kept open.
        if (count > 0 && count == entered_parts.size() && std::equal(parts.begin(), parts.begin() + count,
                                                                     entered_parts.begin())) {
            if (folder.open_same(entered_folder)) return true;
        }
        if (!open_destination(folder)) {
            observer->cannot_create(path);
            failed = true;
            return false;
        }
        std::string reached = below_destination();
        for (std::size_t i = 0; i < count; ++i) {
            reached += parts[i];
            platform::Directory child;
            const platform::Directory::Step step = folder.enter(parts[i], child);
            if (step == platform::Directory::Step::Link) {
                observer->meets_link(stored, reached);
                failed = true;
                return false;
            }
            if (step != platform::Directory::Step::Entered) {
                observer->cannot_create(path);
                failed = true;
                return false;
            }
            folder = std::move(child);
            sweep(folder);
            reached.push_back(platform::SEPARATOR);
        }
        if (count > 0 && entered_folder.open_same(folder)) {
            entered_parts.assign(parts.begin(), parts.begin() + count);
        } else {
            entered_parts.clear();
        }
        return true;
    }

    // Creates the folders of a file's path and a temporary file in the last
    // of them. False when the entry cannot be written (the observer was
    // told).
    bool prepare_output(const EntryHeader& h, Output& out) {
        std::vector<std::string> parts;
        if (!output_parts(h, parts, out.path)) return false;
        if (!enter_folders(parts, parts.size() - 1, stored_path(h), out.path, out.folder)) return false;
        out.name = parts.back();
        if (is_archive(out.folder, out.name, stored_path(h), out.path)) return false;
        if (out.folder.status_of(out.name).type == platform::EntryType::Directory ||
            !out.folder.create_temporary(out.name, out.file, out.temporary_name)) {
            observer->cannot_create(out.path);
            failed = true;
            return false;
        }
        return true;
    }

    // Refused: decoded soundly (a solid archive goes on), but the entry has
    // no name to restore it under and was reported damaged.
    enum class Outcome { Sound, Damaged, Stopped, Refused };

    // Decodes one entry whose header has been checked: a selected one into
    // a file (or, for a link, its target) when writing is on, otherwise
    // only to check it (and, in a solid archive, to keep the models in
    // step). Damaged, Stopped and a failed write leave nothing behind, and a
    // file the entry would have replaced stays. A selected entry without a
    // usable name is damaged whether or not files are written.
    Outcome extract_entry(ArchiveReader& archive, const ArchiveReader::Entry& entry, bool selected) {
        const EntryHeader& h = entry.header;
        const EntryType type = entry.has_record ? entry.record.type : EntryType::File;
        bool write = selected && write_files;
        bool unnamed = false;
        if (selected && entry_key(h).empty()) {
            report(h, "the entry has no file name");
            if (!h.solid) return Outcome::Damaged;
            unnamed = true;
            write = false;
        }
        Output output;
        Deferred deferred;
        std::string pack;
        if (type == EntryType::Pack) {
            if (h.unpacked_size > MAX_PACK_BYTES) {
                report(h, "its pack is larger than any add writes");
                return Outcome::Damaged;
            }
            members_selected = 0;
            members_sound = 0;
            pack.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(h.unpacked_size, BLOCK_SIZE)));
            pack_content = &pack;
        }
        struct PackGuard {
            Lane& lane;
            ~PackGuard() { lane.pack_content = nullptr; }
        } pack_guard{*this};
        if (write && type == EntryType::File) {
            if (prepare_output(h, output)) observer->restoring(output.path);
        } else if (write && type != EntryType::Pack) {
            if (output_parts(h, deferred.parts, deferred.path)) {
                deferred.stored = stored_path(h);
                deferred.record = entry.record;
                deferred.meta = entry_metadata(entry);
            } else {
                write = false;
            }
        }

        if (!prepare_buffers() || ((!h.solid || !solid_started) && !decoder->reset_all(decoder_ring(h)))) {
            out_of_memory = true;
            return Outcome::Stopped;
        }
        if (!h.solid || !solid_started) {
            solid_started = h.solid != 0;
        } else if (decoder->ring_size() != h.ring_size) {
            report(h, "its ring size differs from the earlier entries of the solid archive");
            return Outcome::Damaged;
        }
        if (type == EntryType::Link && h.unpacked_size > MAX_LINK_TARGET) {
            report(h, "its link target is too long");
            return Outcome::Damaged;
        }

        const std::uint64_t stream_length = archive.stream_length();
        decoder->begin_stream(&archive.stream(), stream_settings(h.settings), stream_length);
        checksum.reset();

        // The inverse filters, the checksum and the writes of a decoded
        // block. A failed write is told by the decoding thread (note_write),
        // in the place where it came.
        bool write_ok = true;
        bool write_told = false;
        const BlockFinisher::Step finish = [&](std::uint8_t* data, std::uint32_t n, bool text_flag) {
            undo_filters(data, n, h.settings, text_flag, work.get());
            if (bytes_done != nullptr) bytes_done->fetch_add(n, std::memory_order_relaxed);
            if (entry.has_record) checksum.update(data, n);
            if (type == EntryType::Link && write) deferred.target.append(reinterpret_cast<const char*>(data), n);
            if (type == EntryType::Pack) pack.append(reinterpret_cast<const char*>(data), n);
            if (output.open() && write_ok) {
                for (std::uint32_t done = 0; done < n && write_ok;) {
                    const std::uint32_t piece = std::min<std::uint32_t>(static_cast<std::uint32_t>(WRITE_PIECE), n - done);
                    write_ok = output.file.write(data + done, piece);
                    done += piece;
                }
            }
        };
        const auto note_write = [&] {
            if (write_ok || write_told) return;
            write_told = true;
            observer->cannot_write(output.path);
            failed = true;
            output.discard();  // an incomplete file is not left behind
        };
        // A large entry decodes block k + 1 while block k is finished on a
        // borrowed core, into the two buffers in turn. Declared after the
        // output, so that it has stopped before the output goes.
        BlockFinisher finisher;
        std::uint8_t* block = this->block.get();
        for (std::uint64_t restored = 0; restored < h.unpacked_size;) {
            if (stop_requested()) {
                finisher.stop();
                if (output.open()) unfinished = output.path;
                return Outcome::Stopped;
            }
            const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::uint64_t>(BLOCK_SIZE, h.unpacked_size - restored));
            bool text_flag = false;
            bool raw_flag = false;
            const DecodeStatus status = decoder->decode_block(block, n, text_flag, raw_flag);
            finisher.drain();
            note_write();
            if (status != DecodeStatus::Ok) {
                report(h, status == DecodeStatus::Damaged
                              ? "its coded stream asks for data outside the history or the block"
                              : "its coded stream ends before the file is complete");
                return Outcome::Damaged;
            }
            restored += n;
            if (finisher.running()) {
                finisher.submit(block, n, text_flag);
                block = block == this->block.get() ? second_block.get() : this->block.get();
                continue;
            }
            finish(block, n, text_flag);
            note_write();
            if (restored < h.unpacked_size && h.unpacked_size >= FINISHER_MIN_BYTES && spare != nullptr &&
                spare->available() > 0) {
                if (!second_block) second_block.reset(new (std::nothrow) std::uint8_t[BLOCK_SIZE + BLOCK_SLACK]());
                if (second_block) finisher.start(spare, finish);
            }
        }
        finisher.stop();
        note_write();
        if (decoder->consumed() != stream_length) {
            report(h, "its coded stream does not end where the entry ends");
            return Outcome::Damaged;
        }
        if (entry.has_record && checksum.value() != entry.record.content_checksum) {
            report(h, "checksum mismatch: its content is not what was stored");
            return Outcome::Damaged;
        }
        if (entry.has_record && !archive.stream_matches(entry.record)) {
            report(h, "checksum mismatch: its coded stream is not what was stored");
            return Outcome::Damaged;
        }
        if (type == EntryType::Pack) {
            pack_content = nullptr;
            return unpack(h, entry.offset, pack, selected) ? Outcome::Sound : Outcome::Damaged;
        }
        if (output.open()) {
            if (entry.has_record) {
                const Metadata meta = entry_metadata(entry);
                const bool owned = apply_metadata(output.file, meta, output.path);
                output.file.restore_times_and_mode(entry.record.mode, entry.record.mtime_seconds,
                                                   entry.record.mtime_nanoseconds, owned);
                apply_acls(output.file, meta, output.path);
            }
            if (await_turn) await_turn();
            commit(output);
        } else if (write && type == EntryType::Folder) {
            if (await_turn) await_turn();
            place_folder(std::move(deferred));
        } else if (write && type == EntryType::Link) {
            defer_link(std::move(deferred));
        }
        return unnamed ? Outcome::Refused : Outcome::Sound;
    }

    // A folder entry: made (never through a link) and given its times once
    // its contents are in place.
    void place_folder(Deferred&& deferred) {
        platform::Directory parent;
        platform::Directory folder;
        const std::vector<std::string>& parts = deferred.parts;
        if (enter_folders(parts, parts.size() - 1, deferred.stored, deferred.path, parent) &&
            !is_archive(parent, parts.back(), deferred.stored, deferred.path) &&
            enter_folders(parts, parts.size(), deferred.stored, deferred.path, folder)) {
            observer->restoring(deferred.path);
            take_effect(deferred.path);
            folders.push_back(std::move(deferred));
        }
    }

    // The members of a pack whose content has been checked, each restored
    // as an entry of its own would be: selected by the same pattern, through
    // the same output, with the same metadata. False when the pack is not a
    // sound pax stream (the members before were restored).
    bool unpack(const EntryHeader& h, std::uint64_t offset, const std::string& pack, bool selected) {
        if (!selected) return true;
        // Entries stored before the pack take effect first.
        if (await_turn && write_files && !listing) await_turn();
        std::string problem;
        const bool parsed = parse_pack(
            reinterpret_cast<const std::uint8_t*>(pack.data()), pack.size(),
            [&](const PackMember& member, const std::uint8_t* data) {
                if (stop_requested()) return false;
                if (!selects(member.path)) return true;
                ++members_selected;
                EntryHeader mh;
                const std::size_t slash = member.path.rfind('/');
                mh.name = slash == std::string::npos ? member.path : member.path.substr(slash + 1);
                mh.dir = slash == std::string::npos ? std::string() : member.path.substr(0, slash + 1);
                mh.unpacked_size = member.size;
                IntegrityRecord record;
                record.type = member.type;
                record.mode = member.mode;
                record.mtime_seconds = member.mtime_seconds;
                record.mtime_nanoseconds = member.mtime_nanoseconds;
                if (listing) {
                    ++members_sound;
                    ListedEntry listed;
                    listed.path = member.path;
                    listed.unpacked_size = member.size;
                    listed.has_record = true;
                    listed.member = true;
                    listed.record = record;
                    listed.settings = h.settings;
                    listed.offset = offset;
                    listed.pack = stored_path(h);
                    listed.has_owner = true;
                    listed.uid = member.meta.uid;
                    listed.gid = member.meta.gid;
                    listed.uname = member.meta.uname;
                    listed.gname = member.meta.gname;
                    if (member.type == EntryType::HardLink) listed.target = member.target;
                    listed.sparse = !member.sparse.empty();
                    listed.data_bytes = member.data_bytes();
                    observer->listed(listed);
                    return true;
                }
                if (entry_key(mh).empty()) {
                    report(mh, "the entry has no file name");
                    return true;
                }
                if (place_member(mh, record, member, data)) ++members_sound;
                return true;
            },
            problem);
        if (!parsed) report(h, problem);
        return parsed;
    }

    // One member of a pack; false when it could not be restored (the
    // observer was told).
    bool place_member(const EntryHeader& mh, const IntegrityRecord& record, const PackMember& member,
                      const std::uint8_t* data) {
        if (!write_files) return true;
        const bool failed_before = failed;
        failed = false;
        Deferred deferred;
        if (member.type == EntryType::File) {
            Output output;
            if (prepare_output(mh, output)) {
                observer->restoring(output.path);
                bool ok = true;
                if (member.sparse.empty()) {
                    for (std::uint64_t done = 0; done < member.size && ok;) {
                        const std::size_t piece =
                            static_cast<std::size_t>(std::min<std::uint64_t>(WRITE_PIECE, member.size - done));
                        ok = output.file.write(data + done, piece);
                        done += piece;
                    }
                } else {
                    // Only the data is written, each run at its place: the
                    // holes between stay holes.
                    const std::uint8_t* next = data;
                    for (const auto& run : member.sparse) {
                        ok = ok && output.file.write_at(run.first, next, static_cast<std::size_t>(run.second));
                        next += run.second;
                    }
                    ok = ok && output.file.truncate(member.size);
                }
                if (!ok) {
                    observer->cannot_write(output.path);
                    failed = true;
                    output.discard();
                } else {
                    const bool owned = apply_metadata(output.file, member.meta, output.path);
                    output.file.restore_times_and_mode(record.mode, record.mtime_seconds, record.mtime_nanoseconds,
                                                       owned);
                    apply_acls(output.file, member.meta, output.path);
                    commit(output);
                }
            }
        } else if (member.type == EntryType::Fifo || member.type == EntryType::CharDevice ||
                   member.type == EntryType::BlockDevice) {
            place_node(mh, record, member);
        } else if (output_parts(mh, deferred.parts, deferred.path)) {
            deferred.stored = stored_path(mh);
            deferred.record = record;
            deferred.meta = member.meta;
            if (member.type == EntryType::Folder) {
                place_folder(std::move(deferred));
            } else {
                deferred.target = member.target;
                deferred.hard = member.type == EntryType::HardLink;
                defer_link(std::move(deferred));
            }
        }
        const bool ok = !failed;
        failed = failed || failed_before;
        return ok;
    }

    // A FIFO or a device node, made where the member's path says. Only root
    // makes devices; anyone else is told for each.
    void place_node(const EntryHeader& mh, const IntegrityRecord& record, const PackMember& member) {
        std::vector<std::string> parts;
        std::string path;
        if (!output_parts(mh, parts, path)) return;
        if (member.type != EntryType::Fifo && !policy.privileged) {
            observer->cannot_make_device(path);
            failed = true;
            return;
        }
        platform::Directory folder;
        if (!enter_folders(parts, parts.size() - 1, stored_path(mh), path, folder)) return;
        if (is_archive(folder, parts.back(), stored_path(mh), path)) return;
        if (await_turn) await_turn();
        const platform::Directory::Node node = member.type == EntryType::Fifo ? platform::Directory::Node::Fifo
                                               : member.type == EntryType::CharDevice
                                                   ? platform::Directory::Node::CharDevice
                                                   : platform::Directory::Node::BlockDevice;
        if (folder.status_of(parts.back()).type == platform::EntryType::Directory ||
            folder.make_node(parts.back(), node, record.mode, member.device_major, member.device_minor) != 0) {
            observer->cannot_create(path);
            failed = true;
            return;
        }
        observer->restoring(path);
        take_effect(path);
        NodeTarget target{folder, parts.back()};
        const bool owned = apply_metadata(target, member.meta, path);
        folder.restore_node_times_and_mode(parts.back(), record.mode, record.mtime_seconds, record.mtime_nanoseconds,
                                           owned);
        apply_acls(target, member.meta, path);
    }

    // A name in an open folder (a link, a node), as apply_metadata sets
    // its owner and attributes, never following a link.
    struct NodeTarget {
        platform::Directory& folder;
        const std::string& name;
        int set_owner(std::uint32_t uid, std::uint32_t gid) { return folder.set_owner_of(name, uid, gid); }
        int set_attribute(const std::string& attribute, const std::string& value) {
            return folder.set_attribute_of(name, attribute, value);
        }
    };

    // A hard link of the call: made to the file its target names, which
    // must be a file restored below the destination.
    void make_hard_link(const Deferred& link) {
        EntryHeader th;
        const std::size_t slash = link.target.rfind('/');
        th.name = slash == std::string::npos ? link.target : link.target.substr(slash + 1);
        th.dir = slash == std::string::npos ? std::string() : link.target.substr(0, slash + 1);
        bool escaped = false;
        const std::vector<std::string> target_parts = entry_parts(th, escaped);
        if (target_parts.empty() || escaped) {
            observer->hard_link_refused(link.path, link.target, "it lies outside the destination");
            failed = true;
            return;
        }
        platform::Directory from;
        platform::Directory folder;
        if (!enter_folders(target_parts, target_parts.size() - 1, link.stored, link.path, from)) return;
        const platform::EntryStatus status = from.status_of(target_parts.back());
        if (status.type != platform::EntryType::Regular) {
            observer->hard_link_refused(link.path, link.target,
                                        status.type == platform::EntryType::Missing ? "it was not restored"
                                        : status.type == platform::EntryType::Link  ? "it is a symbolic link"
                                                                                    : "it is not a file");
            failed = true;
            return;
        }
        if (!enter_folders(link.parts, link.parts.size() - 1, link.stored, link.path, folder)) return;
        if (is_archive(folder, link.parts.back(), link.stored, link.path)) return;
        if (folder.status_of(link.parts.back()).type == platform::EntryType::Directory ||
            folder.make_hard_link(from, target_parts.back(), link.parts.back()) != 0) {
            observer->cannot_create(link.path);
            failed = true;
            return;
        }
        observer->restoring(link.path);
    }

    void commit(Output& output) {
        if (output.commit()) {
            take_effect(output.path);
        } else {
            observer->cannot_create(output.path);
            failed = true;
        }
    }

    // Makes the links of the call, then gives the folders their times,
    // deepest first.
    void finish_deferred() {
        // Hard links first: a symbolic link made later may stand in a
        // target's path.
        for (const Deferred& link : links) {
            if (!link.superseded && link.hard) make_hard_link(link);
        }
        for (const Deferred& link : links) {
            if (link.superseded || link.hard) continue;
            platform::Directory folder;
            if (!enter_folders(link.parts, link.parts.size() - 1, link.stored, link.path, folder)) continue;
            if (is_archive(folder, link.parts.back(), link.stored, link.path)) continue;
            const platform::EntryStatus status = folder.status_of(link.parts.back());
            if (status.type == platform::EntryType::Directory || !folder.make_link(link.target, link.parts.back())) {
                observer->cannot_create(link.path);
                failed = true;
                continue;
            }
            observer->restoring(link.path);
            NodeTarget target{folder, link.parts.back()};
            apply_metadata(target, link.meta, link.path);
            folder.set_link_time(link.parts.back(), link.record.mtime_seconds, link.record.mtime_nanoseconds);
        }
        std::stable_sort(folders.begin(), folders.end(),
                         [](const Deferred& a, const Deferred& b) { return a.parts.size() > b.parts.size(); });
        for (const Deferred& f : folders) {
            platform::Directory folder;
            if (!enter_folders(f.parts, f.parts.size(), f.stored, f.path, folder)) continue;
            const bool owned = apply_metadata(folder, f.meta, f.path);
            folder.restore_times_and_mode(f.record.mode, f.record.mtime_seconds, f.record.mtime_nanoseconds, owned);
            apply_acls(folder, f.meta, f.path);
        }
        links.clear();
        pending_links.clear();
        folders.clear();
    }
};

// What a lane on a worker thread tells, kept to be told in entry order.
class Recording : public ExtractObserver {
public:
    void damaged_archive(std::uint64_t offset, const std::string& problem) override {
        keep([=](ExtractObserver& o) { o.damaged_archive(offset, problem); });
    }
    void not_an_archive(const std::string& problem) override {
        keep([=](ExtractObserver& o) { o.not_an_archive(problem); });
    }
    void damaged_entry(const std::string& stored, const std::string& problem) override {
        keep([=](ExtractObserver& o) { o.damaged_entry(stored, problem); });
    }
    void leads_outside(const std::string& stored) override {
        keep([=](ExtractObserver& o) { o.leads_outside(stored); });
    }
    void path_too_long(const std::string& path) override {
        keep([=](ExtractObserver& o) { o.path_too_long(path); });
    }
    void cannot_create(const std::string& path) override {
        keep([=](ExtractObserver& o) { o.cannot_create(path); });
    }
    void cannot_write(const std::string& path) override {
        keep([=](ExtractObserver& o) { o.cannot_write(path); });
    }
    void meets_link(const std::string& stored, const std::string& link) override {
        keep([=](ExtractObserver& o) { o.meets_link(stored, link); });
    }
    void would_replace_archive(const std::string& stored, const std::string& path) override {
        keep([=](ExtractObserver& o) { o.would_replace_archive(stored, path); });
    }
    void restoring(const std::string& path) override {
        keep([=](ExtractObserver& o) { o.restoring(path); });
    }
    void waiting_for(const std::string& archive) override {
        keep([=](ExtractObserver& o) { o.waiting_for(archive); });
    }
    void listed(const ListedEntry& entry) override {
        keep([=](ExtractObserver& o) { o.listed(entry); });
    }
    void metadata_not_restored(const std::string& path, const std::string& what) override {
        keep([=](ExtractObserver& o) { o.metadata_not_restored(path, what); });
    }
    void cannot_make_device(const std::string& path) override {
        keep([=](ExtractObserver& o) { o.cannot_make_device(path); });
    }
    void hard_link_refused(const std::string& path, const std::string& target, const std::string& why) override {
        keep([=](ExtractObserver& o) { o.hard_link_refused(path, target, why); });
    }
    void tell(ExtractObserver& observer) {
        for (const auto& event : events_) event(observer);
        events_.clear();
    }

private:
    void keep(std::function<void(ExtractObserver&)> event) { events_.push_back(std::move(event)); }
    std::vector<std::function<void(ExtractObserver&)>> events_;
};

// One non-solid entry restored by a worker.
struct Task {
    ArchiveReader::Entry entry;
    // Nonzero: the entry's file or folder waits until this many entries of
    // the walk have been settled, which includes an earlier one for the
    // same path.
    std::uint64_t after_settled = 0;
    // Reserved from the budget for it: the decoding buffers and its ring.
    std::uint64_t reserved = 0;
    std::uint64_t ring_bytes = 0;
    // Filled by the worker.
    Recording told;
    Lane::Outcome outcome = Lane::Outcome::Sound;
    std::vector<std::string> effects;
    std::vector<Lane::Deferred> links;
    std::vector<Lane::Deferred> folders;
    bool failed = false;
    std::uint64_t damaged = 0;
    bool out_of_memory = false;
    bool interrupted = false;
    std::string unfinished;
    // A pack: its members the pattern selected, and those found sound.
    std::uint64_t members_selected = 0;
    std::uint64_t members_sound = 0;
    bool done = false;
};

struct Extractor::Impl {
    explicit Impl(ExtractObserver& o) : observer(o), lane(o) {}

    ExtractObserver& observer;
    std::function<bool()> should_stop;
    bool write_files = true;
    unsigned workers = 1;
    std::uint64_t memory_budget = 0;  // 0: no bound
    std::atomic<std::uint64_t>* bytes_done = nullptr;
    Lane lane;  // the walk's own

    // Workers whose decoders fit in the budget with the smallest rings; how
    // many of them decode at once depends on the rings their entries need,
    // which the walk reserves from the budget entry by entry.
    unsigned fitting_workers() const {
        if (memory_budget == 0) return workers;
        return static_cast<unsigned>(std::max<std::uint64_t>(
            1, std::min<std::uint64_t>(workers, memory_budget / worker_bytes(MIN_DECODER_RING))));
    }
    static std::uint64_t worker_bytes(std::uint32_t ring_size) {
        return std::uint64_t{ring_size} + 2ull * (BLOCK_SIZE + BLOCK_SLACK) + sizeof(CoderState);
    }
    // Cores left when lanes decode, as far as the budget covers a finisher's
    // second block for each.
    int spare_cores(unsigned lanes, std::uint32_t ring_size) const {
        if (workers <= lanes) return 0;
        std::uint64_t cores = workers - lanes;
        const std::uint64_t used = lanes * worker_bytes(ring_size);
        if (memory_budget != 0) {
            cores = std::min<std::uint64_t>(cores, memory_budget > used ? (memory_budget - used) / (BLOCK_SIZE + BLOCK_SLACK) : 0);
        }
        return static_cast<int>(cores);
    }

    // Workers restore non-solid entries, each file taking its real name as
    // soon as it is complete (so that a killed run leaves at most one
    // temporary file per worker); the walk tells what they found, and
    // accounts for what took effect, in entry order.
    //
    // A task holds its reservation from the budget until its worker has let
    // go of the entry's ring; the share of its decoding buffers then stays
    // with the worker, which keeps them, until it takes the next task
    // (reserved with buffers of its own) or ends.
    struct Pool {
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<Task*> queue;
        bool closing = false;
        std::uint64_t settled = 0;  // entries of the walk settled so far
        std::vector<std::thread> threads;
        std::unique_ptr<MemoryBudget> budget;
    };

    SweptFolders swept;

    void run_worker(Pool& pool, const std::string& archive_path, const Lane& model) {
        Lane worker(observer);
        worker.spare = model.spare;
        worker.should_stop = should_stop;
        worker.write_files = write_files;
        worker.bytes_done = bytes_done;
        worker.in_worker = true;
        worker.destination = model.destination;
        // The walk's open destination, never its path.
        worker.destination_resolved = true;
        worker.swept = model.swept;
        worker.archive_id = model.archive_id;
        worker.archive_id_known = model.archive_id_known;
        worker.pattern = model.pattern;
        worker.listing = model.listing;
        worker.policy = model.policy;
        worker.exclusions = model.exclusions;
        Task* task = nullptr;
        worker.await_turn = [&] {
            std::unique_lock<std::mutex> lock(pool.mutex);
            pool.changed.wait(lock, [&] { return pool.settled >= task->after_settled; });
        };
        ArchiveReader archive;
        const bool opened = archive.open_unlocked(archive_path);
        std::uint64_t kept = 0;  // the buffers' share of an earlier task's reservation
        for (;;) {
            task = nullptr;
            {
                std::unique_lock<std::mutex> lock(pool.mutex);
                pool.changed.wait(lock, [&] { return !pool.queue.empty() || pool.closing; });
                if (pool.queue.empty()) {
                    // Nothing more to decode: this worker's core may finish
                    // another's blocks.
                    if (worker.spare != nullptr) worker.spare->give();
                    pool.budget->give(kept);
                    return;
                }
                task = pool.queue.front();
                pool.queue.pop_front();
            }
            // Tasks that write come after the walk has resolved the
            // destination.
            if (!worker.destination_folder.is_open()) worker.destination_folder.open_same(model.destination_folder);
            pool.budget->give(kept);
            kept = 0;
            worker.observer = &task->told;
            worker.failed = false;
            worker.damaged = 0;
            worker.out_of_memory = false;
            worker.unfinished.clear();
            worker.solid_started = false;
            worker.members_selected = 0;
            worker.members_sound = 0;
            if (!opened) {
                worker.observer->cannot_create(stored_path(task->entry.header));
                worker.failed = true;
                task->outcome = Lane::Outcome::Damaged;
            } else {
                archive.select(task->entry);
                task->outcome = worker.extract_entry(archive, task->entry, true);
            }
            task->effects = std::move(worker.effects);
            if (worker.decoder) worker.decoder->release_ring();
            pool.budget->end_task(task->ring_bytes);
            kept = task->reserved - task->ring_bytes;
            task->links = std::move(worker.links);
            task->folders = std::move(worker.folders);
            worker.effects.clear();
            worker.links.clear();
            worker.folders.clear();
            task->failed = worker.failed;
            task->damaged = worker.damaged;
            task->out_of_memory = worker.out_of_memory;
            task->interrupted = worker.interrupted;
            task->unfinished = worker.unfinished;
            task->members_selected = worker.members_selected;
            task->members_sound = worker.members_sound;
            {
                std::lock_guard<std::mutex> lock(pool.mutex);
                task->done = true;
            }
            pool.changed.notify_all();
        }
    }
};

Extractor::Extractor(ExtractObserver& observer) : impl_(std::make_unique<Impl>(observer)) {}

Extractor::~Extractor() = default;

void Extractor::set_stop_check(std::function<bool()> should_stop) {
    impl_->should_stop = should_stop;
    impl_->lane.should_stop = std::move(should_stop);
}

void Extractor::set_writing(bool write_files) {
    impl_->write_files = write_files;
    impl_->lane.write_files = write_files;
}

void Extractor::set_workers(unsigned workers, std::uint64_t memory_budget) {
    impl_->workers = workers == 0 ? 1 : workers;
    impl_->memory_budget = memory_budget;
}

void Extractor::set_exclusions(std::vector<std::string> patterns) { impl_->lane.exclusions = std::move(patterns); }

void Extractor::set_listing(bool listing) {
    impl_->lane.listing = listing;
    if (listing) set_writing(false);
}

RestorePolicy RestorePolicy::for_this_process() {
    RestorePolicy policy;
    policy.owners = platform::running_as_root();
    policy.privileged = policy.owners;
    return policy;
}

void Extractor::set_restore_policy(const RestorePolicy& policy) { impl_->lane.policy = policy; }

void Extractor::set_progress(std::atomic<std::uint64_t>* bytes_done) {
    impl_->bytes_done = bytes_done;
    impl_->lane.bytes_done = bytes_done;
}

ExtractResult Extractor::extract_archive(const std::string& archive_path, const std::string& destination_directory,
                                         const std::string& pattern) {
    Impl& impl = *impl_;
    Lane& m = impl.lane;
    m.observer = &impl.observer;
    m.destination = destination_directory;
    m.destination_folder.close();
    m.entered_parts.clear();
    m.entered_folder.close();
    m.solid_started = false;
    m.solid_broken = false;
    m.failed = false;
    m.out_of_memory = false;
    m.interrupted = false;
    m.unfinished.clear();
    m.damaged = 0;
    m.links.clear();
    m.pending_links.clear();
    m.folders.clear();
    m.destination_resolved = false;
    m.pattern = pattern;
    impl.swept.clear();
    m.swept = &impl.swept;
    ExtractResult result;

    ArchiveReader archive;
    if (!archive.open(archive_path, &impl.observer)) {
        result.status = ExtractStatus::CannotOpenArchive;
        return result;
    }
    m.archive_id_known = archive.identity(m.archive_id);

    // Entries in walk order: a task for a worker, or what the walk itself
    // found, told when every entry before it has been.
    struct Item {
        std::unique_ptr<Task> task;
        Recording told;
        std::uint64_t index = 0;  // in walk order
        std::string key;          // tasks: the entry's path
        bool pack = false;        // tasks: a pack, whose members' paths are not known before it is decoded
    };
    std::uint64_t walked = 0;
    int first_solid = -1;
    bool parallel = false;
    std::deque<std::unique_ptr<Item>> items;
    Impl::Pool pool;
    const auto settle = [&](Item& item) {
        item.told.tell(impl.observer);
        Task* task = item.task.get();
        if (task == nullptr) return;
        task->told.tell(impl.observer);
        for (const std::string& path : task->effects) m.take_effect(path);
        for (auto& link : task->links) m.defer_link(std::move(link));
        for (auto& folder : task->folders) m.folders.push_back(std::move(folder));
        if (task->failed) m.failed = true;
        m.damaged += task->damaged;
        if (task->out_of_memory) m.out_of_memory = true;
        if (task->interrupted && !m.interrupted) {
            m.interrupted = true;
            m.unfinished = task->unfinished;
        }
        if (item.pack) {
            result.selected += task->members_selected;
            result.verified += task->members_sound;
        } else if (task->outcome == Lane::Outcome::Sound) {
            ++(task->entry.has_record ? result.verified : result.unverified);
        }
    };
    // Settles the items at the head that are done; with wait, waits for
    // the head until at most keep items are left.
    const auto settle_done = [&](std::size_t keep) {
        while (!items.empty()) {
            Item& head = *items.front();
            if (head.task) {
                std::unique_lock<std::mutex> lock(pool.mutex);
                if (items.size() > keep) {
                    pool.changed.wait(lock, [&] { return head.task->done; });
                } else if (!head.task->done) {
                    return;
                }
            }
            settle(head);
            items.pop_front();
            if (parallel) {
                {
                    std::lock_guard<std::mutex> lock(pool.mutex);
                    ++pool.settled;
                }
                pool.changed.notify_all();
            }
        }
    };
    // Reserves an entry's need from the budget before a worker may take
    // it. While it waits, the entries at the head that are done are
    // settled: a worker holding its reservation may be waiting for an
    // earlier entry of the same path to be settled.
    const auto reserve = [&](std::uint64_t bytes) {
        while (!pool.budget->begin_task_within(bytes, std::chrono::milliseconds(20))) settle_done(items.size());
    };

    std::unique_ptr<platform::SpareCores> spare;
    ArchiveReader::Entry entry;
    while (!m.stop_requested() && !m.out_of_memory && archive.next(entry)) {
        const EntryHeader& h = entry.header;
        if (first_solid < 0 && !ends_walk(entry.check)) {
            first_solid = h.solid != 0;
            // Entries of a solid archive are decoded one after another.
            const unsigned workers = impl.fitting_workers();
            parallel = workers > 1 && first_solid == 0;
            const int spare_count = impl.spare_cores(parallel ? workers : 1, parallel ? MIN_DECODER_RING : h.ring_size);
            spare = std::make_unique<platform::SpareCores>(spare_count);
            m.spare = spare.get();
            // The finishers' second blocks are taken from the budget first.
            const std::uint64_t finishers = static_cast<std::uint64_t>(spare_count) * (BLOCK_SIZE + BLOCK_SLACK);
            const std::uint64_t budget = impl.memory_budget;
            pool.budget = std::make_unique<MemoryBudget>(
                budget == 0 ? 0 : std::max<std::uint64_t>(1, budget - std::min(finishers, budget)));
            // The walk decodes nothing itself while workers do.
            if (parallel && m.decoder) m.decoder->release_ring();
            for (unsigned i = 0; parallel && i < workers; ++i) {
                pool.threads.push_back(
                    platform::start_thread([&impl, &pool, &archive_path, &m] { impl.run_worker(pool, archive_path, m); }));
            }
        }
        auto item = std::make_unique<Item>();
        item->index = walked++;
        if (parallel) m.observer = &item->told;
        // A pack is always opened: the pattern selects its members.
        const bool pack = entry.check == HeaderCheck::Ok && entry.has_record && entry.record.type == EntryType::Pack;
        const bool matched = pack || m.selects(stored_path(h));
        if (ends_walk(entry.check)) {
            // A first entry whose size cannot be, with nothing sound after
            // it: this is no archive, not a damaged one.
            if (item->index == 0 && entry.check == HeaderCheck::BadSize && entry.resumes_at == 0) {
                result.not_an_archive = true;
                m.observer->not_an_archive(entry.problem);
            } else {
                m.observer->damaged_archive(entry.offset, entry.problem);
            }
            m.failed = true;
            ++m.damaged;
            // Where the walk resumes, a solid stream cannot.
            m.solid_broken = true;
        } else if (entry.check == HeaderCheck::BadEntry) {
            m.report(h, entry.problem);
            if (h.solid) m.solid_broken = true;
        } else if ((h.solid != 0) != (first_solid == 1)) {
            m.report(h, "its solid flag differs from the archive's first entry");
        } else if (h.solid && m.solid_broken) {
            if (matched) {
                ++result.selected;
                m.report(h, "an earlier entry of the solid archive is damaged");
            }
        } else if (m.listing && !pack && matched && !h.solid) {
            // Listed from its header and record alone.
            ++result.selected;
            m.observer->listed(listed_entry(entry));
        } else if (matched && parallel) {
            if (!pack) ++result.selected;
            item->task = std::make_unique<Task>();
            item->task->entry = entry;
            item->pack = pack;
            if (impl.write_files) {
                // Resolved before any worker writes; they all work in it.
                m.resolve_destination();
                // An earlier entry for the same path, not yet settled,
                // takes effect first; so does every entry before a pack,
                // and a pack before every entry after it.
                item->key = pack ? std::string() : entry_key(h);
                if (pack) item->task->after_settled = item->index;
                for (auto it = items.rbegin(); it != items.rend() && !pack && !item->key.empty(); ++it) {
                    if ((*it)->task && ((*it)->pack || (*it)->key == item->key)) {
                        item->task->after_settled = (*it)->index + 1;
                        break;
                    }
                }
            }
            // The entry's need counts before any worker may take it: a
            // pack's content is held whole.
            item->task->ring_bytes = decoder_ring(h);
            item->task->reserved = Impl::worker_bytes(decoder_ring(h)) + (pack ? h.unpacked_size : 0);
            reserve(item->task->reserved);
            {
                std::lock_guard<std::mutex> lock(pool.mutex);
                pool.queue.push_back(item->task.get());
            }
            pool.changed.notify_all();
        } else if (matched || h.solid) {
            if (matched && !pack) ++result.selected;
            if (m.listing && !pack && matched) {
                m.observer->listed(listed_entry(entry));
            }
            // In a solid archive every entry is decoded, to keep the models
            // in step; only the selected ones are written.
            m.members_selected = 0;
            m.members_sound = 0;
            const Lane::Outcome outcome = m.extract_entry(archive, entry, matched && (pack || !m.listing));
            if ((outcome == Lane::Outcome::Damaged || outcome == Lane::Outcome::Stopped) && h.solid) {
                m.solid_broken = true;
            }
            if (pack) {
                result.selected += m.members_selected;
                result.verified += m.members_sound;
            } else if (outcome == Lane::Outcome::Sound && matched) {
                ++(entry.has_record ? result.verified : result.unverified);
            }
        }
        items.push_back(std::move(item));
        // A few entries ahead of the oldest unsettled one, so that what the
        // workers found waits to be told in bounded number.
        settle_done(parallel ? 4u * impl.workers : 0u);
        if (ends_walk(entry.check) && entry.resumes_at == 0) break;
    }
    // No more tasks: idle workers end and leave their cores to the others.
    {
        std::lock_guard<std::mutex> lock(pool.mutex);
        pool.closing = true;
    }
    pool.changed.notify_all();
    settle_done(0);
    for (std::thread& t : pool.threads) t.join();
    m.spare = nullptr;
    m.observer = &impl.observer;
    if (m.out_of_memory) {
        result.status = ExtractStatus::NoMemory;
    } else {
        m.finish_deferred();
    }
    m.destination_folder.close();
    m.entered_parts.clear();
    m.entered_folder.close();
    if (m.interrupted && !m.out_of_memory) {
        result.status = ExtractStatus::Interrupted;
        result.unfinished = m.unfinished;
    }
    result.failed = m.failed;
    result.damaged = m.damaged;
    return result;
}

}  // namespace qev
