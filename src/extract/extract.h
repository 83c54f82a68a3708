// Extraction: the restoration of an archive's entries under a destination
// directory. What happens on the way is told to an observer; nothing here
// prints.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "format/archive_reader.h"
#include "format/filters.h"
#include "format/integrity_record.h"
#include "format/metadata.h"

namespace qev {

// An entry, or a member of a pack, as a listing shows it.
struct ListedEntry {
    std::string path;                // as stored: dir and name
    std::uint64_t unpacked_size = 0; // bytes of the file
    std::uint64_t stored_size = 0;   // bytes of its entry; 0 for a member of a pack
    bool has_record = false;
    bool member = false;             // a member of a pack
    IntegrityRecord record;          // type, mode and time, with has_record
    FileSettings settings;           // how its entry (a member's pack) was coded
    std::uint64_t offset = 0;        // where its entry (a member's pack) starts in the archive
    std::string pack;                // a member's pack, by its stored name
    bool has_owner = false;          // the owner and group stored (numbers, and names where known)
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    std::string uname;
    std::string gname;
    std::string target;              // a hard link's: the path of the file it names
    std::uint64_t data_bytes = 0;    // a sparse file's data, holes left out
    bool sparse = false;
};

// What of a file's metadata goes back besides its content, mode and time.
struct RestorePolicy {
    bool owners = false;      // owners are set: by name where this system knows it, else by number
    bool numeric = false;     // owners by number only
    bool privileged = false;  // trusted.* and security.* attributes, ACLs, device nodes
    bool selinux = false;     // SELinux labels (security.selinux)
    // What a run as root restores.
    static RestorePolicy for_this_process();
};

// What the extraction meets, in the order it meets it. Every call but
// restoring(), leads_outside() and waiting_for() is a failure of that entry
// or of the walk.
class ExtractObserver : public LockWaiter {
public:
    // The walk stops at offset: the entry there has no size to trust.
    virtual void damaged_archive(std::uint64_t offset, const std::string& problem) = 0;
    // The file's first entry cannot be an entry at all, and no sound entry
    // follows: the file is no archive (problem says what was found). Told
    // instead of damaged_archive; the walk ends.
    virtual void not_an_archive(const std::string& problem) { damaged_archive(0, problem); }
    // The entry stored as stored_path cannot be restored.
    virtual void damaged_entry(const std::string& stored_path, const std::string& problem) = 0;
    // The entry's path would lead out of the destination; it is restored
    // under it (not a failure).
    virtual void leads_outside(const std::string& stored_path) = 0;
    virtual void path_too_long(const std::string& path) = 0;
    virtual void cannot_create(const std::string& output_path) = 0;
    virtual void cannot_write(const std::string& output_path) = 0;
    // A folder of the entry's path below the destination is a symbolic
    // link (link_path): nothing is written through it.
    virtual void meets_link(const std::string& stored_path, const std::string& link_path) = 0;
    // The entry's output path is the archive being read.
    virtual void would_replace_archive(const std::string& stored_path, const std::string& output_path) = 0;
    // An output file is about to be written.
    virtual void restoring(const std::string& output_path) = 0;
    // With listing on: a selected entry or member.
    virtual void listed(const ListedEntry&) {}
    // Part of a restored file's metadata (what says which) could not be
    // set; the file is restored without it (not a failure).
    virtual void metadata_not_restored(const std::string&, const std::string&) {}
    // A device node that only root may make.
    virtual void cannot_make_device(const std::string& output_path) { cannot_create(output_path); }
    // A hard link whose target cannot be linked to (why says why).
    virtual void hard_link_refused(const std::string& output_path, const std::string&, const std::string&) {
        cannot_create(output_path);
    }
};

// An observer that is told everything and keeps nothing, for callers that
// need only the result.
class SilentExtractObserver : public ExtractObserver {
public:
    void damaged_archive(std::uint64_t, const std::string&) override {}
    void damaged_entry(const std::string&, const std::string&) override {}
    void leads_outside(const std::string&) override {}
    void path_too_long(const std::string&) override {}
    void cannot_create(const std::string&) override {}
    void cannot_write(const std::string&) override {}
    void meets_link(const std::string&, const std::string&) override {}
    void would_replace_archive(const std::string&, const std::string&) override {}
    void restoring(const std::string&) override {}
    void waiting_for(const std::string&) override {}
};

enum class ExtractStatus {
    Done,
    CannotOpenArchive,  // nothing was done
    NoMemory,           // the run ends at once
    Interrupted,        // should_stop said so; no partial file is left
};

struct ExtractResult {
    ExtractStatus status = ExtractStatus::Done;
    std::uint64_t selected = 0;  // entries the pattern selected
    // Of the entries decoded or found damaged: sound with a checksum that
    // matched, damaged, and sound but without an integrity record.
    std::uint64_t verified = 0;
    std::uint64_t damaged = 0;
    std::uint64_t unverified = 0;
    bool failed = false;         // anything went wrong (the observer was told)
    bool not_an_archive = false; // the file is no archive (not_an_archive was told)
    std::string unfinished;      // Interrupted: the output path being written, if any
};

class Extractor {
public:
    explicit Extractor(ExtractObserver& observer);
    ~Extractor();

