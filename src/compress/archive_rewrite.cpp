#include "compress/archive_rewrite.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "compress/analysis.h"
#include "compress/entry_coder.h"
#include "format/archive_format.h"
#include "format/filter_chain.h"
#include "format/integrity_record.h"
#include "format/pack.h"
#include "platform/interruption.h"
#include "platform/platform_file.h"

namespace qev {

namespace {

// Bytes copied at a time from the old archive to the new one.
constexpr std::size_t COPY_PIECE = 1u << 20;

class StringSink : public ByteSink {
public:
    bool write(const std::uint8_t* data, std::size_t n) override {
        bytes.append(reinterpret_cast<const char*>(data), n);
        return true;
    }
    std::string bytes;
};

// Decodes a pack's content whole and checks it against its record; false
// when it is damaged (problem says how) or memory is short (no_memory).
bool decode_content(ArchiveReader& reader, const ArchiveReader::Entry& entry, std::string& content,
                    std::string& problem, bool& no_memory, const std::function<bool()>& stop) {
    const EntryHeader& h = entry.header;
    if (h.unpacked_size > MAX_PACK_BYTES) {
        problem = "its pack is larger than any add writes";
        return false;
    }
    std::unique_ptr<std::uint8_t[]> block(new (std::nothrow) std::uint8_t[BLOCK_SIZE + BLOCK_SLACK]());
    std::unique_ptr<std::uint8_t[]> work(new (std::nothrow) std::uint8_t[BLOCK_SIZE + BLOCK_SLACK]());
    std::unique_ptr<BlockDecoder> decoder(new (std::nothrow) BlockDecoder());
    if (!block || !work || !decoder ||
        !decoder->reset_all(BlockDecoder::ring_for(h.ring_size, h.unpacked_size, stream_settings(h.settings).lz_mode))) {
        no_memory = true;
        return false;
    }
    reader.select(entry);
    const std::uint64_t stream_length = reader.stream_length();
    decoder->begin_stream(&reader.stream(), stream_settings(h.settings), stream_length);
    ContentChecksum checksum;
    content.clear();
    content.reserve(static_cast<std::size_t>(h.unpacked_size));
    for (std::uint64_t done = 0; done < h.unpacked_size;) {
        if (stop()) {
            problem = "interrupted";
            return false;
        }
        const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::uint64_t>(BLOCK_SIZE, h.unpacked_size - done));
        bool text_flag = false;
        bool raw_flag = false;
        if (decoder->decode_block(block.get(), n, text_flag, raw_flag) != DecodeStatus::Ok) {
            problem = "its coded stream cannot be decoded";
            return false;
        }
        undo_filters(block.get(), n, h.settings, text_flag, work.get());
        checksum.update(block.get(), n);
        content.append(reinterpret_cast<const char*>(block.get()), n);
        done += n;
    }
    if (decoder->consumed() != stream_length || checksum.value() != entry.record.content_checksum ||
        !reader.stream_matches(entry.record)) {
        problem = "checksum mismatch: its content is not what was stored";
        return false;
    }
    return true;
}

// The new archive in the making: a temporary file beside the old one.
struct NewArchive {
    platform::Directory folder;
    platform::File file;
    std::string name;       // the archive's own name in folder
    std::string temporary;  // the temporary file's name there
    bool open = false;

