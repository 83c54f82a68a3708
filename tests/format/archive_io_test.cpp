// The archive reader and writer on their own: an entry written, walked and
// streamed back; an abandoned entry cut off; the graded header checks; and
// what the writer makes of an existing file before it appends.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace qev
