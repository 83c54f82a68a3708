// The integrity record: every single-bit flip in a default archive is
// reported and leaves no wrong file; a reader that knows nothing of the
// record still decodes every entry; and with -l a tree comes back with its
// times, modes, links and empty folders.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "engine/engine.h"
#include "extract/extract.h"
#include "format/archive_format.h"
#include "format/filter_chain.h"
#include "format/integrity_record.h"
#include "test_util.h"

namespace qev {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

using Quiet = SilentExtractObserver;

Bytes head_of(const std::string& corpus_name, std::size_t n) {
    Bytes b = test::read_file(test::corpus_path(corpus_name));
    b.resize(std::min(n, b.size()));
    return b;
}

// Two archives made by the program with default settings: a few mixed
// files, and several hundred small ones.
struct Archives {
    e2e::TempDir dir;
    std::map<std::string, Bytes> files;  // stored path -> content

    Archives() {
        const std::vector<std::pair<std::string, Bytes>> mixed = {
            {"mixed/alice.txt", head_of("alice29.txt", 30000)}, {"mixed/photo.jpeg", head_of("fireworks.jpeg", 20000)},
            {"mixed/table.gtb", head_of("kppkn.gtb", 20000)},  {"mixed/page.html", head_of("html", 15000)},
            {"mixed/empty.dat", Bytes()}};
        for (const auto& [path, bytes] : mixed) {
            dir.put(path, bytes);
            files[path] = bytes;
        }
        std::mt19937 rng(7);
        for (int i = 0; i < 300; ++i) {
            const std::string path = "small/f" + std::to_string(i) + (i % 3 ? ".txt" : ".bin");
            const Bytes bytes = i % 3 ? test::wordy_bytes(20 + rng() % 180, i) : test::random_bytes(20 + rng() % 180, i);
            dir.put(path, bytes);
            files[path] = bytes;
        }
        for (const char* name : {"mixed", "small"}) {
            const e2e::RunResult r = e2e::run_qev(dir.path(), {"a", "--no-packs", "-r", "-b1", "-h1", std::string(name) + ".qev", name});
            if (r.status != 0) throw std::runtime_error(e2e::describe(r));
        }
    }
};

// A scratch folder in memory where the system has one: hundreds of
// extractions of hundreds of files each.
struct Scratch {
    std::string path;
    Scratch() {
        char name[] = "/dev/shm/qev_flips_XXXXXX";
        char fallback[] = "/tmp/qev_flips_XXXXXX";
        const char* made = mkdtemp(name);
        path = made != nullptr ? made : mkdtemp(fallback);
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

TEST(Integrity, EveryBitFlipIsReportedAndLeavesNoWrongFile) {
    const Archives archives;
    const Scratch scratch;
    const std::string out = scratch.path + "/out";
    Quiet quiet;
    Extractor tester(quiet);
    tester.set_writing(false);
    Extractor extractor(quiet);
    std::mt19937 rng(20261209);
    int silent = 0;
    int flips = 0;
    for (const char* name : {"mixed.qev", "small.qev"}) {
        const Bytes original = test::read_file(archives.dir / name);
        for (int i = 0; i < 160; ++i, ++flips) {
            Bytes damaged = original;
            const std::size_t bit = rng() % (damaged.size() * 8);
            damaged[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
            const std::string arc = scratch.path + "/flipped.qev";
            test::write_file(arc, damaged);
            const ExtractResult tested = tester.extract_archive(arc, "", "*");
            fs::remove_all(out);
            const ExtractResult extracted = extractor.extract_archive(arc, out + "/", "*");
            if (!tested.failed || tested.damaged == 0 || !extracted.failed) {
                ++silent;
                ADD_FAILURE() << name << ": bit " << bit << " flipped silently";
            }
            if (!fs::exists(out)) continue;
            for (const auto& e : fs::recursive_directory_iterator(out)) {
                if (!e.is_regular_file()) continue;
                const std::string rel = fs::relative(e.path(), out).string();
                const auto expected = archives.files.find(rel);
                ASSERT_NE(expected, archives.files.end()) << name << ": bit " << bit << " left " << rel;
                EXPECT_EQ(test::read_file(e.path().string()), expected->second) << name << ": bit " << bit;
            }
        }
    }
    EXPECT_EQ(flips, 320);
    EXPECT_EQ(silent, 0);
}

// Every byte of a record matters: a flip in any field, or a record cut
// short, is reported.
TEST(Integrity, EveryRecordByteAndATruncatedRecordAreReported) {
    e2e::TempDir t;
    t.put("one.txt", test::wordy_bytes(5000, 3));
    ASSERT_EQ(e2e::run_qev(t.path(), {"a", "-b1", "-h1", "arc", "one.txt"}).status, 0);
    const Bytes original = test::read_file(t / "arc");
    Quiet quiet;
    Extractor tester(quiet);
    tester.set_writing(false);
    ASSERT_EQ(tester.extract_archive(t / "arc", "", "*").verified, 1u);
    for (std::size_t i = original.size() - RECORD_BYTES; i <= original.size(); ++i) {
        Bytes damaged = original;
        if (i == original.size()) {
            damaged.pop_back();
        } else {
            damaged[i] ^= static_cast<std::uint8_t>(1u << (i % 8));
        }
        test::write_file(t / "bad", damaged);
        const ExtractResult r = tester.extract_archive(t / "bad", "", "*");
        EXPECT_TRUE(r.failed && r.damaged == 1 && r.verified == 0) << "record byte " << i + RECORD_BYTES - original.size();
    }
}

// A reader that knows only the entry header: it decodes unpacked_size bytes
// from the stream's start and moves on by entry_size.
TEST(Integrity, ReaderWithoutTheRecordDecodesEveryEntry) {
    const Archives archives;
    for (const char* name : {"mixed.qev", "small.qev"}) {
        const std::vector<e2e::RawEntry> entries = e2e::parse_archive(test::read_file(archives.dir / name));
        ASSERT_GT(entries.size(), 4u);
        BlockDecoder decoder;
        Bytes block(BLOCK_SIZE + BLOCK_SLACK);
        Bytes work(BLOCK_SIZE + BLOCK_SLACK);
        for (const e2e::RawEntry& e : entries) {
            const FileSettings s = e.settings();
            ASSERT_TRUE(decoder.reset_all(e.ring_size));
            test::MemorySource source(e.stream);
            decoder.begin_stream(&source, stream_settings(s));
            ASSERT_LE(e.unpacked_size, BLOCK_SIZE);
            const std::uint32_t n = static_cast<std::uint32_t>(e.unpacked_size);
            Bytes restored;
            if (n > 0) {
                bool text_flag = false;
                bool raw_flag = false;
                ASSERT_EQ(decoder.decode_block(block.data(), n, text_flag, raw_flag), DecodeStatus::Ok);
                undo_filters(block.data(), n, s, text_flag, work.data());
                restored.assign(block.begin(), block.begin() + n);
            }
            EXPECT_EQ(restored, archives.files.at(e.stored_dir() + e.stored_name())) << e.stored_name();
        }
    }
}

// A flipped bit in an entry's size field: the walk goes on at the next entry
// whose record proves it sound, so the entries on both sides come back.
TEST(Integrity, AFlippedSizeBitSkipsToTheNextSoundEntry) {
    e2e::TempDir t;
    const std::map<std::string, Bytes> files = {{"in/a.txt", test::wordy_bytes(9000, 1)},
                                                {"in/b.txt", test::wordy_bytes(7000, 2)},
                                                {"in/c.txt", test::wordy_bytes(8000, 3)}};
    for (const auto& [path, bytes] : files) t.put(path, bytes);
    ASSERT_EQ(e2e::run_qev(t.path(), {"a", "--no-packs", "-r", "-b1", "-h1", "arc", "in"}).status, 0);
    const Bytes original = test::read_file(t / "arc");
    const std::vector<e2e::RawEntry> entries = e2e::parse_archive(original);
    ASSERT_EQ(entries.size(), 3u);
    const std::string first = entries[0].stored_dir() + entries[0].stored_name();
    const std::string third = entries[2].stored_dir() + entries[2].stored_name();
    const std::size_t middle = entries[0].entry_size;

    Quiet quiet;
    Extractor extractor(quiet);
    // Low bits leave a size inside the archive (too short, or reaching into
    // the third entry), high bits one past its end.
    for (int bit : {0, 1, 4, 9, 13, 20, 31, 40, 63}) {
        SCOPED_TRACE(bit);
        Bytes damaged = original;
        damaged[middle + bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        test::write_file(t / "flipped", damaged);
        fs::remove_all(t / "out");
        const ExtractResult r = extractor.extract_archive(t / "flipped", t / "out/", "*");
        EXPECT_TRUE(r.failed);
        const e2e::Tree restored = e2e::files_of(e2e::snapshot(t / "out"));
        EXPECT_EQ(restored.count(first), 1u);
        EXPECT_EQ(restored.count(third), 1u);
        for (const auto& [path, content] : restored) {
            EXPECT_EQ(Bytes(content.begin(), content.end()), files.at(path)) << path;
        }
    }

    // The commands say once which bytes were skipped, and go on.
    Bytes damaged = original;
    damaged[middle + 5] ^= 1;
    test::write_file(t / "flipped", damaged);
    const std::string skipped = "bytes " + std::to_string(middle) + " to " +
                                std::to_string(middle + entries[1].entry_size - 1) +
                                " are skipped and the walk goes on at offset " +
                                std::to_string(middle + entries[1].entry_size);
    e2e::RunResult r = e2e::run_qev(t.path(), {"l", "flipped"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(first + " \n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(third + " \n"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(skipped), std::string::npos) << r.err;
    r = e2e::run_qev(t.path(), {"t", "flipped"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(" 3 entries tested: 2 ok, 1 damaged, 0 without checksum\n"), std::string::npos) << r.out;
    fs::remove_all(t / "out");
    fs::create_directories(t / "out");
    r = e2e::run_qev(t / "out", {"x", "../flipped"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(skipped), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(skipped), r.err.rfind(skipped)) << r.err;
    EXPECT_EQ(e2e::files_of(e2e::snapshot(t / "out")).size(), 2u);
    // An add does not append behind the damage.
    r = e2e::run_qev(t.path(), {"a", "--no-packs", "flipped", "in/a.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(test::read_file(t / "flipped"), damaged);
}

struct timespec mtime_of(const std::string& path) {
    struct stat st{};
    lstat(path.c_str(), &st);
    return st.st_mtim;
}

mode_t mode_of(const std::string& path) {
    struct stat st{};
    lstat(path.c_str(), &st);
    return st.st_mode;
}

// Entries of their own (here without packs) keep times to the nanosecond;
// members of packs keep whole seconds, as tar headers do.
TEST(Integrity, TreeWithLinksTimesAndModesRoundTripsWithL) {
    e2e::TempDir t;
    t.put("src/run.sh", std::string("#!/bin/sh\necho hi\n"));
    t.put("src/sub/notes.txt", std::string("notes\n"));
    fs::create_directories(t / "src/empty");
    fs::create_symlink("sub/notes.txt", t / "src/link");
    chmod((t / "src/run.sh").c_str(), 0750);
    chmod((t / "src/sub/notes.txt").c_str(), 0604);
    chmod((t / "src/empty").c_str(), 0711);
    const struct timespec old[2] = {{981173106, 123456789}, {981173106, 123456789}};
    for (const char* p : {"src/run.sh", "src/sub/notes.txt", "src/empty", "src/link"}) {
        utimensat(AT_FDCWD, (t / p).c_str(), old, AT_SYMLINK_NOFOLLOW);
    }
    e2e::RunResult r = e2e::run_qev(t.path(), {"a", "--no-packs", "-r", "-l", "arc", "src"});
    ASSERT_EQ(r.status, 0) << e2e::describe(r);
    r = e2e::run_qev(t.path(), {"t", "arc"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find(" 4 entries tested: 4 ok, 0 damaged, 0 without checksum\n"), std::string::npos) << r.out;
    r = e2e::run_qev(t.path(), {"l", "-v", "arc"});
    EXPECT_NE(r.out.find("lrwxrwxrwx "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("drwx--x--x "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("2001-02-03"), std::string::npos) << r.out;

    fs::create_directories(t / "out");
    r = e2e::run_qev(t / "out", {"x", "../arc"});
    ASSERT_EQ(r.status, 0) << e2e::describe(r);
    EXPECT_EQ(e2e::tree_difference(e2e::snapshot(t / "src"), e2e::snapshot(t / "out/src")), "");
    EXPECT_EQ(fs::read_symlink(t / "out/src/link"), fs::path("sub/notes.txt"));
    for (const char* p : {"run.sh", "sub/notes.txt", "empty", "link"}) {
        const std::string a = t / ("src/" + std::string(p));
        const std::string b = t / ("out/src/" + std::string(p));
        EXPECT_EQ(mode_of(a), mode_of(b)) << p;
        EXPECT_EQ(mtime_of(a).tv_sec, mtime_of(b).tv_sec) << p;
        EXPECT_EQ(mtime_of(a).tv_nsec, mtime_of(b).tv_nsec) << p;
    }
}

}  // namespace
}  // namespace qev
