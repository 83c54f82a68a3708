// Packs seen from outside: a tree comes back with its folders' modes and
// times and its links; a reader that knows nothing of packs restores them as
// .tar files that tar unpacks into the same tree; damage names the members;
// the entry stored last for a path wins across packs and entries.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "e2e_util.h"
#include "engine/engine.h"
#include "format/archive_format.h"
#include "format/filter_chain.h"
#include "format/pack.h"
#include "test_util.h"

namespace qev {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using e2e::RunResult;

// Type, permission bits, modification time in seconds, link target and
// content of everything below root, by path.
std::map<std::string, std::string> metadata(const std::string& root) {
    std::map<std::string, std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        struct stat st{};
        if (lstat(entry.path().c_str(), &st) != 0) continue;
        std::string text = S_ISDIR(st.st_mode) ? "d" : S_ISLNK(st.st_mode) ? "l" : "f";
        text += " " + std::to_string(st.st_mode & 07777) + " " + std::to_string(st.st_mtim.tv_sec);
        if (S_ISLNK(st.st_mode)) {
            text += " -> " + fs::read_symlink(entry.path()).string();
        } else if (S_ISREG(st.st_mode)) {
            const Bytes content = test::read_file(entry.path());
            text += " " + std::to_string(content.size()) + " bytes, " +
                    std::to_string(std::hash<std::string>()(std::string(content.begin(), content.end())));
        }
        out[fs::relative(entry.path(), root).string()] = text;
    }
    return out;
}

// A tree with what packs must carry: small files in nested folders, a
// private folder, an empty one, links to a file and to nowhere, one file
// large enough to be an entry of its own.
void make_tree(e2e::TempDir& dir) {
    for (int i = 0; i < 30; ++i) {
        dir.put("src/d" + std::to_string(i % 4) + "/f" + std::to_string(i) + ".txt",
                std::string(test::wordy_bytes(40 + i * 13, i).size(), 'a' + i % 26));
    }
    dir.put("src/big.bin", test::random_bytes(PACK_FILE_LIMIT, 5));
    dir.put("src/.ssh/id", "secret");
    fs::create_directories(dir / "src/empty");
    fs::create_symlink("d1/f1.txt", dir / "src/to-file");
    fs::create_symlink("nowhere", dir / "src/dangling");
    chmod((dir / "src/.ssh").c_str(), 0700);
    chmod((dir / "src/empty").c_str(), 0750);
    const struct timespec old[2] = {{981173106, 0}, {981173106, 0}};
    for (const char* p : {"src/.ssh/id", "src/.ssh", "src/empty", "src/d2", "src/to-file"}) {
        utimensat(AT_FDCWD, (dir / p).c_str(), old, AT_SYMLINK_NOFOLLOW);
    }
}

TEST(Packs, ATreeComesBackWithFoldersLinksModesAndTimesWithWorkers) {
    e2e::TempDir dir;
    make_tree(dir);
    const auto original = metadata(dir / "src");
    // -s: the history goes on from the large file's entry into the pack.
    for (const char* add_workers : {"-t1", "-t2", "-s"}) {
        const std::string archive = std::string("arc") + add_workers;
        const RunResult added = e2e::run_qev(dir.path(), {"a", "-r", "-b1", "-h1", add_workers, archive, "src"});
        ASSERT_EQ(added.status, 0) << e2e::describe(added);
        // Few entries: the big file, and one pack for all the rest.
        const std::vector<e2e::RawEntry> entries = e2e::parse_archive(test::read_file(dir / archive));
        ASSERT_EQ(entries.size(), 2u);
        EXPECT_EQ(entries[1].stored_name(), "qev-pack-000001.tar");
        for (const char* x_workers : {"-t1", "-t2"}) {
            const std::string out = archive + "-out" + x_workers;
            const RunResult x = e2e::run_qev(dir.path(), {"x", x_workers, archive, out + "/"});
            ASSERT_EQ(x.status, 0) << e2e::describe(x);
            EXPECT_EQ(metadata(dir / (out + "/src")), original) << add_workers << " " << x_workers;
        }
        const RunResult tested = e2e::run_qev(dir.path(), {"t", archive});
        EXPECT_NE(tested.out.find(" 41 entries tested: 41 ok, 0 damaged"), std::string::npos) << tested.out;
    }
    // The listing shows members as entries; patterns select them by base name.
    const std::vector<std::string> listed = e2e::listed_paths(dir / "arc-t1", true);
    EXPECT_EQ(listed.size(), 41u);
    EXPECT_NE(std::find(listed.begin(), listed.end(), "src/.ssh"), listed.end());
    const RunResult some = e2e::run_qev(dir.path(), {"l", "arc-t1", "f1*"});
    EXPECT_NE(some.out.find(" n.11 files in archive "), std::string::npos) << some.out;
    // --dereference follows links: the one that leads nowhere fails the run.
    const RunResult followed = e2e::run_qev(dir.path(), {"a", "--dereference", "-r", "-b1", "-h1", "deref", "src"});
    EXPECT_EQ(followed.status, 1);
    EXPECT_NE(followed.err.find("Error: src/dangling is a symbolic link that leads nowhere"), std::string::npos);
    const RunResult x = e2e::run_qev(dir.path(), {"x", "deref", "deref-out/"});
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / "deref-out/src/to-file"))) << e2e::describe(x);
}

