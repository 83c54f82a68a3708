// The strong parse (qev a -u): a binary-tree match finder over the ring and
// a shortest-path parse priced from the coder's live model cells.
//
// A block is parsed a window at a time. At the start of a window the prices
// of every decision are read from the models as the coder has left them;
// the cheapest path of literals and matches through the window is found
// (every position is a node, a literal or a match an edge), its tokens are
// coded, and the next window is priced from the models that coding left.
//
// The format has no state besides the models: the price of an edge does not
// depend on the path that reached its start, so the cheapest path to each
// position is final once every position before it has been visited.
#include <algorithm>
#include <cmath>
#include <new>

#include "engine/engine.h"

namespace qev {

namespace {

// Positions priced from one reading of the models.
constexpr std::uint32_t WINDOW = 128;
// A window goes on past WINDOW until a position that no match crosses, or
// this much further.
constexpr std::uint32_t EXTENT = 512;
constexpr std::uint32_t SPAN = WINDOW + EXTENT;
// A match at least this long is taken at once, and the tree compares no
// further: its end is where the next window starts.
constexpr std::uint32_t NICE = 128;
// Runs of one byte at least this long are remembered as sources: in a run
// the tree keeps only the newest position (each gives way to the next).
constexpr std::uint32_t RUN_KEPT = 16;
// Older sources of a long match tried.
constexpr std::uint32_t SAME_STEPS = 16;
// Tree nodes one search visits.
constexpr std::uint32_t TREE_STEPS = 64;
// Every length up to this is priced; a longer match is priced at the full
// length of each candidate only.
constexpr std::uint32_t SCORED_LENGTHS = 64;
// How many positions ahead the parse asks for the head of a search.
constexpr std::uint32_t SEARCH_AHEAD = 4;
// Candidates one search returns at most, each at least as long as the one
// before.
constexpr std::uint32_t MAX_CANDIDATES = 64;
// The tree covers at most 2^(hash_bits - 1) positions: its two links and
// its older-equal link per position take one and a half times the bytes of
// the match table of the same -h. Its heads: one per four positions, at
// most 2^MAX_HEAD_BITS (16 MiB).
constexpr std::uint32_t MAX_HEAD_BITS = 22;

// Prices in 1/32 bit.
constexpr std::uint32_t PRICE_ONE_BIT = 32;
constexpr std::uint32_t INFINITE = 0xFFFFFFFFu;

// price[v]: the price of a bit whose chance is v/4096.
struct PriceTable {
    std::uint16_t price[4097];
    PriceTable() {
        for (int v = 0; v <= 4096; ++v) {
            const double chance = std::max(v, 1) / 4096.0;
            price[v] = static_cast<std::uint16_t>(std::lround(-std::log2(chance) * PRICE_ONE_BIT));
        }
    }
};

const PriceTable& price_table() {
    static const PriceTable table;
    return table;
}

// A pair of cells s + t is the chance of a 1 in 1/4096.
inline std::uint32_t pair_price(const std::uint16_t* price, std::uint32_t pair, unsigned bit) {
    return price[bit ? pair : 4096 - pair];
}

inline std::uint64_t load_u64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline std::uint32_t hash_eight(const std::uint8_t* p, std::uint32_t mask) {
    const std::uint64_t v = load_u64(p);
    return static_cast<std::uint32_t>((v * 0x9E3779B97F4A7C15ull) >> 40) & mask;
}

// Bytes a and b have in common, at most limit.
inline std::uint32_t common_length(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t limit) {
    std::uint32_t l = 0;
    while (l + 8 <= limit) {
        const std::uint64_t diff = load_u64(a + l) ^ load_u64(b + l);
        if (diff != 0) return l + (static_cast<std::uint32_t>(__builtin_ctzll(diff)) >> 3);
        l += 8;
    }
    while (l < limit && a[l] == b[l]) ++l;
    return l;
}

struct Candidate {
    std::uint32_t length;    // longest match from this source
    std::uint32_t distance;  // ring position of the match minus that of the source
    std::uint32_t source;    // ring index of the source
    std::uint32_t price;     // of its offset
};

}  // namespace

struct BlockEncoder::Strong {
    ZeroedMapping tree_map;  // two links per position: the smaller and the larger suffixes
    ZeroedMapping head_map;  // the newest position of each hash
    // For each position, the position it replaced in the tree because their
    // first NICE bytes are equal (0: none): the older sources of a long match.
    ZeroedMapping same_map;
    std::uint32_t* same = nullptr;
    std::uint32_t* tree = nullptr;
    std::uint32_t* head = nullptr;
    std::uint32_t tree_mask = 0;
    std::uint32_t head_mask = 0;
    // Number of the next byte the ring takes, counted on across streams so
    // that tree entries of an earlier stream lie beyond the ring's fill.
    // The tree's entries are such numbers; 0 (a fresh mapping) lies beyond
    // every distance allowed.
    std::uint32_t next = 0;