    ~NewArchive() { discard(); }
    void discard() {
        if (!open) return;
        file.close();
        folder.remove(temporary);
        open = false;
    }
};

// What the first look at a pack found.
enum class PackLook { NotPack, Untouched, Changes, Damaged, NoMemory, Stopped };

// Decodes every pack once, on several threads, each with its own reader of
// the archive, to learn which of them hold members to remove; problems[i]
// says what is wrong with a damaged pack. Only which packs change is kept,
// not their content, so that memory does not grow with the archive.
std::vector<PackLook> look_at_packs(const std::string& archive_path, const std::vector<ArchiveReader::Entry>& entries,
                                    const std::function<bool(const std::string&)>& remove, unsigned workers,
                                    const std::function<bool()>& stop, std::vector<std::string>& problems) {
    std::vector<PackLook> looks(entries.size(), PackLook::NotPack);
    problems.assign(entries.size(), std::string());
    std::vector<std::size_t> packs;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].has_record && entries[i].record.type == EntryType::Pack) packs.push_back(i);
    }
    std::atomic<std::size_t> next{0};
    std::mutex remove_mutex;
    const auto work = [&] {
        ArchiveReader reader;
        const bool opened = reader.open_unlocked(archive_path);
        std::string content;
        for (std::size_t k; (k = next.fetch_add(1)) < packs.size();) {
            const std::size_t i = packs[k];
            bool no_memory = false;
            if (!opened) {
                looks[i] = PackLook::Damaged;
                problems[i] = "it cannot be read again";
                continue;
            }
            if (!decode_content(reader, entries[i], content, problems[i], no_memory, stop)) {
                looks[i] = stop() ? PackLook::Stopped : no_memory ? PackLook::NoMemory : PackLook::Damaged;
                continue;
            }
            bool changes = false;
            const bool parsed = parse_pack(
                reinterpret_cast<const std::uint8_t*>(content.data()), content.size(),
                [&](const PackMember& member, const std::uint8_t*) {
                    std::lock_guard<std::mutex> lock(remove_mutex);
                    if (remove(member.path)) changes = true;
                    return true;
                },
                problems[i]);
            looks[i] = !parsed ? PackLook::Damaged : changes ? PackLook::Changes : PackLook::Untouched;
        }
    };
    std::vector<std::thread> threads;
    for (unsigned t = 1; t < std::min<std::size_t>(std::max(workers, 1u), packs.size()); ++t) {
        try {
            threads.push_back(platform::start_thread(work));
        } catch (const std::system_error&) {
            break;
        }
    }
    work();
    for (std::thread& t : threads) t.join();
    return looks;
}

// Copies bytes [from, to) of the old archive to the end of the new one.
bool copy_range(platform::File& old_file, std::uint64_t from, std::uint64_t to, platform::File& out,
                std::vector<std::uint8_t>& buffer, const std::function<bool()>& stop) {
    if (!old_file.seek(from)) return false;
    while (from < to) {
        if (stop()) return false;
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), to - from));
        if (old_file.read(buffer.data(), n) != n || !out.write(buffer.data(), n)) return false;
        from += n;
    }
    return true;
}

}  // namespace

