// Removing entries from an archive: the archive is written anew, beside
// itself, and takes the old one's place only once it is complete. Entries
// that stay are copied byte for byte; a pack that loses members is decoded,
// and what it keeps is coded again as one pack. Nothing here prints.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "format/archive_reader.h"

namespace qev {

struct RemovalOptions {
    // How a pack that loses members is coded again (its ring size is the
    // one the pack was stored with).
    SearchSettings search;
    // Asked between entries and before every block coded; true stops the
    // removal with the archive as it was.
    std::function<bool()> should_stop;
    LockWaiter* waiter = nullptr;
    // Packs are first decoded this many at once, each by a thread of its
    // own, to find those that lose members.
    unsigned workers = 1;
};

enum class RemovalStatus {
    Done,             // removed what matched; nothing matched: the archive is untouched
    CannotOpen,       // problem says why
    NotSound,         // a damaged entry at problem_offset: nothing is changed
    SolidRefused,     // a solid archive: nothing is changed
    NoMemory,
    CannotWrite,      // the new archive could not be made or written (problem says why): the old one stays
    Interrupted,      // the old archive stays
};

struct RemovalResult {
    RemovalStatus status = RemovalStatus::Done;
    std::string problem;
    std::uint64_t problem_offset = 0;
    std::string new_path;                 // CannotWrite: the new archive that could not be written
    std::vector<std::string> removed;     // stored paths, in archive order
    std::uint64_t removed_entries = 0;    // entries of their own, and packs left with no member
    std::uint64_t removed_members = 0;
    std::uint64_t recoded_packs = 0;      // packs coded again with the members they kept
    std::uint64_t kept_entries = 0;
    bool dropped_unfinished = false;      // an unfinished entry at the end (a stopped add) was left out
    bool archive_removed = false;         // nothing was left: the archive was removed
};

// Removes from the archive every entry of its own, and every pack member,
// whose stored path remove() accepts. The archive is held under the
// exclusive lock throughout; the new one is a temporary file in the same
// folder, renamed over the archive once it is complete and on the disk. A
// run that ends early for whatever reason, a killed one too, leaves the
// archive as it was (a killed run leaves its temporary file, which the
// next removal in that folder, or an extraction there, takes away). An
// archive left with no entry is removed.
RemovalResult remove_entries(const std::string& archive_path,
                             const std::function<bool(const std::string& stored_path)>& remove,
                             const RemovalOptions& options);

}  // namespace qev
