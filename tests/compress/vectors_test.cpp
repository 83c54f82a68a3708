// Our archives must be byte-identical to the conformance vectors: archives of
// the corpus files and a few tiny inputs written by an independent
// implementation of the same format and method.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace qev {
namespace {

// SHA-256, enough to compare archives with the vectors' digests.
std::string sha256_hex(const std::vector<std::uint8_t>& data) {
    static const std::uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    std::uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::vector<std::uint8_t> m = data;
    const std::uint64_t bits = static_cast<std::uint64_t>(data.size()) * 8;
    m.push_back(0x80);
    while (m.size() % 64 != 56) m.push_back(0);
    for (int i = 7; i >= 0; --i) m.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
    auto rotr = [](std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
    for (std::size_t off = 0; off < m.size(); off += 64) {
        std::uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            w[i] = static_cast<std::uint32_t>(m[off + 4 * i]) << 24 | m[off + 4 * i + 1] << 16 |
                   m[off + 4 * i + 2] << 8 | m[off + 4 * i + 3];
        }
        for (int i = 16; i < 64; ++i) {
            const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
        for (int i = 0; i < 64; ++i) {
            const std::uint32_t t1 = hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
            const std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            hh = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += hh;
    }
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (std::uint32_t v : h) {
        for (int i = 28; i >= 0; i -= 4) out.push_back(hex[(v >> i) & 15]);
    }
    return out;
}

struct VectorRow {
    std::string file, switches, header_hex, sha;
    std::size_t size = 0;
};

std::vector<VectorRow> load_rows() {
    std::ifstream in(std::string(QEV_VECTORS_DIR) + "/vectors.tsv");
    std::vector<VectorRow> rows;
    std::string line;
    std::getline(in, line);  // column names
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        VectorRow r;
        std::string size;
        std::getline(fields, r.file, '\t');
        std::getline(fields, r.switches, '\t');
        std::getline(fields, size, '\t');
        std::getline(fields, r.header_hex, '\t');
        std::getline(fields, r.sha, '\t');
        r.size = std::stoul(size);
        rows.push_back(r);
    }
    return rows;
}

std::string to_hex(const std::vector<std::uint8_t>& bytes, std::size_t n) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < n && i < bytes.size(); ++i) {
        out.push_back(hex[bytes[i] >> 4]);
        out.push_back(hex[bytes[i] & 15]);
    }
    return out;
}

// A folder with the vectors' inputs: the corpus files and the tiny ones.
class VectorInputs : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/qev-vectors-XXXXXX";
        dir_ = mkdtemp(tmpl);
        for (const auto& name : test::corpus_files()) {
            test::write_file(dir_ + "/" + name, test::read_file(test::corpus_path(name)));
        }
        const auto alice = test::read_file(test::corpus_path("alice29.txt"));
        test::write_file(dir_ + "/empty.txt", {});
        test::write_file(dir_ + "/one.txt", {'A'});
        test::write_file(dir_ + "/b64.txt", std::vector<std::uint8_t>(alice.begin(), alice.begin() + 64));
        test::write_file(dir_ + "/b65.txt", std::vector<std::uint8_t>(alice.begin(), alice.begin() + 65));
        test::write_file(dir_ + "/b600.txt", std::vector<std::uint8_t>(alice.begin(), alice.begin() + 600));
        std::vector<std::uint8_t> ramp(3000);
        for (int i = 0; i < 3000; ++i) ramp[i] = static_cast<std::uint8_t>((7 * i + i / 3) % 256);
        test::write_file(dir_ + "/ramp.bin", ramp);
    }
    static void TearDownTestSuite() { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    // Runs the add command inside the inputs folder; returns the archive bytes.
    static std::vector<std::uint8_t> archive(const std::string& switches, const std::string& files) {
        const std::string arc = dir_ + "/out.qev";
        std::remove(arc.c_str());
        const std::string cmd =
            "cd '" + dir_ + "' && '" + QEV_BINARY + "' a -p " + switches + " out.qev " + files + " > /dev/null";
        EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
        return test::read_file(arc);
    }

    static std::string dir_;
};

std::string VectorInputs::dir_;

}  // namespace

TEST(Sha256, KnownDigests) {
    EXPECT_EQ(sha256_hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex({'a', 'b', 'c'}), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST_F(VectorInputs, EveryRowIsByteIdentical) {
    const auto rows = load_rows();
    ASSERT_EQ(rows.size(), 96u);
    for (const auto& r : rows) {
        const auto bytes = archive(r.switches, r.file);
        EXPECT_EQ(bytes.size(), r.size) << r.file << " " << r.switches;
        EXPECT_EQ(to_hex(bytes, r.header_hex.size() / 2), r.header_hex) << r.file << " " << r.switches;
        EXPECT_EQ(sha256_hex(bytes), r.sha) << r.file << " " << r.switches;
    }
}

TEST_F(VectorInputs, SolidArchivesAreByteIdentical) {
    // "solid -s -mN: SIZE bytes, sha256 HEX", files in the corpus listing order.
    std::ifstream in(std::string(QEV_VECTORS_DIR) + "/solid.txt");
    const std::string files =
        "alice29.txt asyoulik.txt lcet10.txt plrabn12.txt html urls.10K geo.protodata kppkn.gtb paper-100k.pdf "
        "fireworks.jpeg";
    std::string line;
    int rows = 0;
    while (std::getline(in, line)) {
        const std::size_t colon = line.find(':');
        const std::string switches = line.substr(6, colon - 6);
        std::istringstream rest(line.substr(colon + 1));
        std::size_t size;
        std::string word, sha;
        rest >> size >> word >> word >> sha;
        const auto bytes = archive(switches, files);
        EXPECT_EQ(bytes.size(), size) << switches;
        EXPECT_EQ(sha256_hex(bytes), sha) << switches;
        ++rows;
    }
    EXPECT_EQ(rows, 2);
}

TEST_F(VectorInputs, TinyArchivesAreByteIdentical) {
    // "name -m2: HEX" with the whole archive in hex.
    std::ifstream in(std::string(QEV_VECTORS_DIR) + "/tiny_archives.txt");
    std::string line;
    int rows = 0;
    while (std::getline(in, line)) {
        const std::size_t space = line.find(' ');
        const std::size_t colon = line.find(':');
        const std::string name = line.substr(0, space);
        const std::string switches = line.substr(space + 1, colon - space - 1);
        const std::string hex = line.substr(colon + 2);
        const auto bytes = archive(switches, name);
        EXPECT_EQ(to_hex(bytes, bytes.size()), hex) << name;
        ++rows;
    }
    EXPECT_EQ(rows, 4);
}

}  // namespace qev
