// Speed of the coding engine alone: encode_block and decode_block over each
// file of a folder at the settings of -m2 and -m9 (plain LZ settings, no
// filters, no file I/O), with xz -6 and bzip2 -9 timed on the same files for
// scale.
// Usage: engine_bench [FOLDER]   (default: tests/data/corpus, run from the repository root)
#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/method_levels.h"

namespace {

using Clock = std::chrono::steady_clock;

class Sink : public qev::ByteSink {
public:
    bool write(const std::uint8_t* data, std::size_t n) override {
        bytes.insert(bytes.end(), data, data + n);
        return true;
    }
    std::vector<std::uint8_t> bytes;
};

class Source : public qev::ByteSource {
public:
    explicit Source(const std::vector<std::uint8_t>& d) : data(d) {}
    std::size_t read(std::uint8_t* out, std::size_t n) override {
        const std::size_t take = std::min(n, data.size() - pos);
        std::copy(data.begin() + pos, data.begin() + pos + take, out);
        pos += take;
        return take;
    }
    const std::vector<std::uint8_t>& data;
    std::size_t pos = 0;
};

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Wall time of a shell command, best of three.
double time_command(const std::string& cmd) {
    double best = 1e9;
    for (int i = 0; i < 3; ++i) {
        const auto start = Clock::now();
        if (std::system(cmd.c_str()) != 0) return -1;
        best = std::min(best, seconds_since(start));
    }
    return best;
}

qev::SearchSettings level(int m) { return qev::search_settings(m); }

}  // namespace

int main(int argc, char** argv) {
    const std::string folder = argc > 1 ? argv[1] : "tests/data/corpus";
    std::vector<std::string> names;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string n = e->d_name;
            if (n[0] != '.' && n != "README.md" && n != "SHA256SUMS") names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::vector<std::uint8_t> block(qev::BLOCK_SIZE + qev::BLOCK_SLACK);
    std::printf("| file | bytes | -m2 size | -m2 enc MB/s | -m2 dec MB/s | -m9 size | -m9 enc MB/s | -m9 dec MB/s "
                "| xz -6 MB/s | bzip2 -9 MB/s |\n|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const auto& name : names) {
        const std::string path = folder + "/" + name;
        std::ifstream in(path, std::ios::binary);
        const std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const double mb = data.size() / 1e6;
        std::printf("| %s | %zu", name.c_str(), data.size());
        for (int m : {2, 9}) {
            double best_enc = 1e9, best_dec = 1e9;
            std::size_t coded_size = 0;
            // One encoder for all runs, as a run of many files has: after the
            // first file the table's pages are resident.
            auto enc = std::make_unique<qev::BlockEncoder>(level(m));
            for (int rep = 0; rep < 4; ++rep) {
                if (!enc->reset_all()) return 1;
                Sink sink;
                auto start = Clock::now();
                enc->begin_stream(&sink, qev::StreamSettings{});
                for (std::size_t done = 0; done < data.size(); done += qev::BLOCK_SIZE) {
                    const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>(qev::BLOCK_SIZE, data.size() - done));
                    std::copy(data.begin() + done, data.begin() + done + n, block.begin());
                    enc->encode_block(block.data(), n, false, false);
                }
                enc->finish_stream();
                best_enc = std::min(best_enc, seconds_since(start));
                coded_size = sink.bytes.size();

                auto dec = std::make_unique<qev::BlockDecoder>();
                if (!dec->reset_all(1u << 24)) return 1;
                Source source(sink.bytes);
                start = Clock::now();
                dec->begin_stream(&source, qev::StreamSettings{}, sink.bytes.size());
                for (std::size_t done = 0; done < data.size(); done += qev::BLOCK_SIZE) {
                    const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>(qev::BLOCK_SIZE, data.size() - done));
                    bool t, r;
                    if (dec->decode_block(block.data(), n, t, r) != qev::DecodeStatus::Ok ||
                        !std::equal(block.begin(), block.begin() + n, data.begin() + done)) {
                        std::fprintf(stderr, "round trip failed: %s\n", name.c_str());
                        return 1;
                    }
                }
                best_dec = std::min(best_dec, seconds_since(start));
            }
            std::printf(" | %zu | %.1f | %.1f", coded_size, mb / best_enc, mb / best_dec);
        }
        const double xz = time_command("xz -6 -T1 -c '" + path + "' > /dev/null");
        const double bz = time_command("bzip2 -9 -c '" + path + "' > /dev/null");
        std::printf(" | %.1f | %.1f |\n", mb / xz, mb / bz);
        std::fflush(stdout);
    }
    return 0;
}
