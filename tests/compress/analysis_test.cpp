#include "compress/analysis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "format/archive_format.h"
#include "engine/engine.h"

namespace qev {
namespace {

using Bytes = std::vector<std::uint8_t>;

void put(Bytes& b, std::size_t at, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The head's bytes (zeros included), then zeros up to total bytes.
template <std::size_t N>
Bytes with_text(const char (&head)[N], std::size_t total) {
    Bytes b(head, head + N - 1);
    b.resize(total, 0);
    return b;
}

// Runs the analysis on data the way the compressor does: sample buffer with
// slack (filled with junk, which the analysis must clear) and a scratch copy.
FileSettings analyse(Analyser& analyser, const Bytes& data) {
    const auto n = static_cast<std::uint32_t>(data.size());
    Bytes sample(data);
    sample.resize(n + SAMPLE_SLACK, 0xA5);
    Bytes scratch(n + BLOCK_SLACK);
    const FileSettings s = analyser.analyse(sample.data(), n, scratch.data());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), sample.begin())) << "the sample itself must not change";
    return s;
}

FileSettings analyse_fresh(const Bytes& data) {
    Analyser analyser;
    return analyse(analyser, data);
}

// The seven settings in header order, for one-line comparisons.
std::string verdict(const FileSettings& s) {
    return "media " + std::to_string(s.media_mode) + " channels " + std::to_string(s.channels) + " bytes " +
           std::to_string(s.sample_bytes) + " lz " + std::to_string(s.lz_mode) + " stride " +
           std::to_string(s.stride) + " sd " + std::to_string(s.second_distance) + " width " +
           std::to_string(s.image_width);
}

