// What a file carries beside its bytes: the metadata records and the
// integrity record that holds them, pack members of every kind, and whole
// trees restored as tar restores them.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "format/integrity_record.h"
#include "format/metadata.h"
#include "format/pack.h"
#include "test_util.h"

namespace qev {
namespace {

namespace fs = std::filesystem;
using e2e::RunResult;

const std::uint8_t* bytes(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

Metadata sample_metadata() {
    Metadata m;
    m.uid = 1000;
    m.gid = 4294967294u;
    m.uname = "alice";
    m.gname = "staff";
    // Values are bytes: line ends, '=' and NUL among them.
    m.xattrs = {{"user.comment", "a=b\nc"}, {"security.capability", std::string("\x01\x00\x00\x02", 4)}};
    m.acl_access = "user::rw-,user:bob:r--:1001,group::r--,mask::r--,other::r--";
    m.acl_default = "user::rwx,group::r-x,other::r-x";
    return m;
}

TEST(MetadataRecords, RoundTripAndMalformedRecordsAreRefused) {
    const Metadata m = sample_metadata();
    const std::string records = metadata_records(m);
    Metadata parsed;
    std::string problem;
    ASSERT_TRUE(parse_metadata_records(bytes(records), records.size(), parsed, problem)) << problem;
    EXPECT_EQ(parsed, m);
    // Every record's length counts itself, also where it gains a digit.
    EXPECT_NE(records.find("12 uid=1000\n"), std::string::npos) << records;
    const std::string long_value(95, 'v');
    Metadata edge;
    edge.xattrs = {{"user.x", long_value}};
    const std::string edge_records = metadata_records(edge);
    ASSERT_TRUE(parse_metadata_records(bytes(edge_records), edge_records.size(), parsed, problem)) << problem;
    EXPECT_EQ(parsed.xattrs, edge.xattrs);
    // A keyword this reader does not know is passed over.
    const std::string unknown = "20 QEV.future=value\n" + records;
    ASSERT_TRUE(parse_metadata_records(bytes(unknown), unknown.size(), parsed, problem)) << problem;
    EXPECT_EQ(parsed, m);
    for (const std::string& bad : {std::string("12 uid=1000"), std::string("13 uid=1000\n"), std::string("9 uid=x1\n"),
                                  std::string("7 =abc\n"), std::string("x uid=1\n"), std::string("99999999999 a=b\n"),
                                  records.substr(0, records.size() - 3)}) {
        problem.clear();
        EXPECT_FALSE(parse_metadata_records(bytes(bad), bad.size(), parsed, problem)) << bad;
        EXPECT_FALSE(problem.empty());
    }
}

TEST(MetadataRecords, AclTextBecomesTheAttributeTheSystemSets) {
    std::string value;
    ASSERT_TRUE(acl_attribute_value("user::rw-,group::r--,other::r--,user:nobody:r--:65534,mask::r--", false, value));
    // Version 2, then tag, permissions and id per entry, ordered by tag.
    const std::vector<std::uint8_t> expected = {2, 0, 0, 0,                               //
                                                1, 0, 6, 0, 0xff, 0xff, 0xff, 0xff,       // user::rw-
                                                2, 0, 4, 0, 0xfe, 0xff, 0, 0,             // user:65534:r--
                                                4, 0, 4, 0, 0xff, 0xff, 0xff, 0xff,       // group::r--
                                                0x10, 0, 4, 0, 0xff, 0xff, 0xff, 0xff,    // mask::r--
                                                0x20, 0, 4, 0, 0xff, 0xff, 0xff, 0xff};   // other::r--
    EXPECT_EQ(std::vector<std::uint8_t>(value.begin(), value.end()), expected);
    EXPECT_FALSE(acl_attribute_value("not an acl", false, value));
}

TEST(IntegrityRecordVersions, MetadataBlockIsCheckedAndALaterVersionStillGivesItsContent) {
    IntegrityRecord r;
    r.type = EntryType::File;
    r.mode = 0640;
    r.stream_length = 1234;
    r.content_checksum = 0x1122334455667788ull;
    r.mtime_seconds = 1700000000;
    r.mtime_nanoseconds = 5;
    // Without metadata: the first version's 72 bytes.
    std::vector<std::uint8_t> plain = serialize_record(r);
    ASSERT_EQ(plain.size(), RECORD_BYTES);
    EXPECT_EQ(plain[0], 1);
    IntegrityRecord read;
    std::string problem;
    ASSERT_EQ(parse_record(plain.data(), plain.size(), read, problem), RecordCheck::Ok) << problem;
    EXPECT_TRUE(read.metadata.empty());

    r.metadata = metadata_records(sample_metadata());
    std::vector<std::uint8_t> full = serialize_record(r);
    ASSERT_EQ(full.size(), r.length());
    EXPECT_EQ(record_length(full.data() + full.size() - RECORD_BYTES), full.size());
    ASSERT_EQ(parse_record(full.data(), full.size(), read, problem), RecordCheck::Ok) << problem;
    EXPECT_EQ(read.version, 2);
    EXPECT_EQ(read.metadata, r.metadata);
    EXPECT_EQ(read.content_checksum, r.content_checksum);
    EXPECT_EQ(read.mode, 0640u);

    // A byte of the block changed: the record's checksum says so.
    std::vector<std::uint8_t> changed = full;
    changed[3] ^= 1;
    EXPECT_EQ(parse_record(changed.data(), changed.size(), read, problem), RecordCheck::Damaged);

    // A version this reader does not know: its fixed part is read, its
    // metadata is not.
    IntegrityRecord later = r;
    later.version = 9;
    later.metadata = "whatever a later version keeps here";
    const std::vector<std::uint8_t> future = serialize_record(later);
    ASSERT_EQ(parse_record(future.data(), future.size(), read, problem), RecordCheck::Ok) << problem;
    EXPECT_EQ(read.version, 9);
    EXPECT_TRUE(read.metadata.empty());
    EXPECT_EQ(read.content_checksum, r.content_checksum);

    // Version 2 with records that are not well formed is damage.
    IntegrityRecord broken = r;
    broken.metadata = "no records";
    const std::vector<std::uint8_t> bad = serialize_record(broken);
    EXPECT_EQ(parse_record(bad.data(), bad.size(), read, problem), RecordCheck::Damaged);
}

TEST(PackFormat, MembersOfEveryKindKeepTheirMetadata) {
    PackBuilder builder;
    std::vector<PackMember> members(5);
    members[0].path = "d/disk.img";  // 10 GiB with two runs of data
    members[0].size = 10ull << 30;
    members[0].sparse = {{4096, 8}, {5ull << 30, 4}};
    members[0].meta = sample_metadata();
    members[0].mtime_seconds = 1700000000;
    members[0].mtime_nanoseconds = 123456789;
    members[1].path = "d/other-name";
    members[1].type = EntryType::HardLink;
    members[1].target = "d/disk.img";
    members[2].path = "d/pipe";
    members[2].type = EntryType::Fifo;
    members[2].mode = 0600;
    members[3].path = "d/null";
    members[3].type = EntryType::CharDevice;
    members[3].device_major = 1;
    members[3].device_minor = 3;
    members[4].path = "d/hole";  // a file that is all hole
    members[4].size = 1u << 20;
    members[4].sparse = {{1u << 20, 0}};
    const std::string data = "runs of data";
    for (const PackMember& m : members) ASSERT_TRUE(builder.add(m, bytes(data))) << builder.problem();
    ASSERT_TRUE(builder.finish());
    // Only the data is in the stream.
    EXPECT_LT(builder.bytes().size(), 64u << 10);
    std::vector<PackMember> parsed;
    std::vector<std::string> contents;
    std::string problem;
    ASSERT_TRUE(parse_pack(bytes(builder.bytes()), builder.bytes().size(),
                           [&](const PackMember& m, const std::uint8_t* content) {
                               parsed.push_back(m);
                               contents.emplace_back(content, content + m.data_bytes());
                               return true;
                           },
                           problem))
        << problem;
    ASSERT_EQ(parsed.size(), members.size());
    EXPECT_EQ(parsed[0].size, members[0].size);
    EXPECT_EQ(parsed[0].sparse, members[0].sparse);
    EXPECT_EQ(contents[0], data);
    // The ACLs may come back in another order of entries: the same ACLs.
    const Metadata& got = parsed[0].meta;
    const Metadata& want = members[0].meta;
    EXPECT_EQ(got.uid, want.uid);
    EXPECT_EQ(got.gid, want.gid);
    EXPECT_EQ(got.uname, want.uname);
    EXPECT_EQ(got.gname, want.gname);
    EXPECT_EQ(got.xattrs, want.xattrs);
    for (const bool default_acl : {false, true}) {
        std::string a, b;
        ASSERT_TRUE(acl_attribute_value(default_acl ? got.acl_default : got.acl_access, default_acl, a));
        ASSERT_TRUE(acl_attribute_value(default_acl ? want.acl_default : want.acl_access, default_acl, b));
        EXPECT_EQ(a, b);
    }
    // An ACL's mask stands for the group bits.
    EXPECT_EQ(parsed[0].mode, 0644u);  // the mask is r--, as the group bits
    EXPECT_EQ(parsed[0].mtime_nanoseconds, 123456789u);
    EXPECT_EQ(parsed[1].type, EntryType::HardLink);
    EXPECT_EQ(parsed[1].target, "d/disk.img");
    EXPECT_EQ(parsed[2].type, EntryType::Fifo);
    EXPECT_EQ(parsed[2].mode, 0600u);
    EXPECT_EQ(parsed[3].type, EntryType::CharDevice);
    EXPECT_EQ(parsed[3].device_major, 1u);
    EXPECT_EQ(parsed[3].device_minor, 3u);
    EXPECT_EQ(parsed[4].size, 1u << 20);
    EXPECT_EQ(parsed[4].data_bytes(), 0u);
}

// Runs the tree comparison against tar: as root, and with the restores
// made by an ordinary user.
void compare_with_tar(const std::string& as_user) {
    const std::string script = std::string(QEV_SOURCE_DIR) + "/tests/extract/tree_oracle.sh";
    const std::string log = testing::TempDir() + "/tree_oracle.log";
    const std::string command = "bash '" + script + "' '" + QEV_BINARY + "' " + as_user + " > '" + log + "' 2>&1";
    const int status = std::system(command.c_str());
    const std::vector<std::uint8_t> text = test::read_file(log);
    const std::string said(text.begin(), text.end());
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << said;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << said;
}

TEST(TreeAsTarRestoresIt, AsRoot) { compare_with_tar(""); }
TEST(TreeAsTarRestoresIt, AsAnOrdinaryUser) { compare_with_tar("nobody"); }

// Hard links come back as links within the destination; one whose target
// was not restored, or is a symbolic link there, is refused by name.
TEST(HardLinks, StoredOnceAndLinkedWithinTheDestination) {
    e2e::TempDir dir;
    dir.put("src/a/one", std::string(6u << 20, 'x'));  // an entry of its own
    dir.put("src/small", "small");
    ASSERT_EQ(link((dir / "src/a/one").c_str(), (dir / "src/two").c_str()), 0);
    ASSERT_EQ(link((dir / "src/small").c_str(), (dir / "src/a/little").c_str()), 0);
    RunResult r = e2e::run_qev(dir.path(), {"a", "-r", "arc", "src"});
    ASSERT_EQ(r.status, 0) << e2e::describe(r);
    // Stored once: the archive holds one copy of the large file.
    EXPECT_LT(fs::file_size(dir / "arc"), 1u << 20);
    fs::create_directories(dir / "out");
    r = e2e::run_qev(dir / "out", {"x", "../arc"});
    ASSERT_EQ(r.status, 0) << e2e::describe(r);
    struct stat a {}, b {};
    ASSERT_EQ(stat((dir / "out/src/a/one").c_str(), &a), 0);
    ASSERT_EQ(stat((dir / "out/src/two").c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(a.st_nlink, 2u);
    ASSERT_EQ(stat((dir / "out/src/small").c_str(), &a), 0);
    ASSERT_EQ(stat((dir / "out/src/a/little").c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
    r = e2e::run_qev(dir.path(), {"l", "-v", "arc"});
    EXPECT_NE(r.out.find(" link to src/"), std::string::npos) << r.out;

    // Only the second name selected: the file it names is not there.
    fs::create_directories(dir / "alone");
    const bool two_is_link = r.out.find("src/two link to") != std::string::npos;
    const std::string second = two_is_link ? "two" : "one";
    r = e2e::run_qev(dir / "alone", {"x", "../arc", second + "*"});
    EXPECT_EQ(r.status, 1) << e2e::describe(r);
    EXPECT_NE(r.err.find("is not made: it was not restored"), std::string::npos) << e2e::describe(r);
    // The name it links to is a symbolic link in the destination: not
    // followed.
    fs::create_directories(dir / "trap/src/a");
    fs::create_directories(dir / "trap/src");
    const std::string first = two_is_link ? "src/a/one" : "src/two";
    fs::create_symlink("/etc/passwd", dir / ("trap/" + first));
    r = e2e::run_qev(dir / "trap", {"x", "../arc", second + "*"});
    EXPECT_EQ(r.status, 1) << e2e::describe(r);
    EXPECT_NE(r.err.find("is not made: it is a symbolic link"), std::string::npos) << e2e::describe(r);
}

// Followed links that reach the same file store it once too.
TEST(HardLinks, FollowedLinksToOneFileAreStoredOnce) {
    e2e::TempDir dir;
    dir.put("src/file", std::string(5u << 20, 'f'));
    fs::create_symlink("file", dir / "src/alias");
    RunResult r = e2e::run_qev(dir.path(), {"a", "-r", "--dereference", "arc", "src"});
    ASSERT_EQ(r.status, 0) << e2e::describe(r);
    EXPECT_LT(fs::file_size(dir / "arc"), 1u << 20);
    fs::create_directories(dir / "out");
    r = e2e::run_qev(dir / "out", {"x", "../arc"});
    ASSERT_EQ(r.status, 0) << e2e::describe(r);
    struct stat a {}, b {};
    ASSERT_EQ(lstat((dir / "out/src/file").c_str(), &a), 0);
    ASSERT_EQ(lstat((dir / "out/src/alias").c_str(), &b), 0);
    EXPECT_TRUE(S_ISREG(b.st_mode));
    EXPECT_EQ(a.st_ino, b.st_ino);
}

// A file with holes comes back with its holes: it takes no more blocks than
// its data, whoever restores it.
TEST(SparseFiles, HolesComeBackAsHoles) {
    e2e::TempDir dir;
    fs::create_directories(dir / "src");
    const std::string path = dir / "src/disk.img";
    {
        test::write_file(path, {});
        ASSERT_EQ(truncate(path.c_str(), 256ll << 20), 0);
        FILE* f = std::fopen(path.c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        const std::string run(1u << 20, 'r');
        for (long at : {0L, 100L << 20, 255L << 20}) {
            std::fseek(f, at, SEEK_SET);
            std::fwrite(run.data(), 1, run.size(), f);
        }
        std::fclose(f);
    }
    struct stat original {};
    ASSERT_EQ(stat(path.c_str(), &original), 0);
    if (original.st_blocks * 512 >= original.st_size) GTEST_SKIP() << "this filesystem makes no holes";
    RunResult r = e2e::run_qev(dir.path(), {"a", "-r", "arc", "src"});
    ASSERT_EQ(r.status, 0) << e2e::describe(r);
    EXPECT_LT(fs::file_size(dir / "arc"), 4u << 20);
    r = e2e::run_qev(dir.path(), {"l", "-v", "arc"});
    EXPECT_NE(r.out.find("src/disk.img (sparse: 3145728 bytes of data)"), std::string::npos) << r.out;
    fs::create_directories(dir / "out");
    r = e2e::run_qev(dir / "out", {"x", "../arc"});
    ASSERT_EQ(r.status, 0) << e2e::describe(r);
    struct stat restored {};
    ASSERT_EQ(stat((dir / "out/src/disk.img").c_str(), &restored), 0);
    EXPECT_EQ(restored.st_size, original.st_size);
    EXPECT_LE(restored.st_blocks, original.st_blocks + 3 * 8);
    EXPECT_EQ(test::read_file(dir / "out/src/disk.img"), test::read_file(path));
}

// Set-id and sticky bits stay only where the owner was set.
TEST(Owners, SpecialBitsOnlyWithTheOwner) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to give a file another owner";
    e2e::TempDir dir;
    dir.put("src/tool", "#!/bin/sh\n");
    // The mode after the owner: a change of owner drops the set-id bits.
    ASSERT_EQ(chown((dir / "src/tool").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod((dir / "src/tool").c_str(), 04755), 0);
    RunResult r = e2e::run_qev(dir.path(), {"a", "-r", "arc", "src"});
    ASSERT_EQ(r.status, 0) << e2e::describe(r);
    struct stat st {};
    fs::create_directories(dir / "same");
    ASSERT_EQ(e2e::run_qev(dir / "same", {"x", "../arc"}).status, 0);
    ASSERT_EQ(stat((dir / "same/src/tool").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 04755u);
    EXPECT_EQ(st.st_uid, 65534u);
    fs::create_directories(dir / "mine");
    ASSERT_EQ(e2e::run_qev(dir / "mine", {"x", "--no-same-owner", "../arc"}).status, 0);
    ASSERT_EQ(stat((dir / "mine/src/tool").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(st.st_uid, 0u);
}

}  // namespace
}  // namespace qev
