// The history ring and the match table live in anonymous mappings: they read
// as zeros, only the pages the coder touches are ever backed by memory, and
// clearing hands those pages back instead of writing zeros over them.
#include <sys/mman.h>

#include <cstring>

#include "engine/engine.h"

namespace qev {

namespace {

void* map_zeroed(std::size_t bytes) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void unmap(void* p, std::size_t bytes) {
    if (p != nullptr) munmap(p, bytes);
}

// Zeroes a whole mapping by returning its pages to the kernel.
void zero_mapping(void* p, std::size_t bytes) {
    if (madvise(p, bytes, MADV_DONTNEED) != 0) std::memset(p, 0, bytes);
}

}  // namespace

RingBuffer::~RingBuffer() { release(); }

bool RingBuffer::allocate(std::uint32_t size) {
    if (data_ != nullptr && size_ == size) {
        clear();
        return true;
    }
    release();
    data_ = static_cast<std::uint8_t*>(map_zeroed(size));
    if (data_ == nullptr) return false;
    size_ = size;
    pos = 0;
    fill = 0;
    return true;
}

void RingBuffer::release() {
    unmap(data_, size_);
    data_ = nullptr;
    size_ = 0;
    pos = 0;
    fill = 0;
}

// Every byte written to the ring advances fill, so [0, fill) is all that can
// be non-zero until the ring wraps (fill is the size then). A fresh ring must
// read as zeros throughout: a damaged stream may ask for bytes never written,
// and must decode the same in a reused ring as in a new one. A few written
// pages are cheaper to write over; more go back to the kernel, which also
// hands their memory back.
void RingBuffer::clear() {
    if (data_ == nullptr) return;
    constexpr std::uint32_t CLEAR_BY_WRITING = 1u << 20;
    if (fill <= CLEAR_BY_WRITING) {
        std::memset(data_, 0, fill);
    } else {
        zero_mapping(data_, fill);
    }
    pos = 0;
    fill = 0;
}

MatchTable::~MatchTable() { release(); }

bool MatchTable::allocate(std::uint32_t hash_bits, std::uint32_t depth) {
    const std::size_t bytes = static_cast<std::size_t>(4) << hash_bits;
    if (entries_ != nullptr && bytes_ == bytes && depth_ == depth) {
        clear();
        return true;
    }
    release();
    // Either mapping may fail: the other goes back with its own size, since
    // release() only knows the sizes of a table it holds.
    void* entries = map_zeroed(bytes);
    void* line_epoch = map_zeroed(bytes / LINE_BYTES);
    if (entries == nullptr || line_epoch == nullptr) {
        unmap(entries, bytes);
        unmap(line_epoch, bytes / LINE_BYTES);
        return false;
    }
    entries_ = static_cast<std::uint32_t*>(entries);
    line_epoch_ = static_cast<std::uint8_t*>(line_epoch);
    huge_pages_ = false;
    bytes_ = bytes;
    depth_ = depth;
    // Fresh lines read as zeros already: they belong to the first clear.
    epoch_ = 0;
    return true;
}

void MatchTable::release() {
    unmap(entries_, bytes_);
    unmap(line_epoch_, bytes_ / LINE_BYTES);
    entries_ = nullptr;
    line_epoch_ = nullptr;
    bytes_ = 0;
}

void MatchTable::use_huge_pages() {
    if (huge_pages_ || entries_ == nullptr) return;
    huge_pages_ = true;
#ifdef MADV_HUGEPAGE
    madvise(entries_, bytes_, MADV_HUGEPAGE);
#endif
}

void MatchTable::populate() const {
    if (entries_ == nullptr) return;
#ifdef MADV_POPULATE_WRITE
    madvise(entries_, bytes_, MADV_POPULATE_WRITE);
    madvise(line_epoch_, bytes_ / LINE_BYTES, MADV_POPULATE_WRITE);
#endif
}

void MatchTable::clear() {
    if (entries_ == nullptr) return;
    if (++epoch_ == 0) {
        // The clear counter wrapped: every line is marked as older than the
        // next clear, so each is zeroed on its first use as before.
        std::memset(line_epoch_, 0, bytes_ / LINE_BYTES);
        epoch_ = 1;
    }
}

ZeroedMapping::~ZeroedMapping() { release(); }

bool ZeroedMapping::allocate(std::size_t bytes) {
    if (data_ != nullptr && bytes_ == bytes) return true;
    release();
    data_ = map_zeroed(bytes);
    if (data_ == nullptr) return false;
    bytes_ = bytes;
#ifdef MADV_HUGEPAGE
    madvise(data_, bytes_, MADV_HUGEPAGE);
#endif
    return true;
}

void ZeroedMapping::release() {
    unmap(data_, bytes_);
    data_ = nullptr;
    bytes_ = 0;
}

void ZeroedMapping::clear() {
    if (data_ != nullptr) zero_mapping(data_, bytes_);
}

}  // namespace qev