// Gray pixels that drift slowly with a little noise: byte deltas help.
void fill_smooth(Bytes& b, std::size_t from, unsigned seed) {
    std::mt19937 rng(seed);
    for (std::size_t i = from; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>((i - from) / 97 + rng() % 3);
}

void fill_random(Bytes& b, std::size_t from, unsigned seed) {
    std::mt19937 rng(seed);
    for (std::size_t i = from; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(rng());
}

// Four far-apart levels in random order: differences only add symbols.
void fill_levels(Bytes& b, std::size_t from, unsigned seed) {
    static const std::uint8_t levels[] = {0, 60, 130, 200};
    std::mt19937 rng(seed);
    for (std::size_t i = from; i < b.size(); ++i) b[i] = levels[rng() % 4];
}

Bytes bmp(std::uint32_t width, bool smooth) {
    Bytes b(54 + 60000, 0);
    b[0] = 'B';
    b[1] = 'M';
    put(b, 10, 54, 4);
    put(b, 14, 40, 4);
    put(b, 18, width, 4);
    put(b, 22, 20, 4);
    put(b, 26, 1, 2);
    put(b, 28, 24, 2);
    smooth ? fill_smooth(b, 54, 1) : fill_levels(b, 54, 1);
    return b;
}

Bytes wave(std::uint32_t channels, std::uint32_t bits) {
    Bytes b = with_text("RIFF\0\0\0\0WAVEfmt ", 44 + 80000);
    put(b, 16, 16, 4);
    put(b, 20, 1, 2);
    put(b, 22, channels, 2);
    put(b, 24, 44100, 4);
    put(b, 34, bits, 2);
    std::memcpy(b.data() + 36, "data", 4);
    // A slow 16-bit waveform with a little noise in every channel.
    std::mt19937 rng(2);
    for (std::size_t i = 44; i + 1 < b.size(); i += 2) {
        const int v = static_cast<int>((i / 40) % 2000) * 8 + static_cast<int>(rng() % 16);
        put(b, i, static_cast<std::uint32_t>(v), 2);
    }
    return b;
}

TEST(AnalysisImages, BitmapTargaAndPortableMaps) {
    EXPECT_EQ(verdict(analyse_fresh(bmp(200, true))), "media 1 channels 1 bytes 1 lz 0 stride 3 sd 6 width 200");
    // Deltas that do not help leave the filter off.
    EXPECT_EQ(verdict(analyse_fresh(bmp(300, false))), "media 0 channels 1 bytes 1 lz 0 stride 3 sd 6 width 300");
    // A two-byte "BM" file: its width field lies in the cleared slack.
    EXPECT_EQ(analyse_fresh(with_text("BM", 2)).image_width, 0u);

    Bytes tga(18 + 30000, 0);
    tga[2] = 10;
    put(tga, 12, 500, 2);
    fill_smooth(tga, 18, 5);
    EXPECT_EQ(verdict(analyse_fresh(tga)), "media 1 channels 1 bytes 1 lz 0 stride 3 sd 6 width 500");

    // PPM stores the trial's verdict in sample_bytes; PGM keeps lz_mode 1.
    Bytes ppm = with_text("P6\n640 480\n255\n", 30000);
    fill_smooth(ppm, 15, 3);
    EXPECT_EQ(verdict(analyse_fresh(ppm)), "media 0 channels 1 bytes 1 lz 0 stride 3 sd 6 width 640");
    Bytes pgm = with_text("P5\n\0#320 200\n255\n", 30000);
    fill_smooth(pgm, 17, 4);
    EXPECT_EQ(verdict(analyse_fresh(pgm)), "media 1 channels 1 bytes 1 lz 1 stride 1 sd 2 width 320");

    // With a comment line the width is not read: it stays the previous one.
    Analyser analyser;
    analyse(analyser, bmp(77, true));
    Bytes commented = with_text("P6\n# made by hand\n640 480\n255\n", 30000);
    fill_smooth(commented, 30, 3);
    EXPECT_EQ(analyse(analyser, commented).image_width, 77u);
}

TEST(AnalysisImages, ReadWidthText) {
    auto width_of = [](const char* text, std::uint32_t n) {
        std::uint32_t w = 9;
        read_width_text(reinterpret_cast<const std::uint8_t*>(text), n, w);
        return w;
    };
    EXPECT_EQ(width_of("P6\n640 480", 10), 640u);
    EXPECT_EQ(width_of("P6\n##\0 \t+12x", 12), 12u);
    EXPECT_EQ(width_of("P6\n-5", 5), 0xFFFFFFFBu);
    EXPECT_EQ(width_of("P6\n4294967297", 13), 1u);  // wraps modulo 2^32
    EXPECT_EQ(width_of("P6\n12345", 5), 12u);        // bounded by n
    EXPECT_EQ(width_of("P6\n##", 5), 9u);
    EXPECT_EQ(width_of("P6\n  -x", 7), 9u);
    EXPECT_EQ(width_of("P6", 2), 9u);
}

TEST(AnalysisAudio, WaveAndRiff) {
    EXPECT_EQ(verdict(analyse_fresh(wave(2, 16))), "media 1 channels 2 bytes 2 lz 0 stride 2 sd 4 width 1");
    Bytes avi = with_text("RIFF\0\0\0\0AVI LIST", 50000);
    fill_random(avi, 16, 9);
    EXPECT_EQ(verdict(analyse_fresh(avi)), "media 1 channels 1 bytes 1 lz 0 stride 1 sd 2 width 1");
}

TEST(AnalysisAudio, HeadersTheCoderCannotObey) {
    // No channels: stride 0 would code nothing, so the plain settings apply.
    EXPECT_EQ(verdict(analyse_fresh(wave(0, 16))), "media 0 channels 0 bytes 2 lz 1 stride 1 sd 2 width 1");
    // Forty channels: no trial, so no filter.
    EXPECT_EQ(verdict(analyse_fresh(wave(40, 16))), "media 0 channels 40 bytes 2 lz 0 stride 40 sd 80 width 1");
    // AIFF with 4-bit samples: the trial filters bytes and helps, the final
    // rule gives width 0 and the repairs make it one channel of one byte.
    Bytes aiff = with_text("FORM\0\0\0\0AIFFCOMM", 40000);
    aiff[21] = 2;
    aiff[27] = 4;
    fill_smooth(aiff, 54, 6);
    EXPECT_EQ(verdict(analyse_fresh(aiff)), "media 1 channels 1 bytes 1 lz 0 stride 1 sd 2 width 4294967295");

    // Whatever a recognised header holds, the result is usable.
    using namespace std::string_literals;
    const std::string heads[] = {"RIFF\0\0\0\0WAVE"s, "FORM\0\0\0\0AIFF"s, "BM"s, "P6\n"s, "P5\n"s, "\0\0\2"s};
    std::mt19937 rng(8);
    Analyser carried;
    for (int round = 0; round < 3000; ++round) {
        Bytes b(rng() % 300);
        for (auto& x : b) x = static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() : rng() % 3);
        const std::string& head = heads[round % 6];
        std::copy_n(head.begin(), std::min(head.size(), b.size()), b.begin());
        ASSERT_TRUE(settings_usable(analyse(carried, b))) << "round " << round;
    }
}

TEST(AnalysisGeneral, CompressibilityAndCarriedValues) {
    Bytes random(100000);
    fill_random(random, 0, 4);
    EXPECT_EQ(verdict(analyse_fresh(random)), "media 0 channels 0 bytes 0 lz 0 stride 1 sd 2 width 1");

    // An executable keeps match search for data that compresses, and loses
    // it by the 89% rule for data that does not.
    Bytes exe = with_text("MZ\x90\0\3", 40000);
    for (std::size_t i = 64; i < exe.size(); ++i) exe[i] = static_cast<std::uint8_t>("\x55\x8B\xEC\xE8\x10\x00"[i % 6]);
    EXPECT_EQ(analyse_fresh(exe).lz_mode, 1);
    std::memcpy(random.data(), "MZ\x90\0\3", 5);
    EXPECT_EQ(analyse_fresh(random).lz_mode, 0);

    // Tiny files are never switched off.
    EXPECT_EQ(analyse_fresh(Bytes{}).lz_mode, 1);
    EXPECT_EQ(analyse_fresh(Bytes{0xC3}).lz_mode, 1);

    // Text after an image keeps the image's width, channels and sample size.
    Analyser analyser;
    analyse(analyser, bmp(640, true));
    EXPECT_EQ(verdict(analyse(analyser, with_text("just some words, nothing more", 29))),
              "media 0 channels 1 bytes 1 lz 1 stride 1 sd 2 width 640");
}

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The inputs the vectors were made from: the corpus and a few tiny files.
Bytes vector_input(const std::string& name) {
    const Bytes alice = read_file(std::string(QEV_CORPUS_DIR) + "/alice29.txt");
    if (name == "empty.txt") return {};
    if (name == "one.txt") return {'A'};
    if (name == "b64.txt") return Bytes(alice.begin(), alice.begin() + 64);
    if (name == "b65.txt") return Bytes(alice.begin(), alice.begin() + 65);
    if (name == "b600.txt") return Bytes(alice.begin(), alice.begin() + 600);
    if (name == "ramp.bin") {
        Bytes b(3000);
        for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(7 * i + i / 3);
        return b;
    }
    Bytes b = read_file(std::string(QEV_CORPUS_DIR) + "/" + name);
    EXPECT_FALSE(b.empty()) << name;
    if (b.size() > BLOCK_SIZE) b.resize(BLOCK_SIZE);
    return b;
}

TEST(AnalysisVectors, VerdictsMatchTheEntryHeaders) {
    std::ifstream tsv(std::string(QEV_VECTORS_DIR) + "/vectors.tsv");
    ASSERT_TRUE(tsv.good());
    std::string line;
    std::getline(tsv, line);  // column names
    int rows = 0;
    while (std::getline(tsv, line)) {
        std::istringstream fields(line);
        std::string name, switches, archive_bytes, header_hex;
        std::getline(fields, name, '\t');
        std::getline(fields, switches, '\t');
        std::getline(fields, archive_bytes, '\t');
        std::getline(fields, header_hex, '\t');
        Bytes h;
        for (std::size_t i = 0; i + 1 < header_hex.size(); i += 2) {
            h.push_back(static_cast<std::uint8_t>(std::stoul(header_hex.substr(i, 2), nullptr, 16)));
        }
        const std::size_t name_length = get_le(&h[9], 2);
        const std::size_t dir_at = 11 + name_length;
        const std::uint8_t* f = &h[dir_at + 2 + get_le(&h[dir_at], 2)];

        const Bytes data = vector_input(name);
        ASSERT_EQ(get_le(f, 8), data.size()) << name;
        const FileSettings s = analyse_fresh(data);  // each row is a fresh run
        const std::string where = name + " " + switches;
        EXPECT_EQ(s.media_mode, f[8]) << where;
        EXPECT_EQ(s.channels, f[9]) << where;
        EXPECT_EQ(s.sample_bytes, f[10]) << where;
        EXPECT_EQ(s.lz_mode, f[11]) << where;
        EXPECT_EQ(s.stride, f[20]) << where;
        EXPECT_EQ(s.second_distance, f[21]) << where;
        EXPECT_EQ(s.image_width, get_le(f + 22, 4)) << where;
        ++rows;
    }
    EXPECT_GE(rows, 90);
}

}  // namespace
}  // namespace qev