    // The longest recent run of at least RUN_KEPT bytes of each value (its
    // first byte's number, 0 for none, and its length), and the run the ring
    // is taking now.
    std::uint32_t run_start[256] = {};
    std::uint32_t run_kept[256] = {};
    std::uint32_t run_from = 0;
    std::uint32_t run_length = 0;
    std::uint8_t run_byte = 0;

    Candidate found[MAX_CANDIDATES + 33];
    std::uint32_t found_count = 0;

    // One entry per position of a window and the one past it.
    std::uint32_t cost[SPAN + 1];
    std::uint32_t step[SPAN + 1];      // length of the edge that reaches the position: 1 a literal
    std::uint32_t distance[SPAN + 1];  // of a match edge
    std::uint8_t after[SPAN + 1];      // of a match edge
    std::uint32_t more[SPAN + 2];      // running sum of the "more" flag prices, by position
    std::uint32_t path[SPAN + 1];
    Token tokens[SPAN / MIN_MATCH + 4];

    static std::uint32_t tree_positions(const SearchSettings& s) {
        return std::min<std::uint32_t>(s.ring_size, 1u << (s.hash_bits - 1));
    }
    static std::uint32_t head_entries(std::uint32_t positions) {
        return std::min<std::uint32_t>(positions / 4, 1u << MAX_HEAD_BITS);
    }
};

void BlockEncoder::StrongDeleter::operator()(Strong* strong) const { delete strong; }

std::uint64_t BlockEncoder::search_bytes(const SearchSettings& search) {
    if (!search.strong) {
        const std::uint64_t table = std::uint64_t{4} << search.hash_bits;
        return table + table / MatchTable::LINE_BYTES;
    }
    const std::uint32_t positions = Strong::tree_positions(search);
    return std::uint64_t{12} * positions + std::uint64_t{4} * Strong::head_entries(positions) + sizeof(Strong);
}

bool BlockEncoder::reset_strong() {
    if (!strong_) {
        strong_.reset(new (std::nothrow) Strong);
        if (!strong_) return false;
        const std::uint32_t positions = Strong::tree_positions(search_);
        const std::uint32_t heads = Strong::head_entries(positions);
        if (!strong_->tree_map.allocate(std::size_t{8} * positions) ||
            !strong_->same_map.allocate(std::size_t{4} * positions) ||
            !strong_->head_map.allocate(std::size_t{4} * heads)) {
            strong_.reset();
            return false;
        }
        strong_->tree = static_cast<std::uint32_t*>(strong_->tree_map.data());
        strong_->head = static_cast<std::uint32_t*>(strong_->head_map.data());
        strong_->same = static_cast<std::uint32_t*>(strong_->same_map.data());
        strong_->tree_mask = positions - 1;
        strong_->head_mask = heads - 1;
        strong_->next = positions;
    }
    return true;
}

// The ring takes one byte.
inline void BlockEncoder::strong_advance(std::uint8_t byte) {
    Strong& s = *strong_;
    if (byte == s.run_byte && s.run_length != 0) {
        ++s.run_length;
    } else {
        // A run replaces a longer one only once that lies half the tree back.
        if (s.run_length >= RUN_KEPT && (s.run_length >= s.run_kept[s.run_byte] ||
                                         s.run_from - s.run_start[s.run_byte] > s.tree_mask / 2)) {
            s.run_start[s.run_byte] = s.run_from;
            s.run_kept[s.run_byte] = s.run_length;
        }
        s.run_byte = byte;
        s.run_from = s.next;
        s.run_length = 1;
    }
    ring_.data()[ring_.pos] = byte;
    ring_.pos = (ring_.pos + 1) & ring_.mask();
    if (ring_.fill < ring_.size()) ++ring_.fill;
    ++strong_->next;
}

// Enters position p (ring number strong_->next) in the tree and collects the
// matches that start there, shortest first, each the nearest of its length
// among the nodes visited. Sources lie at most max_dist back. Without
// collect the position is only entered (it lies inside a match taken).
//
// The tree holds, for each hash of eight bytes, the positions in the order
// of the bytes that follow them; a search walks down from the newest,
// re-linking the nodes it passes around the new position, which becomes the
// root. Each node's match is measured from its first byte, so a length is
// never taken on trust from the tree's order.
std::uint32_t BlockEncoder::strong_search(const std::uint8_t* x, std::uint32_t len, std::uint32_t p,
                                          std::uint32_t max_dist, bool collect) {
    Strong& s = *strong_;
    const std::uint8_t* cur = x + p;
    const std::uint8_t* ring = ring_.data();
    const std::uint32_t ring_size = ring_.size();
    const std::uint32_t ring_mask = ring_.mask();
    const std::uint32_t pos = ring_.pos;
    const std::uint32_t a = s.next;
    const std::uint32_t limit = std::min(NICE, len - p);
    std::uint32_t* const head = s.head + hash_eight(cur, s.head_mask);
    std::uint32_t node = *head;
    *head = a;
    std::uint32_t* smaller = s.tree + 2 * (a & s.tree_mask);
    std::uint32_t* larger = smaller + 1;
    std::uint32_t& same = s.same[a & s.tree_mask];
    same = 0;
    std::uint32_t best = MIN_MATCH - 1;
    std::uint32_t count = 0;
    std::uint32_t period = 0;  // a node that matched up to the current position
    for (std::uint32_t steps = TREE_STEPS;; --steps) {
        const std::uint32_t d = a - node;
        if (steps == 0 || d - 1 >= max_dist) {
            *smaller = 0;
            *larger = 0;
            break;
        }
        std::uint32_t* const links = s.tree + 2 * (node & s.tree_mask);
        const std::uint32_t source = (pos - d) & ring_mask;
        const std::uint8_t* r = ring + source;
        // The ring holds the node's bytes up to the current position and up
        // to its end; past those the order is unknown.
        const std::uint32_t reach = std::min(limit, std::min(ring_size - source, d));
        const std::uint32_t l = common_length(r, cur, reach);
        // A match reads one byte past its end, which must lie before the
        // current position and inside the ring.
        const std::uint32_t usable = std::min(l, std::min(d - 1, ring_size - 1 - source));
        if (usable >= best && usable >= MIN_MATCH && count < MAX_CANDIDATES) {
            best = usable;
            s.found[count++] = Candidate{usable, d, source, 0};
        }
        // A match that runs up to the current position: the bytes repeat
        // with period d.
        if (l + 1 >= d && period == 0) period = d;
        if (l == reach) {
            // Equal as far as known: the node gives way to the new position,
            // which takes over its links.
            if (reach == limit) same = node;
            *smaller = links[0];
            *larger = links[1];
            break;
        }
        if (r[l] < cur[l]) {
            *smaller = node;
            smaller = links + 1;
            node = *smaller;
        } else {
            *larger = node;
            larger = links;
            node = *larger;
        }
    }
    if (!collect) return 0;
    // The tree compares no further than NICE: a match that long is measured
    // to its end here.
    const std::uint32_t room = std::min(len - p, MAX_MATCH);
    if (count != 0 && s.found[count - 1].length == NICE && room > NICE) {
        Candidate& c = s.found[count - 1];
        const std::uint32_t cap = std::min(std::min(c.distance - 1, ring_size - 1 - c.source), room);
        c.length = NICE + common_length(ring + c.source + NICE, cur + NICE, cap - NICE);
        // Older positions with the same first NICE bytes may match longer.
        std::uint32_t older = s.same[(a - c.distance) & s.tree_mask];
        for (std::uint32_t steps = SAME_STEPS; steps != 0 && c.length < room; --steps) {
            const std::uint32_t d = a - older;
            if (d - 1 >= max_dist) break;
            const std::uint32_t source = (pos - d) & ring_mask;
            const std::uint32_t cap_d = std::min(std::min(d - 1, ring_size - 1 - source), room);
            if (cap_d > c.length && ring[source + c.length] == cur[c.length]) {
                const std::uint32_t l = common_length(ring + source, cur, cap_d);
                if (l > c.length) c = Candidate{l, d, source, 0};
            }
            older = s.same[older & s.tree_mask];
        }
        if (c.length + 1 >= c.distance && period == 0) period = c.distance;
        best = c.length;
    }
    // Inside a run of one byte, the longest recent earlier run of it.
    const std::uint64_t eight = load_u64(cur);
    if (room >= MIN_MATCH && eight == (eight & 0xFF) * 0x0101010101010101ull) {
        const std::uint32_t d = a - s.run_start[cur[0]];
        if (d - 1 < max_dist) {
            const std::uint32_t source = (pos - d) & ring_mask;
            const std::uint32_t cap = std::min(std::min(d - 1, ring_size - 1 - source), room);
            const std::uint32_t l = common_length(ring + source, cur, cap);
            if (l > best) {
                best = l;
                s.found[count++] = Candidate{l, d, source, 0};
            }
        }
    }
    // Bytes that repeat with a period (a run of one byte, a table of
    // records) match only up to the current position from the period back;
    // whole multiples of it further back match longer.
    if (period != 0) {
        // The first multiple that can hold a match, then doubling ones.
        const std::uint64_t first = std::max<std::uint64_t>(2, (MIN_MATCH + period) / period);
        for (std::uint64_t d = first * period; d <= max_dist && count < MAX_CANDIDATES + 32; d *= 2) {
            const std::uint32_t source = (pos - static_cast<std::uint32_t>(d)) & ring_mask;
            const std::uint32_t cap = std::min<std::uint32_t>(
                std::min<std::uint32_t>(static_cast<std::uint32_t>(d) - 1, ring_size - 1 - source), room);
            const std::uint32_t l = common_length(ring + source, cur, cap);
            if (l > best) {
                best = l;
                s.found[count++] = Candidate{l, static_cast<std::uint32_t>(d), source, 0};
            }
            if (l < cap || l == room) break;
        }
    }
    s.found_count = count;
    return count;
}

// Checks each match against the ring before it is coded: a source inside the
// ring's valid bytes, never reaching the current position, no wrap past the
// ring's end, the same bytes, and the byte past the match as the token says.
// A match that fails goes out as literals. tokens start at block position
// start, where the ring's position and fill were pos0 and fill0.
void BlockEncoder::check_tokens(const std::uint8_t* x, std::uint32_t len, std::uint32_t start, std::uint32_t pos0,
                                std::uint32_t fill0, Token* tokens, std::uint32_t count) {
    const std::uint8_t* ring = ring_.data();
    const std::uint32_t size = ring_.size();
    std::uint32_t p = start;
    for (std::uint32_t i = 0; i < count; ++i) {
        Token& t = tokens[i];
        p += t.literals;
        if (t.length == 0) continue;
        const std::uint32_t done = p - start;
        const std::uint32_t pos = (pos0 + done) & ring_.mask();
        const std::uint32_t fill = std::min<std::uint64_t>(std::uint64_t{fill0} + done, size);
        const std::uint32_t d = t.offset - 1;
        const std::uint32_t source = (pos - d) & ring_.mask();
        const bool ok = t.length >= MIN_MATCH && t.length <= MAX_MATCH && p + t.length <= len && d >= 1 &&
                        d <= fill && t.length < d && source + t.length < size &&
                        std::memcmp(ring + source, x + p, t.length) == 0 && ring[source + t.length] == t.after;
        p += t.length;
        if (!ok) {
            ++token_faults_;
            t.literals += t.length;
            t.length = 0;
        }
    }
}

void BlockEncoder::strong_block(const std::uint8_t* x, std::uint32_t len, bool text_flag, bool raw_flag) {
    // The flags and the first 64 bytes, which stay out of the ring.
    begin_code(x, len, text_flag, raw_flag);
    if (len <= 64) return;
    Strong& s = *strong_;
    // The ring numbers wrap after 4 GiB: well before, the tree starts anew.
    if (s.next > 0xF0000000u) {
        s.tree_map.clear();
        s.head_map.clear();
        s.same_map.clear();
        s.next = s.tree_mask + 1;
    }
    for (std::uint32_t p = 64; p < len;) p = strong_window(x, len, raw_flag, p);
}

// Parses and codes the window from block position w0; returns where the next
// one starts.
std::uint32_t BlockEncoder::strong_window(const std::uint8_t* x, std::uint32_t len, bool raw, std::uint32_t w0) {
    Strong& s = *strong_;
    const std::uint16_t* price = price_table().price;
    const std::uint16_t* lit = state_->models.literal;
    const std::uint16_t* lengths = state_->models.length;
    const std::uint16_t* slot_cells = state_->models.offset_slot;
    const std::uint16_t* bit_cells = state_->models.offset_bits;
    const std::uint8_t* next_byte = state_->next_byte;
    const std::uint8_t* ring = ring_.data();
    const std::uint32_t stride = settings_.stride;
    const std::uint32_t end_limit = std::min(len, w0 + SPAN);
    // Sources lie within the tree, within the ring's fill, and far enough
    // back that the bytes this window enters do not overwrite them before
    // its tokens are checked.
    const std::uint32_t tree_reach = s.tree_mask;
    const std::uint32_t ring_reach = ring_.size() - 1 - SPAN;

    // more[j - w0]: the prices of the "more" flags for block positions w0 ..
    // j - 1: the flag for byte j of a match depends on bytes j - 2 .. j only.
    // It and the costs are set up as far as the edges reach so far.
    const std::uint32_t pos0 = ring_.pos;
    const std::uint32_t fill0 = ring_.fill;
    s.cost[0] = 0;
    s.more[0] = 0;
    // In a run of one byte every flag of a match takes the same two cells,
    // which grow surer with each: a long match there costs far less than
    // its first flag's price times its length. Such flags are priced with
    // the cells stepped as the flags before them in the run would step them.
    const StateTable& st = state_table();
    std::uint32_t ready = 0;
    std::uint32_t last_a = 0;
    std::uint32_t last_b = 0;
    std::uint32_t state_a = 0;
    std::uint32_t state_b = 0;
    auto prepare = [&](std::uint32_t upto) {
        for (; ready < upto; ++ready) {
            const std::uint32_t j = w0 + ready;
            const std::uint32_t cell_a = x[j - 1] * 256u + x[j];
            const std::uint32_t cell_b = 65536u + x[j - 2] * 256u + x[j - 1];
            if (cell_a == last_a && cell_b == last_b) {
                state_a = st.next[state_a][1];
                state_b = st.next[state_b][1];
            } else {
                state_a = lengths[cell_a];
                state_b = lengths[cell_b];
                last_a = cell_a;
                last_b = cell_b;
            }
            s.more[ready + 1] = s.more[ready] + pair_price(price, state_a + state_b, 1);
            s.cost[ready + 1] = INFINITE;
        }
    };

    // The offset's price: its slot's five bits and its remainder's bits,
    // down the same tree of cells as the coder.
    auto offset_price = [&](std::uint32_t value) {
        std::uint32_t slot;
        std::uint32_t remainder;
        split_offset(value, slot, remainder);
        std::uint32_t path = 1;
        std::uint32_t sum = 0;
        for (int i = 4; i >= 0; --i) {
            const unsigned bit = ((slot - 1) >> i) & 1u;
            sum += pair_price(price, 2u * slot_cells[path], bit);
            path = path * 2 + bit;
        }
        for (int i = static_cast<int>(slot) - 1; i >= 0; --i) {
            const unsigned bit = (remainder >> i) & 1u;
            sum += pair_price(price, 2u * bit_cells[path], bit);
            path = (path * 2 + bit) & 0xFFFF;
        }
        return sum;
    };

    std::uint32_t reach = w0;  // furthest position an edge reaches
    std::uint32_t end = end_limit;
    Candidate forced{0, 0, 0, 0};
    std::uint32_t p = w0;
    for (; p < end_limit; ++p) {
        if (p >= w0 + WINDOW && reach <= p) break;
        const std::uint32_t i = p - w0;
        const std::uint32_t base = s.cost[i];
        const std::uint32_t ctx_a = (p >= stride ? x[p - stride] : 0u) * 512u;
        const std::uint32_t ctx_b = next_byte[x[p - 2] + 256u * x[p - 1]] * 512u + 256u;
        const std::uint32_t flag = lit[ctx_a] + lit[ctx_b];
        std::uint32_t literal = pair_price(price, flag, 0);
        if (raw) {
            literal += 8 * PRICE_ONE_BIT;
        } else {
            const std::uint16_t* pa = lit + ctx_a;
            const std::uint16_t* pb = lit + ctx_b;
            unsigned node = 1;
            for (int b = 7; b >= 0; --b) {
                const unsigned bit = (x[p] >> b) & 1u;
                literal += pair_price(price, pa[node] + pb[node], bit);
                node = node * 2 + bit;
            }
        }
        prepare(i + 1);
        if (base + literal < s.cost[i + 1]) {
            s.cost[i + 1] = base + literal;
            s.step[i + 1] = 1;
        }
        if (reach < p + 1) reach = p + 1;

        // The head of a search a few positions on is far from the caches:
        // ask for it now.
        if (p + SEARCH_AHEAD < len) prefetch_line(s.head + hash_eight(x + p + SEARCH_AHEAD, s.head_mask));
        const std::uint32_t fill_reach = ring_.fill;
        const std::uint32_t max_dist = std::min(std::min(tree_reach, ring_reach), fill_reach);
        const std::uint32_t count = strong_search(x, len, p, max_dist, true);
        if (count != 0) {
            Candidate* c = s.found;
            const Candidate& longest = c[count - 1];
            if (longest.length >= NICE) {
                // Long enough to take at once: coded after the path to here.
                forced = longest;
                end = p;
                break;
            }
            const std::uint32_t match = base + pair_price(price, flag, 1);
            for (std::uint32_t k = 0; k < count; ++k) c[k].price = offset_price(c[k].distance + 1);
            // The cheapest offset for each length: the candidates are in
            // order of length, so the sources a length may take are a suffix.
            for (std::uint32_t k = count - 1; k-- > 0;) {
                if (c[k + 1].price < c[k].price) {
                    c[k].price = c[k + 1].price;
                    c[k].distance = c[k + 1].distance;
                    c[k].source = c[k + 1].source;
                }
            }
            const std::uint32_t room = end_limit - p;
            prepare(i + std::min(longest.length, room));
            // Prices a match of length l from candidate k.
            auto relax = [&](std::uint32_t l, const Candidate& k) {
                const std::uint8_t next = ring[k.source + l];
                const std::uint32_t cell_a = x[p + l - 1] * 256u + next;
                const std::uint32_t cell_b = 65536u + x[p + l - 2] * 256u + x[p + l - 1];
                const std::uint32_t total = match + k.price + s.more[i + l] - s.more[i + MIN_MATCH] +
                                            pair_price(price, lengths[cell_a] + lengths[cell_b], 0);
                if (total < s.cost[i + l]) {
                    s.cost[i + l] = total;
                    s.step[i + l] = l;
                    s.distance[i + l] = k.distance;
                    s.after[i + l] = next;
                }
            };
            std::uint32_t k = 0;
            const std::uint32_t all = std::min(std::min(longest.length, SCORED_LENGTHS), room);
            for (std::uint32_t l = MIN_MATCH; l <= all; ++l) {
                while (c[k].length < l) ++k;
                relax(l, c[k]);
            }
            for (; k < count; ++k) {
                const std::uint32_t l = std::min(c[k].length, room);
                if (l > all) relax(l, c[k]);
            }
            const std::uint32_t far = p + std::min(longest.length, room);
            if (reach < far) reach = far;
        }
        strong_advance(x[p]);
    }
    if (p < end && forced.length == 0) end = p;

    // The path back from the end, then its tokens.
    std::uint32_t steps = 0;
    for (std::uint32_t i = end - w0; i > 0; i -= s.step[i]) s.path[steps++] = i;
    std::uint32_t count = 0;
    std::uint32_t run = 0;
    while (steps-- > 0) {
        const std::uint32_t i = s.path[steps];
        const std::uint32_t l = s.step[i];
        if (l == 1) {
            ++run;
            continue;
        }
        s.tokens[count++] = Token{run, l, s.distance[i] + 1, s.after[i]};
        run = 0;
    }
    if (forced.length != 0) {
        s.tokens[count++] = Token{run, forced.length, forced.distance + 1, ring[forced.source + forced.length]};
        run = 0;
    }
    if (run != 0) s.tokens[count++] = Token{run, 0, 0, 0};
    check_tokens(x, len, w0, pos0, fill0, s.tokens, count);
    code_tokens(s.tokens, count);
    if (forced.length == 0) return end;
    // The match's bytes enter the ring and the tree; its first position is
    // in the tree already.
    const std::uint32_t stop = end + forced.length;
    strong_advance(x[end]);
    for (std::uint32_t q = end + 1; q < stop; ++q) {
        const std::uint32_t max_dist = std::min(std::min(s.tree_mask, ring_.size() - 1 - SPAN), ring_.fill);
        strong_search(x, len, q, max_dist, false);
        strong_advance(x[q]);
    }
    return stop;
}

}  // namespace qev
