// Round trips through the built program: files are added with `qev a` and
// restored with `qev x` into a fresh folder, and the restored tree must equal
// the original byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "test_util.h"

namespace qev {
namespace {

using e2e::describe;
using e2e::RunResult;
using e2e::snapshot;
using e2e::TempDir;
using e2e::Tree;
using e2e::tree_difference;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

// Small settings wherever the size of the ring and the match table does not
// matter: an 8 MiB ring and a 32 MiB table keep every run quick.
const std::vector<std::string> SMALL = {"-b1", "-h1"};

void put16(Bytes& b, std::uint32_t v) { e2e::put_le(b, v, 2); }
void put32(Bytes& b, std::uint32_t v) { e2e::put_le(b, v, 4); }
void put_text(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }

std::uint8_t clamp_byte(double v) { return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// PCM audio: a few tones per channel plus a little noise.
Bytes make_wave(std::uint16_t channels, std::uint16_t bits, std::uint32_t frames, std::uint32_t seed) {
    const std::uint32_t rate = 22050;
    const std::uint32_t bytes_per_sample = bits / 8u;
    const std::uint32_t data_size = frames * channels * bytes_per_sample;
    Bytes b;
    put_text(b, "RIFF");
    put32(b, 36 + data_size);
    put_text(b, "WAVEfmt ");
    put32(b, 16);
    put16(b, 1);
    put16(b, channels);
    put32(b, rate);
    put32(b, rate * channels * bytes_per_sample);
    put16(b, static_cast<std::uint16_t>(channels * bytes_per_sample));
    put16(b, bits);
    put_text(b, "data");
    put32(b, data_size);
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 1.5);
    const double pi = 3.14159265358979;
    for (std::uint32_t i = 0; i < frames; ++i) {
        for (std::uint32_t c = 0; c < channels; ++c) {
            const double t = static_cast<double>(i) / rate;
            const double v = 0.45 * std::sin(2 * pi * (220.0 + 110.0 * c) * t) + 0.2 * std::sin(2 * pi * 1375.0 * t);
            if (bits == 8) {
                b.push_back(clamp_byte(128.0 + 120.0 * v + noise(rng)));
            } else {
                const auto s = static_cast<std::int16_t>(30000.0 * v + 40.0 * noise(rng));
                put16(b, static_cast<std::uint16_t>(s));
            }
        }
    }
    return b;
}

// Smooth colour gradients with some noise: what photographs look like to the
// delta filter and the pixel contexts.
std::uint8_t pixel(std::uint32_t x, std::uint32_t y, int channel, std::mt19937& rng) {
    const double base = channel == 0 ? x * 0.8 : channel == 1 ? y * 1.1 : (x + y) * 0.5;
    return clamp_byte(base + 30.0 * std::sin((x * (channel + 1)) / 23.0) + static_cast<double>(rng() % 7));
}

// 24-bit bottom-up bitmap; the width is not a multiple of 4 so that rows are
// padded.
Bytes make_bmp(std::uint32_t width, std::uint32_t height, std::uint32_t seed) {
    const std::uint32_t row = (width * 3 + 3) / 4 * 4;
    Bytes b;
    put_text(b, "BM");
    put32(b, 54 + row * height);
    put32(b, 0);
    put32(b, 54);
    put32(b, 40);
    put32(b, width);
    put32(b, height);
    put16(b, 1);
    put16(b, 24);
    put32(b, 0);
    put32(b, row * height);
    put32(b, 2835);
    put32(b, 2835);
    put32(b, 0);
    put32(b, 0);
    std::mt19937 rng(seed);
    for (std::uint32_t y = 0; y < height; ++y) {
        std::uint32_t written = 0;
        for (std::uint32_t x = 0; x < width; ++x, written += 3) {
            for (int c = 0; c < 3; ++c) b.push_back(pixel(x, y, c, rng));
        }
        for (; written < row; ++written) b.push_back(0);
    }
    return b;
}

// Uncompressed true-colour TGA.
Bytes make_tga(std::uint16_t width, std::uint16_t height, std::uint32_t seed) {
    Bytes b = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    put16(b, width);
    put16(b, height);
    b.push_back(24);
    b.push_back(0);
    std::mt19937 rng(seed);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) b.push_back(pixel(x, y, c, rng));
        }
    }
    return b;
}