// Decodes an entry the way a reader that knows only the header does.
Bytes plain_decode(const e2e::RawEntry& e) {
    const FileSettings s = e.settings();
    BlockDecoder decoder;
    Bytes block(BLOCK_SIZE + BLOCK_SLACK);
    Bytes work(BLOCK_SIZE + BLOCK_SLACK);
    EXPECT_TRUE(decoder.reset_all(e.ring_size));
    test::MemorySource source(e.stream);
    decoder.begin_stream(&source, stream_settings(s));
    Bytes out;
    for (std::uint64_t done = 0; done < e.unpacked_size;) {
        const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::uint64_t>(BLOCK_SIZE, e.unpacked_size - done));
        bool text_flag = false;
        bool raw_flag = false;
        EXPECT_EQ(decoder.decode_block(block.data(), n, text_flag, raw_flag), DecodeStatus::Ok);
        undo_filters(block.data(), n, s, text_flag, work.data());
        out.insert(out.end(), block.begin(), block.begin() + n);
        done += n;
    }
    return out;
}

TEST(Packs, AReaderWithoutPacksRestoresTarFilesThatTarUnpacksIntoTheTree) {
    if (std::system("tar --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "no tar on this machine";
    e2e::TempDir dir;
    make_tree(dir);
    // Two runs: the pack of the append gets a name of its own.
    ASSERT_EQ(e2e::run_qev(dir.path(), {"a", "-r", "-b1", "-h1", "arc", "src"}).status, 0);
    dir.put("more/late.txt", "appended");
    ASSERT_EQ(e2e::run_qev(dir.path(), {"a", "-r", "-b1", "-h1", "arc", "more"}).status, 0);
    fs::create_directories(dir / "plain");
    std::vector<std::string> packs;
    for (const e2e::RawEntry& e : e2e::parse_archive(test::read_file(dir / "arc"))) {
        const std::string name = e.stored_dir() + e.stored_name();
        const Bytes content = plain_decode(e);
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tar") == 0) packs.push_back(name);
        fs::create_directories(fs::path(dir / ("plain/" + name)).parent_path());
        test::write_file(dir / ("plain/" + name), content);
    }
    ASSERT_EQ(packs, (std::vector<std::string>{"qev-pack-000001.tar", "qev-pack-000002.tar"}));
    for (const std::string& pack : packs) {
        const std::string command = "cd '" + dir / "plain" + "' && tar -xf " + pack + " 2>&1 && rm " + pack;
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
    }
    // That reader gives the one large file, an entry of its own, no time.
    auto restored = metadata(dir / "plain/src");
    auto original = metadata(dir / "src");
    EXPECT_EQ(test::read_file(dir / "plain/src/big.bin"), test::read_file(dir / "src/big.bin"));
    restored.erase("big.bin");
    original.erase("big.bin");
    EXPECT_EQ(restored, original);
    EXPECT_EQ(metadata(dir / "plain/more"), metadata(dir / "more"));
}

TEST(Packs, ADamagedPackNamesItsMembersAndTheLaterEntryForAPathWinsWithWorkers) {
    e2e::TempDir dir;
    for (int i = 0; i < 6; ++i) dir.put("in/m" + std::to_string(i) + ".txt", "member " + std::to_string(i) + "\n");
    ASSERT_EQ(e2e::run_qev(dir.path(), {"a", "-r", "-b1", "-h1", "arc", "in"}).status, 0);
    // A later run stores one of the members again, on its own.
    dir.put("in/m3.txt", "the later copy\n");
    ASSERT_EQ(e2e::run_qev(dir.path(), {"a", "-b1", "-h1", "arc", "in/m3.txt"}).status, 0);
    for (const char* workers : {"-t1", "-t3"}) {
        const std::string out = std::string("out") + workers + "/";
        ASSERT_EQ(e2e::run_qev(dir.path(), {"x", workers, "arc", out}).status, 0);
        EXPECT_EQ(test::read_file(dir / (out + "in/m3.txt")), e2e::bytes_of("the later copy\n")) << workers;
        EXPECT_EQ(test::read_file(dir / (out + "in/m4.txt")), e2e::bytes_of("member 4\n")) << workers;
    }

    std::vector<e2e::RawEntry> entries = e2e::parse_archive(test::read_file(dir / "arc"));
    ASSERT_EQ(entries.size(), 2u);
    entries[0].stream[entries[0].stream.size() / 2] ^= 0x20;
    test::write_file(dir / "arc", e2e::archive_bytes(entries));
    const RunResult x = e2e::run_qev(dir.path(), {"x", "arc", "bad/"});
    EXPECT_EQ(x.status, 1);
    EXPECT_EQ(x.out.find(" OK! "), std::string::npos);
    // Every member is named (as far as the damaged stream still names
    // them), or else the pack; nothing of the pack is restored.
    EXPECT_NE(x.err.find("Error: damaged entry "), std::string::npos) << x.err;
    EXPECT_FALSE(fs::exists(dir / "bad/in/m0.txt"));
    EXPECT_EQ(test::read_file(dir / "bad/in/m3.txt"), e2e::bytes_of("the later copy\n"));
    const RunResult t = e2e::run_qev(dir.path(), {"t", "arc"});
    EXPECT_EQ(t.status, 1);
}

// The pax stream itself: every kind of member and name survives, and a
// stream cut anywhere or filled with garbage is refused, never a crash.
TEST(PackFormat, MembersRoundTripAndDamageIsRefused) {
    PackBuilder builder;
    std::vector<PackMember> members(4);
    members[0].path = "top/long/" + std::string(180, 'n') + ".txt";
    members[0].size = 3;
    members[0].mtime_seconds = 1700000000;
    members[1].path = "top/\xc3\xa9t\xc3\xa9/\xff.bin";
    members[1].size = 3;
    members[2].path = "top";
    members[2].type = EntryType::Folder;
    members[2].mode = 0700;
    members[3].path = "top/link";
    members[3].type = EntryType::Link;
    members[3].target = "../elsewhere";
    for (const PackMember& m : members) ASSERT_TRUE(builder.add(m, reinterpret_cast<const std::uint8_t*>("abc")));
    ASSERT_TRUE(builder.finish());
    const std::string stream = builder.bytes();
    std::vector<PackMember> parsed;
    std::string problem;
    ASSERT_TRUE(parse_pack(reinterpret_cast<const std::uint8_t*>(stream.data()), stream.size(),
                           [&](const PackMember& m, const std::uint8_t* data) {
                               parsed.push_back(m);
                               if (m.type == EntryType::File) {
                                   EXPECT_EQ(std::string(data, data + m.size), "abc");
                               }
                               return true;
                           },
                           problem))
        << problem;
    ASSERT_EQ(parsed.size(), members.size());
    for (std::size_t i = 0; i < members.size(); ++i) {
        EXPECT_EQ(parsed[i].path, members[i].path);
        EXPECT_EQ(parsed[i].type, members[i].type);
        EXPECT_EQ(parsed[i].mode, members[i].mode);
        EXPECT_EQ(parsed[i].mtime_seconds, members[i].mtime_seconds);
        EXPECT_EQ(parsed[i].target, members[i].target);
    }
    const auto count = [](const std::string& bytes, std::string& why) {
        std::size_t n = 0;
        const bool ok = parse_pack(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
                                   [&](const PackMember&, const std::uint8_t*) { return ++n, true; }, why);
        return ok ? n : n + 1000;
    };
    for (std::size_t cut = 1; cut + 1024 < stream.size(); cut += 97) {
        std::string why;
        EXPECT_GE(count(stream.substr(0, cut), why), 1000u) << "cut at " << cut;
        EXPECT_FALSE(why.empty());
    }
    std::string why;
    EXPECT_GE(count(std::string(4096, 'x'), why), 1000u);
    // A pack given up half-way (an interrupted add) is dropped without
    // writing into the bytes it no longer owns.
    for (int i = 0; i < 3; ++i) {
        PackBuilder left;
        ASSERT_TRUE(left.add(members[0], reinterpret_cast<const std::uint8_t*>("abc")));
    }
}

}  // namespace
}  // namespace qev