    // Asked before every block and between entries; true stops the
    // extraction, removing the file being written.
    void set_stop_check(std::function<bool()> should_stop);
    // With writing off, selected entries are decoded and checked, and
    // nothing is written (the destination is not used).
    void set_writing(bool write_files);
    // How many entries of a non-solid archive are restored at once, each
    // by a worker with its own decoder; what they report is told in entry
    // order. A file takes its real name as soon as it is complete, except
    // that entries for the same path take effect in entry order.
    // The workers' decoders share memory_budget bytes (0: no bound): each
    // entry's ring and buffers are reserved before a worker takes it, so
    // fewer run at once where the entries' rings would not fit, and an
    // entry that needs more than the whole budget is decoded alone.
    void set_workers(unsigned workers, std::uint64_t memory_budget);
    // Where given, grows by every byte restored (for a progress display).
    void set_progress(std::atomic<std::uint64_t>* bytes_done);
    // With listing on, nothing is written: every selected entry, and every
    // selected member of a pack, is told to the observer's listed(), in
    // archive order. Only packs are decoded (and, in a solid archive, the
    // entries before them, whose history they need).
    void set_listing(bool listing);
    // Owners, attributes and devices: by default what the process may set.
    void set_restore_policy(const RestorePolicy& policy);
    // Entries and members whose stored path, or a folder of it, these
    // patterns match (path_excluded, format/wildcard.h) are not selected,
    // whatever the pattern of the call.
    void set_exclusions(std::vector<std::string> patterns);

    // Restores every entry whose lower-cased base name matches the
    // (lower-case) pattern under destination_directory, which ends with a
    // separator or is empty. Each call starts a solid archive from fresh
    // state. A selected entry whose name leaves nothing to restore is
    // damaged, also with writing off.
    //
    // The destination is looked up by its path once per call; everything
    // below it is made relative to open folders, so only each component of
    // a stored path must fit the system's limit on a name.
    //
    // Every file is written under a temporary name beside its real one and
    // takes the real name only once it has been restored completely, so a
    // failure or an interruption leaves an existing file as it was. Below
    // the destination no symbolic link is followed. Temporary files that a
    // killed run left in a folder the call enters are removed. No entry, of
    // whatever kind, replaces the archive being read.
    //
    // An entry with an integrity record is checked against its checksums
    // (a file whose content does not match is not left behind) and gets its
    // permission bits and modification time back (set-id and sticky bits
    // only where its owner was set), with its owner and attributes as the
    // policy says; stored links are made after every other entry of the call, and
    // folders get their times after their contents. Entries take effect in
    // archive order: of several entries for one path, whatever their kinds,
    // the one stored last wins (a link is not made where a later entry put
    // a file or folder).
    ExtractResult extract_archive(const std::string& archive_path, const std::string& destination_directory,
                                  const std::string& pattern);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qev