// Binary PPM (3 bytes a pixel) or PGM (1 byte a pixel).
Bytes make_netpbm(bool colour, std::uint32_t width, std::uint32_t height, const std::string& comment,
                  std::uint32_t seed) {
    Bytes b;
    put_text(b, colour ? "P6\n" : "P5\n");
    if (!comment.empty()) put_text(b, "# " + comment + "\n");
    put_text(b, std::to_string(width) + " " + std::to_string(height) + "\n255\n");
    std::mt19937 rng(seed);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            if (colour) {
                for (int c = 0; c < 3; ++c) b.push_back(pixel(x, y, c, rng));
            } else {
                b.push_back(pixel(x, y, 2, rng));
            }
        }
    }
    return b;
}

// Machine-code-like bytes behind an executable header: many call (E8) and
// jump (E9) opcodes with 32-bit relative operands pointing near by, forwards
// and backwards, and one right at the end of the file.
Bytes make_x86(std::size_t size, std::uint32_t seed) {
    Bytes b = {0x4D, 0x5A, 0x90, 0x00, 0x03, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0xFF, 0xFF};
    b.resize(0x80, 0);
    static const std::uint8_t ops[] = {0x55, 0x89, 0xE5, 0x8B, 0x45, 0x08, 0x83, 0xEC, 0x10, 0x5D,
                                       0xC3, 0x31, 0xC0, 0x50, 0x53, 0x01, 0xD8, 0x74, 0x75, 0x90};
    std::mt19937 rng(seed);
    const std::uint32_t targets[] = {0x1000, 0x2400, 0x8000, 0x12345, 0x30000};
    while (b.size() + 5 < size - 5) {
        const std::uint32_t r = rng() % 10;
        if (r < 3) {
            b.push_back(r == 0 ? 0xE9 : 0xE8);
            // Calls to a few fixed targets: relative operands differ, the
            // absolute targets repeat.
            const std::int64_t here = static_cast<std::int64_t>(b.size()) + 4;
            const std::int64_t rel = static_cast<std::int64_t>(targets[rng() % 5]) - here;
            put32(b, static_cast<std::uint32_t>(static_cast<std::int32_t>(rel)));
        } else {
            const std::size_t n = 1 + rng() % 6;
            for (std::size_t i = 0; i < n; ++i) b.push_back(ops[rng() % sizeof ops]);
        }
    }
    while (b.size() < size - 3) b.push_back(0x90);
    b.push_back(0xE8);  // an opcode whose operand would run past the end
    b.push_back(0x10);
    b.push_back(0x00);
    return b;
}

// Files of every kind the analysis tells apart, and the small sizes around
// the 64 modelled literals at the start of each block.
void put_samples(const TempDir& dir, const std::string& folder) {
    const auto put = [&](const std::string& name, const Bytes& data) { dir.put(folder + "/" + name, data); };
    put("mono8.wav", make_wave(1, 8, 60000, 1));
    put("stereo16.wav", make_wave(2, 16, 40000, 2));
    put("gradient.bmp", make_bmp(301, 180, 3));
    put("gradient.tga", make_tga(256, 160, 4));
    put("commented.ppm", make_netpbm(true, 250, 150, "made by a test", 5));
    put("plain.ppm", make_netpbm(true, 97, 61, "", 6));
    put("grey.pgm", make_netpbm(false, 320, 200, "", 7));
    put("program.exe", make_x86(200000, 8));
    put("noise.bin", test::random_bytes(100000, 9));
    put("empty", Bytes());
    put("one.byte", Bytes{0xA7});
    put("exactly64.txt", test::wordy_bytes(64, 10));
    put("exactly65.txt", test::wordy_bytes(65, 11));
    put("NoExtension", test::wordy_bytes(5000, 12));
}

void put_corpus(const TempDir& dir, const std::string& folder) {
    for (const std::string& name : test::corpus_files())
        dir.put(folder + "/" + name, test::read_file(test::corpus_path(name)));
}

std::vector<std::string> args(std::initializer_list<std::string> head, const std::vector<std::string>& extra = {},
                              std::initializer_list<std::string> tail = {}) {
    std::vector<std::string> a(head);
    a.insert(a.end(), extra.begin(), extra.end());
    a.insert(a.end(), tail);
    return a;
}

