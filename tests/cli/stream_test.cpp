// The archive on a stream: an add to standard output writes what an add to a
// file writes, readers take it from standard input, x -c gives the files'
// bytes, and every line goes to standard error where standard output carries
// data.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "test_util.h"

namespace qev {
namespace {

namespace fs = std::filesystem;

struct Shell {
    int status = -1;
    std::string out;
    std::string err;
};

std::string text_of(const std::string& path) {
    const std::vector<std::uint8_t> bytes = test::read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

// Runs a shell command in folder, $QEV naming the program.
Shell shell(const std::string& folder, const std::string& command) {
    const std::string line = "cd '" + folder + "' && QEV='" + QEV_BINARY + "' bash -c '" + command + "' > '" + folder +
                             "/.out' 2> '" + folder + "/.err'";
    Shell r;
    const int status = std::system(line.c_str());
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = text_of(folder + "/.out");
    r.err = text_of(folder + "/.err");
    fs::remove(folder + "/.out");
    fs::remove(folder + "/.err");
    return r;
}

void make_tree(const e2e::TempDir& dir) {
    dir.put("tree/a.txt", "alpha\n");
    dir.put("tree/sub/b.txt", std::string(100000, 'b'));
    dir.put("tree/big.bin", std::string(5u << 20, 'x'));
}

TEST(Streams, AnAddToStandardOutputWritesWhatAnAddToAFileWrites) {
    e2e::TempDir dir;
    make_tree(dir);
    for (const char* switches : {"-t1", "-t2", "-s", "-t2 --no-packs"}) {
        const Shell to_stream = shell(dir.path(), std::string("$QEV a -r ") + switches + " - tree > s.qev");
        ASSERT_EQ(to_stream.status, 0) << to_stream.err;
        // Every line went to standard error, the archive alone to standard output.
        EXPECT_NE(to_stream.err.find("Archive=- \n"), std::string::npos) << to_stream.err;
        EXPECT_NE(to_stream.err.find(" files.\n"), std::string::npos) << to_stream.err;
        const Shell to_file = shell(dir.path(), std::string("$QEV a -r ") + switches + " f.qev tree");
        ASSERT_EQ(to_file.status, 0) << to_file.err;
        EXPECT_EQ(test::read_file(dir / "s.qev"), test::read_file(dir / "f.qev")) << switches;
        fs::remove(dir / "s.qev");
        fs::remove(dir / "f.qev");
    }
}

TEST(Streams, ReadersTakeTheArchiveFromStandardInput) {
    e2e::TempDir dir;
    make_tree(dir);
    fs::create_directories(dir / "out");
    const Shell piped = shell(dir.path(), "$QEV a -r - tree | (cd out && $QEV x -)");
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(e2e::tree_difference(e2e::snapshot(dir / "tree"), e2e::snapshot(dir / "out/tree")), "");
    ASSERT_EQ(shell(dir.path(), "$QEV a -r a.qev tree").status, 0);
    // Listings and tests read the same from a pipe and from a file given as
    // standard input, apart from the name they give the archive.
    const auto without_names = [](std::string text) {
        std::string kept;
        for (const std::string& line : e2e::lines_of(text)) {
            if (line.find("Archive List") == std::string::npos && line.find("Archive Test") == std::string::npos &&
                line.find(" files in archive ") == std::string::npos) {
                kept += line + "\n";
            }
        }
        return kept;
    };
    const Shell listed = shell(dir.path(), "$QEV l -v a.qev");
    for (const char* command : {"cat a.qev | $QEV l -v -", "$QEV l -v - < a.qev"}) {
        const Shell r = shell(dir.path(), command);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(without_names(r.out), without_names(listed.out)) << command;
    }
    const Shell tested = shell(dir.path(), "cat a.qev | $QEV t -");
    EXPECT_EQ(tested.status, 0) << tested.err;
    EXPECT_NE(tested.out.find(" 5 entries tested: 5 ok"), std::string::npos) << tested.out;  // three files, two folders
    // A stream that ends inside an entry is damage of that entry.
    const Shell cut = shell(dir.path(), "head -c 3000 a.qev | $QEV t -");
    EXPECT_EQ(cut.status, 1) << cut.out << cut.err;
    // Updates and deletes need a file.
    for (const char* command : {"$QEV d - a.txt < a.qev", "$QEV u - tree < a.qev"}) {
        const Shell r = shell(dir.path(), command);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("cannot be updated or deleted from"), std::string::npos) << r.err;
    }
}

TEST(Streams, ExtractionToStandardOutputGivesTheFilesBytes) {
    e2e::TempDir dir;
    make_tree(dir);
    ASSERT_EQ(shell(dir.path(), "$QEV a -r a.qev tree").status, 0);
    Shell r = shell(dir.path(), "$QEV x -c a.qev b.txt");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string(100000, 'b'));
    EXPECT_NE(r.err.find(" OK! "), std::string::npos) << r.err;
    // Over a pipe, in archive order, several patterns.
    r = shell(dir.path(), "cat a.qev | $QEV x -c - a.txt big.bin | sha256sum");
    const Shell expected = shell(dir.path(), "cat tree/big.bin tree/a.txt | sha256sum");
    const Shell other = shell(dir.path(), "cat tree/a.txt tree/big.bin | sha256sum");
    EXPECT_TRUE(r.out == expected.out || r.out == other.out) << r.out << r.err;
    EXPECT_FALSE(fs::exists(dir / "a.txt"));
    // A damaged entry gives none of its bytes, and the run fails.
    std::vector<std::uint8_t> bytes = test::read_file(dir / "a.qev");
    const std::vector<e2e::RawEntry> entries = e2e::parse_archive(bytes);
    ASSERT_FALSE(entries.empty());
    bytes[entries[0].entry_size / 2] ^= 0x55;  // inside the first entry's stream: the large file
    test::write_file(dir / "bad.qev", bytes);
    r = shell(dir.path(), "$QEV x -c bad.qev big.bin");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.empty()) << r.out.size();
}

TEST(Streams, APipeClosedEarlyEndsTheRunWithoutSuccess) {
    e2e::TempDir dir;
    make_tree(dir);
    // More than a pipe holds: the reader is gone before the end.
    ASSERT_EQ(shell(dir.path(), "head -c 3000000 /dev/urandom > tree/random.bin").status, 0);
    const Shell r = shell(dir.path(), "$QEV a -r - tree | head -c 100 > /dev/null; exit ${PIPESTATUS[0]}");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err.find(" files.\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("cannot write the archive to standard output"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace qev
