// The archive reader and writer on their own: an entry written, walked and
// streamed back; an abandoned entry cut off; the graded header checks; and
// what the writer makes of an existing file before it appends.
#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "format/archive_reader.h"
#include "format/archive_writer.h"
#include "test_util.h"

namespace qev {
namespace {

using Bytes = std::vector<std::uint8_t>;

EntryHeader header_named(const std::string& name) {
    EntryHeader h;
    h.name = name;
    h.dir = "d/";
    h.unpacked_size = 3;
    return h;
}

// Every entry of an archive: its check and stream bytes.
std::vector<std::pair<HeaderCheck, Bytes>> walk(const std::string& path) {
    std::vector<std::pair<HeaderCheck, Bytes>> out;
    ArchiveReader reader;
    EXPECT_TRUE(reader.open(path));
    ArchiveReader::Entry entry;
    while (reader.next(entry)) {
        Bytes stream(reader.stream_length() + 4);
        stream.resize(ends_walk(entry.check) ? 0 : reader.stream().read(stream.data(), stream.size()));
        out.emplace_back(entry.check, stream);
    }
    return out;
}

TEST(ArchiveIo, WrittenEntriesWalkBackAndAnAbandonedOneIsCutOff) {
    e2e::TempDir t;
    const std::string path = t / "arc";
    ArchiveWriter writer;
    ASSERT_EQ(writer.open(path, false).status, ArchiveWriter::OpenStatus::Ok);
    const Bytes stream = {1, 2, 3, 4, 5, 6, 7};
    ASSERT_TRUE(writer.begin_entry(header_named("one")));
    ASSERT_TRUE(writer.sink().write(stream.data(), stream.size()));
    EXPECT_EQ(writer.entry_bytes(), FIXED_HEADER_BYTES + 4 + 3 + stream.size());
    ASSERT_TRUE(writer.finish_entry());
    const Bytes complete = test::read_file(path);
    ASSERT_TRUE(writer.begin_entry(header_named("two")));
    ASSERT_TRUE(writer.sink().write(stream.data(), stream.size()));
    writer.abandon_entry();
    EXPECT_FALSE(writer.removed());
    EXPECT_EQ(test::read_file(path), complete);
    const auto entries = walk(path);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].first, HeaderCheck::Ok);
    EXPECT_EQ(entries[0].second, stream);  // the stream ends where the entry ends
}

TEST(ArchiveIo, ExistingArchivesAreRepairedOnlyForAnUnfinishedTail) {
    e2e::TempDir t;
    e2e::RawEntry good;
    good.set_path("", "good");
    good.stream = {0, 0, 0, 0, 0};
    good.fix_size();
    e2e::RawEntry unfinished = good;
    unfinished.set_path("", "cut");
    unfinished.entry_size = 0;
    const Bytes sound = e2e::archive_bytes({good});
    const Bytes tail = e2e::archive_bytes({good, unfinished});
    test::write_file(t / "tail", tail);
    EXPECT_EQ(walk(t / "tail").back().first, HeaderCheck::Unfinished);

    ArchiveWriter writer;
    const ArchiveWriter::OpenReport repaired = writer.open(t / "tail", false);
    EXPECT_EQ(repaired.status, ArchiveWriter::OpenStatus::Ok);
    EXPECT_TRUE(repaired.repaired);
    EXPECT_EQ(repaired.dropped_offset, sound.size());
    EXPECT_EQ(repaired.dropped_bytes, tail.size() - sound.size());
    writer.close();
    EXPECT_EQ(test::read_file(t / "tail"), sound);

    // Size 0 before another entry, bad settings, or no archive at all: refused, untouched.
    e2e::RawEntry bad_settings = good;
    bad_settings.lz_mode = 7;
    for (const Bytes& damaged : {e2e::archive_bytes({unfinished, good}), e2e::archive_bytes({good, bad_settings}),
                                 e2e::bytes_of("plain text, long enough to be read as a header\n")}) {
        test::write_file(t / "damaged", damaged);
        EXPECT_EQ(writer.open(t / "damaged", false).status, ArchiveWriter::OpenStatus::NotSound);
        EXPECT_EQ(test::read_file(t / "damaged"), damaged);
    }
    e2e::RawEntry solid = good;
    solid.solid = 1;
    test::write_file(t / "solid", e2e::archive_bytes({solid}));
    EXPECT_EQ(writer.open(t / "solid", false).status, ArchiveWriter::OpenStatus::SolidRefused);
    EXPECT_EQ(writer.open(t / "tail", true).status, ArchiveWriter::OpenStatus::SolidRefused);
}

// Whether complete entries follow an unfinished one is told from the
// archive's end, not by a search through the bytes after it.
TEST(ArchiveIo, AnUnfinishedEntryIsJudgedFromTheArchivesEnd) {
    e2e::TempDir t;
    t.put("one.txt", test::wordy_bytes(3000, 5));
    ASSERT_EQ(e2e::run_qev(t.path(), {"a", "-b1", "-h1", "arc", "one.txt"}).status, 0);
    const Bytes complete = test::read_file(t / "arc");
    Bytes unpatched = complete;  // its record written, its size not yet patched in
    std::fill(unpatched.begin(), unpatched.begin() + 8, 0);
    // 64 MiB of 8-byte words that each hold their distance to the end, as
    // entry sizes would.
    Bytes sizes(64u << 20);
    const auto with_sizes = [&](Bytes archive) {
        const std::uint64_t end = archive.size() + sizes.size();
        for (std::size_t at = 0; at < sizes.size(); at += 8) {
            for (int i = 0; i < 8; ++i) sizes[at + i] = static_cast<std::uint8_t>((end - archive.size() - at) >> (8 * i));
        }
        archive.insert(archive.end(), sizes.begin(), sizes.end());
        return archive;
    };
    const auto joined = [](std::initializer_list<Bytes> parts) {
        Bytes out;
        for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
        return out;
    };
    const Bytes header_only(unpatched.begin(), unpatched.begin() + FIXED_HEADER_BYTES + 8 + 1);
    ASSERT_EQ(e2e::parse_archive(complete)[0].header_bytes(), header_only.size());

    ArchiveWriter writer;
    // A complete entry with its record after the unfinished one: refused.
    test::write_file(t / "followed", joined({complete, unpatched, complete}));
    EXPECT_EQ(writer.open(t / "followed", false).status, ArchiveWriter::OpenStatus::NotSound);
    // The unfinished entry's own record at the end: cut off.
    test::write_file(t / "own", joined({complete, unpatched}));
    ArchiveWriter::OpenReport report = writer.open(t / "own", false);
    EXPECT_TRUE(report.status == ArchiveWriter::OpenStatus::Ok && report.repaired);
    writer.close();
    EXPECT_EQ(test::read_file(t / "own"), complete);

    // Behind an archive with records, and alone: the add repairs at once.
    for (const Bytes& before : {complete, Bytes()}) {
        test::write_file(t / "sizes", with_sizes(joined({before, header_only})));
        e2e::RunOptions options;
        options.timeout_seconds = 15;
        const e2e::RunResult r = e2e::run_qev(t.path(), {"a", "-b1", "-h1", "sizes", "one.txt"}, options);
        EXPECT_TRUE(r.exited() && r.status == 0) << e2e::describe(r);
        EXPECT_EQ(test::read_file(t / "sizes").size(), before.size() + complete.size());
    }
}

}  // namespace
}  // namespace qev