void expect_success(const RunResult& r, const std::string& what) {
    EXPECT_TRUE(r.exited() && r.status == 0) << what << ": " << describe(r);
}

// The folder holds exactly one thing: the restored copy of `source` under
// its stored name.
void expect_restored(const TempDir& dir, const std::string& source, const std::string& out, const std::string& what) {
    const Tree original = snapshot(dir / source);
    ASSERT_FALSE(original.empty());
    const Tree restored_root = snapshot(dir / out);
    const Tree restored = snapshot(dir / (out + "/" + source));
    EXPECT_EQ(tree_difference(original, restored), "") << what;
    // Nothing else was written beside the restored folder.
    for (const auto& [path, content] : restored_root) {
        EXPECT_EQ(path.rfind(source + "/", 0), 0u) << what << ": unexpected " << path;
    }
}

// Every corpus file and every generated sample, at five method levels, solid
// and not.
TEST(EndToEnd, CorpusAndSamplesRoundTripAtEveryLevelSolidAndNot) {
    TempDir dir;
    put_corpus(dir, "in");
    put_samples(dir, "in");

    const std::vector<std::string> levels = {"-m0", "-m1", "-m2", "-m5", "-m9"};
    std::vector<std::vector<std::string>> adds;
    std::vector<std::string> names;
    for (const std::string& level : levels) {
        for (const bool solid : {false, true}) {
            const std::string archive = "arc" + level + (solid ? "s" : "");
            names.push_back(archive);
            std::vector<std::string> a = {"a", "--no-packs", level};
            a.insert(a.end(), SMALL.begin(), SMALL.end());
            if (solid) a.push_back("-s");
            a.push_back(archive);
            a.push_back("in/*");
            adds.push_back(a);
        }
    }
    const Tree input = snapshot(dir / "in");
    std::size_t input_bytes = 0;
    for (const auto& [path, content] : input) input_bytes += content.size();
    const std::string totals = std::to_string(input_bytes) + " bytes, " + std::to_string(input.size()) + " files.\n";

    const std::vector<RunResult> added = e2e::run_qev_parallel(dir.path(), adds);
    std::vector<std::vector<std::string>> extracts;
    for (std::size_t i = 0; i < names.size(); ++i) {
        expect_success(added[i], names[i] + " add");
        EXPECT_NE(added[i].out.find(totals), std::string::npos) << describe(added[i]);
        extracts.push_back({"x", names[i], "out_" + names[i]});
    }
    const std::vector<RunResult> extracted = e2e::run_qev_parallel(dir.path(), extracts);
    for (std::size_t i = 0; i < names.size(); ++i) {
        expect_success(extracted[i], names[i] + " extract");
        expect_restored(dir, "in", "out_" + names[i], names[i]);
    }

    // The samples did reach the paths they are meant to test: the sample
    // filter, channel order and the LZ path with its branch transform.
    const std::vector<e2e::RawEntry> entries = e2e::parse_archive(test::read_file(dir / "arc-m2"));
    ASSERT_EQ(entries.size(), test::corpus_files().size() + 14);
    bool delta = false, channel_order = false, stereo = false;
    for (const e2e::RawEntry& e : entries) {
        delta |= e.media_mode == 1;
        channel_order |= e.lz_mode == 0;
        stereo |= e.media_mode == 1 && e.channels == 2 && e.sample_bytes == 2;
    }
    EXPECT_TRUE(delta && channel_order && stereo);
}

// Block boundaries and a history ring that fills and wraps: exactly one
// block, one block and one byte, and a text larger than the 8 MiB ring.
TEST(EndToEnd, BlockBoundariesAndFilesLargerThanTheRing) {
    TempDir dir;
    Bytes one_block = test::random_bytes(4194304, 21);
    // Repeats far apart make the second block refer back into the first.
    Bytes text = test::wordy_bytes(4194305, 22);
    dir.put("big/block.bin", one_block);
    dir.put("big/block_and_one.txt", text);
    dir.put("big/long.txt", test::wordy_bytes(9 * 1024 * 1024 + 12345, 23));

    const std::vector<RunResult> added = e2e::run_qev_parallel(
        dir.path(),
        {args({"a", "-m1"}, SMALL, {"-s", "solid", "big/*"}), args({"a", "-m2"}, SMALL, {"plain", "big/*"})});
    expect_success(added[0], "solid add");
    expect_success(added[1], "add");
    const std::vector<RunResult> extracted =
        e2e::run_qev_parallel(dir.path(), {{"x", "solid", "out_solid"}, {"x", "plain", "out_plain"}});
    expect_success(extracted[0], "solid extract");
    expect_success(extracted[1], "extract");
    expect_restored(dir, "big", "out_solid", "solid");
    expect_restored(dir, "big", "out_plain", "non-solid");
}

