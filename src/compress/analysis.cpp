// Per-file data analysis: signature tests on the sample, the order-1 size
// estimate, the trial delta filter and the rules that turn them into the
// settings stored in the entry header.
#include "compress/analysis.h"

#include <cstring>
#include <initializer_list>

#include "format/filters.h"

namespace qev {

namespace {

inline std::uint32_t le16(const std::uint8_t* a, std::size_t k) { return a[k] | (a[k + 1] << 8); }

inline std::uint32_t le32(const std::uint8_t* a, std::size_t k) {
    return static_cast<std::uint32_t>(a[k]) | (static_cast<std::uint32_t>(a[k + 1]) << 8) |
           (static_cast<std::uint32_t>(a[k + 2]) << 16) | (static_cast<std::uint32_t>(a[k + 3]) << 24);
}

inline bool starts_with(const std::uint8_t* a, std::initializer_list<std::uint8_t> bytes) {
    std::size_t k = 0;
    for (std::uint8_t b : bytes) {
        if (a[k++] != b) return false;
    }
    return true;
}

// Signatures read at most A[0 .. 35], inside the cleared slack of a short
// sample.
bool is_bmp(const std::uint8_t* a) { return starts_with(a, {0x42, 0x4D}); }
bool is_tga(const std::uint8_t* a) { return a[0] == 0 && a[1] == 0 && (a[2] == 2 || a[2] == 10) && a[3] == 0; }
bool is_ppm(const std::uint8_t* a) { return starts_with(a, {0x50, 0x36, 0x0A}); }
bool is_pgm(const std::uint8_t* a) { return starts_with(a, {0x50, 0x35, 0x0A}); }
bool is_wave(const std::uint8_t* a) { return starts_with(a + 8, {0x57, 0x41, 0x56, 0x45}); }
bool is_aiff(const std::uint8_t* a) {
    return starts_with(a, {0x46, 0x4F, 0x52, 0x4D}) && starts_with(a + 8, {0x41, 0x49, 0x46, 0x46});
}

inline bool is_space(std::uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Above 89% of the sample, the order-1 estimate says matches will not pay.
void apply_compressibility(FileSettings& s, std::uint32_t sample_cost, std::uint32_t n) {
    if (sample_cost > n * 89u / 100u) s.lz_mode = 0;
}

}  // namespace

bool read_width_text(const std::uint8_t* sample, std::uint32_t n, std::uint32_t& width) {
    std::uint32_t i = 3;
    while (i < n && (sample[i] == 0 || sample[i] == '#')) ++i;
    while (i < n && is_space(sample[i])) ++i;
    bool negative = false;
    if (i < n && (sample[i] == '+' || sample[i] == '-')) {
        negative = sample[i] == '-';
        ++i;
    }
    if (i >= n || sample[i] < '0' || sample[i] > '9') return false;
    std::uint32_t value = 0;  // wraps modulo 2^32
    for (; i < n && sample[i] >= '0' && sample[i] <= '9'; ++i) value = value * 10u + (sample[i] - '0');
    width = negative ? 0u - value : value;
    return true;
}

Analyser::Analyser() : estimator_(std::make_unique<SizeEstimator>()) {}

FileSettings Analyser::analyse(std::uint8_t* sample, std::uint32_t n, std::uint8_t* scratch) {
    std::memset(sample + n, 0, SAMPLE_SLACK);
    const std::uint8_t* a = sample;

    // channels, sample_bytes and image_width go on from the previous file.
    FileSettings s = carried_;
    s.media_mode = 0;
    s.lz_mode = 1;
    s.stride = 1;
    s.second_distance = 2;

    // Trial recognition of the image and audio headers.
    bool candidate = false;
    if (is_bmp(a)) {
        s.image_width = le32(a, 18);
        s.channels = 1;
        s.sample_bytes = 1;
        candidate = true;
    }
    if (is_tga(a)) {
        s.image_width = le16(a, 12);
        s.channels = 1;
        s.sample_bytes = 1;
        candidate = true;
    }
    if (is_ppm(a) || is_pgm(a)) {
        read_width_text(a, n, s.image_width);
        s.channels = 1;
        s.sample_bytes = 1;
        candidate = true;
    }
    if (is_wave(a)) {
        s.channels = static_cast<std::uint8_t>(le16(a, 22));
        s.sample_bytes = static_cast<std::uint8_t>(le16(a, 34) >> 3);
        candidate = true;
    }
    if (is_aiff(a)) {
        s.channels = a[21];
        s.sample_bytes = static_cast<std::uint8_t>(a[27] >> 3);
        candidate = true;
    }

    const std::uint32_t sample_cost = n > 1 ? estimator_->estimate(a, n) : 0;

    // Trial delta on a copy: does the filter make the estimate smaller?
    std::uint8_t delta_gain = 0;
    if (candidate) {
        if (s.sample_bytes == 0) s.sample_bytes = 1;
        if (s.channels >= 1 && s.channels <= MAX_CHANNELS) {
            std::memcpy(scratch, a, n);
            std::memset(scratch + n, 0, BLOCK_SLACK);
            delta_filter(scratch, n, s.channels, s.sample_bytes);
            const std::uint32_t trial_cost = n > 1 ? estimator_->estimate(scratch, n) : 0;
            delta_gain = trial_cost < sample_cost ? 1 : 0;
        }
    }

    // Final rules, in order; a later rule overrides an earlier one.
    // Three-byte pixels in channel order, one-byte samples for the delta filter.
    auto rgb_pixels = [&] {
        s.stride = 3;
        s.second_distance = 6;
        s.media_mode = delta_gain;
        s.channels = 1;
        s.lz_mode = 0;
        s.sample_bytes = 1;
    };
    if (is_bmp(a)) rgb_pixels();  // 1
    if (is_ppm(a)) {  // 2
        s.stride = 3;
        s.second_distance = 6;
        s.media_mode = 0;
        s.sample_bytes = delta_gain;
        s.channels = 1;
        s.lz_mode = 0;
        read_width_text(a, n, s.image_width);
    }
    if (starts_with(a, {0x3F, 0x5F, 0x03, 0x00})) s.lz_mode = 1;               // 3 help file
    if (starts_with(a, {0x25, 0x50, 0x44, 0x46})) s.lz_mode = 1;               // 4 PDF
    if (starts_with(a, {0xFF, 0xD8, 0xFF, 0xE0}) && a[6] == 0x4A) s.lz_mode = 0;  // 5 JPEG
    if (starts_with(a, {0x47, 0x49, 0x46, 0x38})) s.lz_mode = 0;               // 6 GIF
    if (starts_with(a, {0xFF, 0xFB, 0xA0, 0x00})) s.lz_mode = 0;               // 7 MPEG audio
    if (starts_with(a, {0x30, 0x26, 0xB2, 0x75})) s.lz_mode = 0;               // 8 ASF
    if (starts_with(a, {0x00, 0x00, 0x01, 0xBA, 0x44})) s.lz_mode = 1;         // 9 MPEG program stream
    if (starts_with(a, {0x49, 0x49, 0x2A, 0x00})) {                            // 10 TIFF
        s.stride = 1;
        s.second_distance = 2;
        s.lz_mode = 0;
    }
    if (starts_with(a, {0x4D, 0x5A, 0x90, 0x00, 0x03})) {  // 11 executable
        s.media_mode = 0;
        s.lz_mode = 1;
    }
    if (starts_with(a, {0x52, 0x49, 0x46, 0x46})) {  // 12 RIFF
        s.lz_mode = 0;
        s.media_mode = 1;
        s.channels = 1;
        s.sample_bytes = 1;
    }
    if (is_aiff(a)) {  // 13
        s.lz_mode = 0;
        s.media_mode = delta_gain;
        s.channels = a[21];
        s.stride = static_cast<std::uint8_t>(a[21] * (a[27] >> 3));
        s.second_distance = static_cast<std::uint8_t>(2 * s.stride);
        s.sample_bytes = static_cast<std::uint8_t>(a[27] >> 3);
    }
    if (is_wave(a)) {  // 14
        const std::uint32_t channel_count = le16(a, 22);
        s.lz_mode = 0;
        s.media_mode = delta_gain;
        s.channels = static_cast<std::uint8_t>(channel_count);
        s.stride = static_cast<std::uint8_t>(channel_count);
        s.second_distance = static_cast<std::uint8_t>(2 * channel_count);
        s.sample_bytes = static_cast<std::uint8_t>(le16(a, 34) >> 3);
    }
    if (is_tga(a)) rgb_pixels();  // 15
    if (is_pgm(a)) {  // 16
        s.media_mode = delta_gain;
        s.channels = 1;
        s.sample_bytes = 1;
        s.lz_mode = 1;
        read_width_text(a, n, s.image_width);
    }
    if (starts_with(a, {0x89, 0x50, 0x4E, 0x47, 0x0D})) s.lz_mode = 0;  // 17 PNG
    if (starts_with(a, {0xD0, 0xCF, 0x11, 0xE0})) s.lz_mode = 1;        // 18 compound document

    // Repairs of a filtered file whose header gave no sample width or no
    // channels.
    // Either gives one channel of plain bytes in channel order.
    if (s.media_mode == 1 && (s.sample_bytes == 0 || s.channels == 0)) {
        if (s.sample_bytes == 0) s.sample_bytes = 1;
        s.lz_mode = 0;
        s.channels = 1;
        s.stride = 1;
        s.second_distance = 2;
        s.image_width = 0xFFFFFFFFu;
    }
    apply_compressibility(s, sample_cost, n);

    // A header the coder or the filters cannot obey is treated as not
    // recognised: the plain settings, with the values reached so far for
    // channels, sample_bytes and image_width.
    if (!settings_usable(s)) {
        s.stride = 1;
        s.second_distance = 2;
        s.media_mode = 0;
        s.lz_mode = 1;
        apply_compressibility(s, sample_cost, n);
    }

    carried_ = s;
    return s;
}

}  // namespace qev