RemovalResult remove_entries(const std::string& archive_path,
                             const std::function<bool(const std::string& stored_path)>& remove,
                             const RemovalOptions& options) {
    RemovalResult result;
    const auto stop = [&] { return options.should_stop && options.should_stop(); };
    const auto fail = [&](RemovalStatus status, const std::string& problem = std::string()) {
        result.status = status;
        result.problem = problem;
        return result;
    };

    // The archive, under the exclusive lock; one that another run replaced
    // while we waited for it is opened again.
    platform::File old_file;
    for (int tries = 0;; ++tries) {
        if (!old_file.open_read_write(archive_path)) {
            return fail(RemovalStatus::CannotOpen, platform::open_failure_reason(archive_path, errno));
        }
        if (old_file.is_pipe()) return fail(RemovalStatus::CannotOpen, "it is not a regular file");
        if (!lock_archive(old_file, archive_path, true, options.waiter)) return fail(RemovalStatus::Interrupted);
        platform::FileId held;
        platform::FileId named;
        if (old_file.identity(held) && platform::path_identity(archive_path, named) && held == named) break;
        old_file.close();
        if (tries == 16) {
            return fail(RemovalStatus::CannotOpen, "other programs kept replacing it while it was opened");
        }
    }

    ArchiveReader reader;
    reader.walk(old_file);
    std::vector<ArchiveReader::Entry> entries;
    for (ArchiveReader::Entry entry; reader.next(entry);) {
        if (entry.check == HeaderCheck::Unfinished && entry.resumes_at == 0) {
            // What an add that was killed left at the end: never part of
            // the archive. (The look-ahead found no sound entry after it.)
            result.dropped_unfinished = true;
            break;
        }
        if (entry.check == HeaderCheck::Unfinished) {
            result.problem_offset = entry.offset;
            return fail(RemovalStatus::NotSound, "an entry that was never finished is followed by complete entries");
        }
        if (entry.check != HeaderCheck::Ok) {
            result.problem_offset = entry.offset;
            return fail(RemovalStatus::NotSound, entry.problem);
        }
        if (entries.empty() && entry.header.solid != 0) return fail(RemovalStatus::SolidRefused);
        entries.push_back(entry);
    }
    if (reader.size() == 0) return fail(RemovalStatus::CannotOpen, "it is empty, not an archive");

    NewArchive out;
    out.name = platform::base_name(archive_path);
    std::string directory = archive_path.substr(0, archive_path.size() - out.name.size());
    if (directory.empty()) directory = ".";
    std::vector<std::uint8_t> buffer;
    // Entries are copied in runs: from copy_from up to the entry that
    // changes.
    std::uint64_t copy_from = 0;
    const auto start_new = [&]() -> bool {
        if (out.open) return true;
        if (!out.folder.open(directory)) return false;
        out.folder.remove_stale_temporaries();
        if (!out.folder.create_temporary(out.name, out.file, out.temporary)) return false;
        out.open = true;
        buffer.resize(COPY_PIECE);
        return true;
    };
    const auto flush_copy = [&](std::uint64_t to) {
        return copy_range(old_file, copy_from, to, out.file, buffer, stop);
    };
    const auto write_failed = [&]() {
        const int error = errno;
        if (stop()) {
            out.discard();
            return fail(RemovalStatus::Interrupted);
        }
        const std::string shown = (directory == "." ? std::string() : directory) +
                                  (out.open ? out.temporary : out.name + ".qev-partial-XXXXXX");
        out.discard();
        result.new_path = shown;
        return fail(RemovalStatus::CannotWrite, platform::error_text(error));
    };

    std::vector<std::string> problems;
    const std::vector<PackLook> looks = look_at_packs(archive_path, entries, remove, options.workers, stop, problems);
    std::unique_ptr<EntryCoder> coder;
    std::uint32_t coder_ring = 0;
    Analyser analyser;
    EntropyMeter entropy;
    std::string content;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (stop()) return fail(RemovalStatus::Interrupted);
        const ArchiveReader::Entry& entry = entries[i];
        const std::uint64_t end = entry.offset + entry.header.entry_size;
        const bool pack = entry.has_record && entry.record.type == EntryType::Pack;
        if (!pack) {
            if (!remove(stored_path(entry.header))) {
                ++result.kept_entries;
                continue;
            }
            result.removed.push_back(stored_path(entry.header));
            ++result.removed_entries;
            if (!start_new() || !flush_copy(entry.offset)) return write_failed();
            copy_from = end;
            continue;
        }
        // A pack's members are known only once it is decoded: a pack that
        // loses none is copied as it is.
        std::string problem;
        switch (looks[i]) {
            case PackLook::Untouched:
                ++result.kept_entries;
                continue;
            case PackLook::Damaged:
                result.problem_offset = entry.offset;
                return fail(RemovalStatus::NotSound,
                            "the pack " + stored_path(entry.header) + " is damaged: " + problems[i]);
            case PackLook::NoMemory:
                return fail(RemovalStatus::NoMemory);
            case PackLook::Stopped:
                return fail(RemovalStatus::Interrupted);
            case PackLook::NotPack:
            case PackLook::Changes:
                break;
        }
        bool no_memory = false;
        if (!decode_content(reader, entry, content, problem, no_memory, stop)) {
            if (stop()) return fail(RemovalStatus::Interrupted);
            if (no_memory) return fail(RemovalStatus::NoMemory);
            result.problem_offset = entry.offset;
            return fail(RemovalStatus::NotSound, "the pack " + stored_path(entry.header) + " is damaged: " + problem);
        }
        PackBuilder builder;
        if (!builder.problem().empty()) return fail(RemovalStatus::NoMemory);
        IntegrityRecord record;
        record.type = EntryType::Pack;
        record.mode = 0644;
        record.mtime_seconds = 0;
        record.mtime_nanoseconds = 0;
        std::vector<std::string> removed;
        bool built = true;
        const bool parsed = parse_pack(
            reinterpret_cast<const std::uint8_t*>(content.data()), content.size(),
            [&](const PackMember& member, const std::uint8_t* data) {
                if (remove(member.path)) {
                    removed.push_back(member.path);
                    return true;
                }
                if (!builder.add(member, data)) {
                    built = false;
                    return false;
                }
                if (member.mtime_seconds > record.mtime_seconds ||
                    (member.mtime_seconds == record.mtime_seconds &&
                     member.mtime_nanoseconds > record.mtime_nanoseconds)) {
                    record.mtime_seconds = member.mtime_seconds;
                    record.mtime_nanoseconds = member.mtime_nanoseconds;
                }
                return true;
            },
            problem);
        if (!built) return fail(RemovalStatus::NoMemory);
        if (!parsed) {
            result.problem_offset = entry.offset;
            return fail(RemovalStatus::NotSound, "the pack " + stored_path(entry.header) + " is damaged: " + problem);
        }
        if (removed.empty()) {
            ++result.kept_entries;
            continue;
        }
        result.removed.insert(result.removed.end(), removed.begin(), removed.end());
        result.removed_members += removed.size();
        if (!start_new() || !flush_copy(entry.offset)) return write_failed();
        copy_from = end;
        if (builder.members() == 0) {
            ++result.removed_entries;
            continue;
        }
        // What the pack keeps, coded again as one pack under its old name,
        // which no other entry of the archive has.
        if (!builder.finish()) return fail(RemovalStatus::NoMemory);
        SearchSettings search = options.search;
        search.ring_size = entry.header.ring_size;
        // A coder is made for one ring: a pack stored with another needs its own.
        if (!coder || coder_ring != search.ring_size) {
            coder.reset();
            coder = std::make_unique<EntryCoder>(search, false);
            coder_ring = search.ring_size;
            if (!coder->prepare()) return fail(RemovalStatus::NoMemory);
        }
        std::string& stream = builder.bytes();
        EntryHeader header;
        header.name = entry.header.name;
        header.dir = entry.header.dir;
        header.unpacked_size = stream.size();
        {
            const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::uint64_t>(stream.size(), BLOCK_SIZE));
            std::vector<std::uint8_t> sample(n + SAMPLE_SLACK);
            std::vector<std::uint8_t> scratch(n + BLOCK_SLACK);
            std::copy(stream.begin(), stream.begin() + n, sample.begin());
            header.settings = analyser.analyse(sample.data(), n, scratch.data());
        }
        header.search_depth = search.search_depth;
        header.ring_size = entry.header.ring_size;
        EntryInput input;
        input.use_bytes(std::move(stream));
        StringSink coded;
        const EntryCoder::Outcome outcome = coder->code(input, header.unpacked_size, false, header.settings, coded,
                                                      entropy, options.should_stop, nullptr);
        if (outcome.interrupted) return fail(RemovalStatus::Interrupted);
        if (outcome.write_failed) return fail(RemovalStatus::NoMemory);
        header.entry_size = header.header_size() + coded.bytes.size() + RECORD_BYTES;
        const std::vector<std::uint8_t> header_bytes = serialize_header(header);
        record.content_checksum = outcome.content_checksum;
        record.stream_length = coded.bytes.size();
        record.stream_checksum =
            checksum_of(reinterpret_cast<const std::uint8_t*>(coded.bytes.data()), coded.bytes.size());
        record.header_checksum = checksum_of(header_bytes.data(), header_bytes.size());
        const std::vector<std::uint8_t> record_bytes = serialize_record(record);
        if (!out.file.write(header_bytes.data(), header_bytes.size()) ||
            !out.file.write(coded.bytes.data(), coded.bytes.size()) ||
            !out.file.write(record_bytes.data(), record_bytes.size())) {
            return write_failed();
        }
        ++result.recoded_packs;
        ++result.kept_entries;
    }
    // Nothing matched: the archive stays as it is, not even copied.
    if (!out.open) {
        if (!result.dropped_unfinished) return result;
        if (!start_new()) return write_failed();
    }
    const std::uint64_t last_end =
        entries.empty() ? 0 : entries.back().offset + entries.back().header.entry_size;
    if (!flush_copy(last_end)) return write_failed();
    if (stop()) return fail(RemovalStatus::Interrupted);
    // Nothing left: no file is an archive without entries.
    if (result.kept_entries == 0) {
        out.discard();
        out.folder.remove(out.name);
        result.archive_removed = true;
        return result;
    }
    // The new archive keeps the old one's permission bits; its time is now.
    std::uint32_t mode = 0644;
    std::int64_t seconds = 0;
    std::uint32_t nanoseconds = 0;
    if (old_file.times_and_mode(mode, seconds, nanoseconds)) {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
        out.file.restore_times_and_mode(mode, ns / 1000000000, static_cast<std::uint32_t>(ns % 1000000000));
    }
    if (!out.file.sync() || !out.folder.rename(out.temporary, out.name)) return write_failed();
    out.open = false;
    out.file.close();
    return result;
}

}  // namespace qev