// A tree of folders added with -r comes back with its folders.
TEST(EndToEnd, NestedTreeWithRecursion) {
    TempDir dir;
    dir.put("tree/top.txt", test::wordy_bytes(3000, 31));
    dir.put("tree/a/mid.bin", test::random_bytes(2000, 32));
    dir.put("tree/a/b/c/deep.txt", test::wordy_bytes(70000, 33));
    dir.put("tree/a/b/c/empty.dat", Bytes());
    dir.put("tree/a/b/same name.txt", test::wordy_bytes(10, 34));
    dir.put("tree/z/same name.txt", test::wordy_bytes(11, 35));
    dir.put("tree/z.bmp/inside.txt", test::wordy_bytes(500, 36));

    for (const bool solid : {false, true}) {
        const std::string archive = solid ? "rs" : "r";
        std::vector<std::string> a = args({"a", "-r"}, SMALL);
        if (solid) a.push_back("-s");
        a.push_back(archive);
        a.push_back("tree");
        expect_success(e2e::run_qev(dir.path(), a), archive + " add");
        expect_success(e2e::run_qev(dir.path(), {"x", archive, "out_" + archive}), archive + " extract");
        expect_restored(dir, "tree", "out_" + archive, archive);
    }
}

// Two add runs into one archive, at different levels; one extraction
// restores the files of both. A file stored again by the second run is
// restored with its later content.
TEST(EndToEnd, AppendingFromTwoRunsThenExtractingAll) {
    TempDir dir;
    dir.put("both/first/one.txt", test::wordy_bytes(20000, 41));
    dir.put("both/first/two.wav", make_wave(1, 8, 5000, 42));
    dir.put("both/second/three.txt", test::wordy_bytes(30000, 43));
    dir.put("both/second/four.bin", test::random_bytes(777, 44));

    expect_success(e2e::run_qev(dir.path(), args({"a", "--no-packs", "-m0"}, SMALL, {"arc", "both/first/*"})), "first add");
    const std::uint64_t first_size = fs::file_size(dir / "arc");
    dir.put("both/first/one.txt", test::wordy_bytes(25000, 45));
    expect_success(e2e::run_qev(dir.path(), args({"a", "--no-packs", "-m9"}, SMALL, {"arc", "both/second/*", "both/first/one.txt"})),
                   "second add");
    EXPECT_GT(fs::file_size(dir / "arc"), first_size);
    EXPECT_EQ(e2e::parse_archive(test::read_file(dir / "arc")).size(), 5u);

    expect_success(e2e::run_qev(dir.path(), {"x", "arc", "out"}), "extract");
    expect_restored(dir, "both", "out", "appended archive");
}

