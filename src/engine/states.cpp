// Probability states, model arrays and the size estimator.
#include <algorithm>
#include <iterator>

#include "engine/engine.h"

namespace qev {

namespace {

// Divisor of the adaptation step for a state value: coarse steps near 0 and
// 2048, fine steps near one half.
int state_divisor(int value) {
    static const struct {
        int last;
        int divisor;
    } bands[] = {
        {256, 8},   {520, 12},  {776, 16},  {904, 20},  {968, 24},  {1000, 28}, {1016, 32}, {1031, 36},
        {1047, 32}, {1079, 28}, {1143, 24}, {1271, 20}, {1527, 16}, {1791, 12}, {2047, 8},
    };
    for (const auto& band : bands) {
        if (value <= band.last) return band.divisor;
    }
    return 8;
}

}  // namespace

void build_state_table(StateTable& table) {
    for (int i = 0; i < 2048; ++i) {
        const int d = state_divisor(i);
        table.next[i][1] = static_cast<std::uint16_t>(i + (2048 - i) / d);
        table.next[i][0] = static_cast<std::uint16_t>(i - i / d);
    }
}

const StateTable& state_table() {
    static const StateTable table = [] {
        StateTable t;
        build_state_table(t);
        return t;
    }();
    return table;
}

void Models::reset_carried() {
    std::fill(std::begin(literal), std::end(literal), PROB_INIT);
    std::fill(std::begin(length), std::end(length), PROB_INIT);
    std::fill(std::begin(offset_slot), std::end(offset_slot), PROB_INIT);
}

void Models::reset_offset_bits() { std::fill(std::begin(offset_bits), std::end(offset_bits), PROB_INIT); }

void CoderState::begin_stream() {
    ctx_a = 0;
    ctx_b = 0;
    std::memset(next_byte, 0, sizeof next_byte);
    models.reset_offset_bits();
}

void SizeEstimator::prepare() {
    std::fill(std::begin(probs_), std::end(probs_), PROB_INIT);
    range_ = 0xFFFFFF;
    count_ = 0;
}

namespace {

// One byte through the order-1 bit tree of its context: the range shrinks as
// a coder's would, and every drop below 0x10000 counts one output byte.
inline void estimate_one(const StateTable& table, std::uint16_t* cells, unsigned byte, std::uint32_t& range,
                         std::uint32_t& count) {
    unsigned node = 1;
    for (int i = 7; i >= 0; --i) {
        const unsigned bit = (byte >> i) & 1u;
        const std::uint16_t cell = cells[node];
        const std::uint32_t bound = cell * (range >> 11);
        range = bit ? bound : range - bound;
        cells[node] = table.next[cell][bit];
        if (range < 0x10000) {
            ++count;
            range = 0xFFFFFF;
        }
        node = node * 2 + bit;
    }
}

}  // namespace

void SizeEstimator::estimate_byte(std::uint8_t byte, std::uint8_t previous) {
    estimate_one(state_table(), probs_ + previous * 256, byte, range_, count_);
}

std::uint32_t SizeEstimator::estimate(const std::uint8_t* data, std::size_t n) {
    prepare();
    const StateTable& table = state_table();
    std::uint32_t range = range_;
    std::uint32_t count = 0;
    for (std::size_t i = 1; i < n; ++i) estimate_one(table, probs_ + data[i - 1] * 256, data[i], range, count);
    range_ = range;
    count_ = count;
    return count;
}

}  // namespace qev
