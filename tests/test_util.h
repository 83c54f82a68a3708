// Helpers shared by the tests: in-memory byte streams, file I/O and data makers.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace qev::test {

// Address space of this process in bytes, read without allocating.
inline std::uint64_t mapped_bytes() {
    char text[64] = {};
    const int fd = open("/proc/self/statm", O_RDONLY);
    if (fd < 0) return 0;
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return 0;
    return std::strtoull(text, nullptr, 10) * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

class MemorySink : public ByteSink {
public:
    bool write(const std::uint8_t* data, std::size_t n) override {
        bytes.insert(bytes.end(), data, data + n);
        write_sizes.push_back(n);
        return true;
    }
    std::vector<std::uint8_t> bytes;
    std::vector<std::size_t> write_sizes;
};

class MemorySource : public ByteSource {
public:
    explicit MemorySource(const std::vector<std::uint8_t>& data) : data_(data) {}
    std::size_t read(std::uint8_t* out, std::size_t n) override {
        const std::size_t left = data_.size() - pos_;
        const std::size_t take = n < left ? n : left;
        if (take) std::memcpy(out, data_.data() + pos_, take);
        pos_ += take;
        return take;
    }

private:
    const std::vector<std::uint8_t>& data_;
    std::size_t pos_ = 0;
};

inline std::vector<std::uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const std::vector<std::uint8_t>& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline std::vector<std::uint8_t> random_bytes(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> v(n);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng());
    return v;
}

// Text-like data with repeats at many distances.
inline std::vector<std::uint8_t> wordy_bytes(std::size_t n, std::uint32_t seed) {
    static const char* words[] = {"the ", "quick ", "brown ", "fox ", "jumps ", "over ", "lazy ", "dog ",
                                  "and ", "then ", "again, ", "archive ", "\n", "of ", "ring "};
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> v;
    while (v.size() < n) {
        const char* w = words[rng() % 15];
        v.insert(v.end(), w, w + std::strlen(w));
    }
    v.resize(n);
    return v;
}

inline const std::vector<std::string>& corpus_files() {
    static const std::vector<std::string> names = {"alice29.txt", "asyoulik.txt", "fireworks.jpeg", "geo.protodata",
                                                   "html",        "kppkn.gtb",    "lcet10.txt",     "paper-100k.pdf",
                                                   "plrabn12.txt", "urls.10K"};
    return names;
}

inline std::string corpus_path(const std::string& name) { return std::string(QEV_CORPUS_DIR) + "/" + name; }

}  // namespace qev::test