// An output file that cannot be created is reported and its entry decoded
// all the same, so that the later entries of a solid archive come out right.
TEST(EndToEnd, OutputFileThatCannotBeCreated) {
    TempDir dir;
    dir.put("s/a.txt", test::wordy_bytes(40000, 71));
    dir.put("s/b.txt", test::wordy_bytes(40000, 72));
    dir.put("s/c.txt", test::wordy_bytes(40000, 73));
    for (const bool solid : {false, true}) {
        const std::string archive = solid ? "solid" : "plain";
        std::vector<std::string> a = args({"a"}, SMALL);
        if (solid) a.push_back("-s");
        a.insert(a.end(), {archive, "s/*"});
        expect_success(e2e::run_qev(dir.path(), a), archive + " add");
        // A folder where b.txt should go.
        const std::string dest = "out_" + archive;
        dir.put(dest + "/s/b.txt/in_the_way", "x");
        const RunResult r = e2e::run_qev(dir.path(), {"x", "-v", archive, dest});
        EXPECT_TRUE(r.exited() && r.status == 1) << describe(r);
        const std::vector<std::string> lines = e2e::lines_of(r.out);
        const auto has = [&](const std::string& line) {
            return std::find(lines.begin(), lines.end(), line) != lines.end();
        };
        const std::vector<std::string> errors = e2e::lines_of(r.err);
        EXPECT_EQ(errors, (std::vector<std::string>{"Error: cannot open Output file " + (dir / dest) + "/s/b.txt"}))
            << describe(r);
        EXPECT_TRUE(has(" " + (dir / dest) + "/s/a.txt ")) << describe(r);
        EXPECT_TRUE(has(" " + (dir / dest) + "/s/c.txt ")) << describe(r);
        EXPECT_FALSE(has(" " + (dir / dest) + "/s/b.txt ")) << describe(r);
        const Tree out = snapshot(dir / dest);
        const Tree source = snapshot(dir / "s");
        EXPECT_EQ(out.at("s/a.txt"), source.at("a.txt")) << archive;
        EXPECT_EQ(out.at("s/c.txt"), source.at("c.txt")) << archive;
        EXPECT_EQ(out.at("s/b.txt/in_the_way"), "x");
    }
}

// In a solid archive every entry depends on the ones before it: a single
// entry restored alone equals the same entry of a full extraction, and two
// destinations in one command give identical trees.
TEST(EndToEnd, SolidArchiveSingleEntryAndTwoDestinations) {
    TempDir dir;
    for (const char* name : {"alice29.txt", "asyoulik.txt", "lcet10.txt", "html"}) {
        dir.put(std::string("s/") + name, test::read_file(test::corpus_path(name)));
    }
    dir.put("s/tone.wav", make_wave(2, 16, 8000, 51));
    dir.put("s/code.exe", make_x86(30000, 52));
    dir.put("s/sub/again.txt", test::read_file(test::corpus_path("alice29.txt")));
    expect_success(e2e::run_qev(dir.path(), args({"a", "--no-packs", "-r", "-s", "-m5"}, SMALL, {"arc", "s"})), "add");
    const std::vector<e2e::RawEntry> entries = e2e::parse_archive(test::read_file(dir / "arc"));
    ASSERT_EQ(entries.size(), 7u);

    const RunResult both = e2e::run_qev(dir.path(), {"x", "arc", "d1", "d2/"});
    expect_success(both, "two destinations");
    expect_restored(dir, "s", "d1", "first destination");
    expect_restored(dir, "s", "d2", "second destination");

    // The last entries of the archive need every earlier one decoded first.
    for (std::size_t i = entries.size() - 2; i < entries.size(); ++i) {
        const std::string name = entries[i].stored_name();
        const std::string dir_text = entries[i].stored_dir();
        const std::string sel = "sel" + std::to_string(i);
        expect_success(e2e::run_qev(dir.path(), {"x", "arc", sel + "/" + name}), "single " + name);
        const Tree one = snapshot(dir / sel);
        const Tree files = e2e::files_of(one);
        ASSERT_EQ(files.size(), 1u) << name;
        EXPECT_EQ(files.begin()->first, dir_text + name);
        EXPECT_EQ(files.begin()->second, e2e::snapshot(dir / "d1").at(dir_text + name)) << name;
    }
}

// An archive made with `qev a arc ..` stores "../" in front of its names;
// extraction drops it and restores under the destination, never beside it.
TEST(EndToEnd, ParentFolderEntriesRestoreUnderTheDestination) {
    TempDir dir;
    dir.put("work/p1.txt", test::wordy_bytes(4000, 61));
    dir.put("work/p2.bin", test::random_bytes(300, 62));
    dir.put("work/here/keep.txt", "stays");
    const std::string here = dir / "work/here";
    expect_success(e2e::run_qev(here, args({"a", "--no-packs"}, SMALL, {"arc", ".."})), "add ..");
    const std::vector<e2e::RawEntry> entries = e2e::parse_archive(test::read_file(here + "/arc"));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].stored_dir(), "../");

    const Tree before = snapshot(dir.path());
    const RunResult r = e2e::run_qev(here, {"x", "arc", "dest"});
    expect_success(r, "extract");
    EXPECT_NE(r.err.find("../p1.txt"), std::string::npos) << "a warning names the entry\n" << describe(r);
    EXPECT_EQ(snapshot(here + "/dest"), (Tree{{"p1.txt", std::string(snapshot(dir / "work").at("p1.txt"))},
                                              {"p2.bin", std::string(snapshot(dir / "work").at("p2.bin"))}}));
    EXPECT_EQ(tree_difference(before, snapshot(dir.path(), "work/here/dest")), "");
}

}  // namespace
}  // namespace qev

namespace qev {
namespace {

// The archive and the console lines do not depend on how many workers
// coded the files: the corpus, the generated samples and a tree of small
// files, some of them under 512 bytes behind a file of high entropy (their
// raw flag takes the score it left), normal and solid.
TEST(EndToEnd, ArchivesAreTheSameForEveryWorkerCount) {
    TempDir dir;
    put_corpus(dir, "in");
    put_samples(dir, "in");
    for (int i = 0; i < 120; ++i) {
        const std::string ext = i % 3 == 0 ? ".r1" : i % 3 == 1 ? ".txt" : "";
        dir.put("many/f" + std::to_string(i) + ext,
                i % 2 ? test::random_bytes(1 + i * 7 % 900, i) : test::wordy_bytes(1 + i * 13 % 700, i));
    }
    dir.put("many/noise.r0", test::random_bytes(100000, 5));  // sorts right before the .r1 files
    std::string reference_out;
    Bytes reference;
    for (const char* workers : {"-t1", "-t2", "-t3", "-t8"}) {
        for (const bool solid : {false, true}) {
            std::vector<std::string> a = {"a", workers};
            a.insert(a.end(), SMALL.begin(), SMALL.end());
            if (solid) a.push_back("-s");
            const std::string archive = std::string("arc") + workers + (solid ? "s" : "");
            a.insert(a.end(), {archive, "in/*", "many/*"});
            const RunResult r = e2e::run_qev(dir.path(), a);
            expect_success(r, archive);
            const Bytes bytes = test::read_file(dir / archive);
            const std::string out = r.out.substr(r.out.find('\n', r.out.find("Archive=")));
            if (std::string(workers) == "-t1") {
                if (!solid) {
                    reference = bytes;
                    reference_out = out;
                }
                continue;
            }
            if (solid) continue;
            EXPECT_EQ(bytes, reference) << archive;
            EXPECT_EQ(out, reference_out) << archive;
        }
    }
    // Solid archives are coded by one worker whatever is asked.
    EXPECT_EQ(test::read_file(dir / "arc-t8s"), test::read_file(dir / "arc-t1s"));
}

// Entries of a megabyte and more are coded as pipelines (read, parse and
// coder on three threads) when a core is spare: here with four cores asked
// for three files, and in solid mode. The archives are those of one thread:
// in LZ and in channel mode, with a last block shorter than the one before
// (the hash of its last positions reads the bytes after it).
TEST(EndToEnd, PipelinedEntriesAreThoseCodedOnOneThread) {
    TempDir dir;
    dir.put("in/long.txt", test::wordy_bytes((4u << 20) + 5000, 21));
    dir.put("in/tone.wav", make_wave(1, 16, 700000, 22));
    dir.put("in/code.exe", make_x86(1300000, 23));
    dir.put("in/after.txt", test::wordy_bytes(9000, 24));
    for (const bool solid : {false, true}) {
        std::vector<Bytes> archives;
        for (const char* threads : {"-t1", "-t4"}) {
            const std::string archive = std::string("arc") + threads + (solid ? "s" : "");
            std::vector<std::string> a = args({"a", threads}, SMALL, {});
            if (solid) a.push_back("-s");
            a.insert(a.end(), {archive, "in/*"});
            expect_success(e2e::run_qev(dir.path(), a), archive);
            archives.push_back(test::read_file(dir / archive));
        }
        EXPECT_EQ(archives[0], archives[1]) << (solid ? "solid" : "normal");
    }
    expect_success(e2e::run_qev(dir.path(), {"x", "arc-t4s", "out/"}), "extract");
    EXPECT_EQ(tree_difference(snapshot(dir / "in"), snapshot(dir / "out/in")), "");
}

// A large entry extracted with a spare core finishes block k (inverse
// filters, checksum, write) while block k + 1 is decoded: the same files,
// lines and status as one thread, also when a later block is damaged.
TEST(EndToEnd, LargeEntriesFinishBlocksOnASpareCore) {
    TempDir dir;
    dir.put("in/long.txt", test::wordy_bytes((8u << 20) + 700, 31));
    dir.put("in/tone.wav", make_wave(2, 16, 600000, 32));
    for (const char* solid : {"-m2", "-s"}) {
        const std::string archive = std::string("arc") + solid;
        expect_success(e2e::run_qev(dir.path(), args({"a", solid}, SMALL, {archive, "in/*"})), archive);
        for (const bool damaged : {false, true}) {
            if (damaged) {
                std::vector<e2e::RawEntry> entries = e2e::parse_archive(test::read_file(dir / archive));
                e2e::RawEntry& big = entries[0].unpacked_size > entries[1].unpacked_size ? entries[0] : entries[1];
                big.stream[big.stream.size() * 3 / 4] ^= 0x21;
                test::write_file(dir / archive, e2e::archive_bytes(entries));
            }
            std::string reference;
            for (const char* threads : {"-t1", "-t3"}) {
                const std::string out = archive + (damaged ? "d" : "") + threads;
                const RunResult r = e2e::run_qev(dir.path(), {"x", threads, archive, out + "/"});
                std::string lines = r.out.substr(r.out.find("DEST="));
                lines = lines.substr(lines.find('\n'));
                EXPECT_EQ(r.status, damaged ? 1 : 0) << out << "\n" << r.out;
                if (!damaged) {
                    EXPECT_EQ(tree_difference(snapshot(dir / "in"), snapshot(dir / (out + "/in"))), "") << out;
                }
                if (reference.empty()) reference = lines;
                EXPECT_EQ(lines, reference) << out;
            }
        }
    }
}

}  // namespace
}  // namespace qev

namespace qev {
namespace {

// Extraction with several workers says and leaves what one worker does:
// the same lines in the same order, the later of two entries with one path
// wins, a damaged entry is reported in its place, the same status.
TEST(EndToEnd, ExtractionWithWorkersMatchesOneWorker) {
    TempDir dir;
    put_corpus(dir, "in");
    for (int i = 0; i < 40; ++i) dir.put("in/small/f" + std::to_string(i), test::wordy_bytes(100 + i * 50, i));
    ASSERT_EQ(e2e::run_qev(dir.path(), {"a", "--no-packs", "-r", "-b1", "-h1", "arc", "in"}).status, 0);
    dir.put("in/small/f3", std::string("the later copy\n"));
    ASSERT_EQ(e2e::run_qev(dir.path(), {"a", "--no-packs", "-b1", "-h1", "arc", "in/small/f3"}).status, 0);
    // A flipped byte inside the stream of the fifth entry.
    std::vector<e2e::RawEntry> entries = e2e::parse_archive(test::read_file(dir / "arc"));
    entries[4].stream[entries[4].stream.size() / 3] ^= 0x10;
    test::write_file(dir / "arc", e2e::archive_bytes(entries));

    std::string reference;
    Tree reference_tree;
    int reference_status = -1;
    for (const char* workers : {"-t1", "-t2", "-t5"}) {
        const std::string out = std::string("out") + workers;
        fs::create_directories(dir / out);
        const RunResult r = e2e::run_qev(dir / out, {"x", "-v", workers, "../arc"});
        std::string lines = r.out;
        for (std::size_t at; (at = lines.find(dir / out)) != std::string::npos;) lines.replace(at, (dir / out).size(), "D");
        const Tree tree = snapshot(dir / out);
        if (std::string(workers) == "-t1") {
            reference = lines;
            reference_tree = tree;
            reference_status = r.status;
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(test::read_file(dir / (out + "/in/small/f3")), e2e::bytes_of("the later copy\n"));
            continue;
        }
        EXPECT_EQ(lines, reference) << workers;
        EXPECT_EQ(tree_difference(reference_tree, tree), "") << workers;
        EXPECT_EQ(r.status, reference_status) << workers;
    }
}

}  // namespace
}  // namespace qev
