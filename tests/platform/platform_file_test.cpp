#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/platform_file.h"

namespace qev {
namespace {

namespace fs = std::filesystem;
using namespace platform;

struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/qev_platform_XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

TEST(PlatformPaths, NativeFormAndAbsoluteness) {
    EXPECT_EQ(native_path("a\\b\\c.txt"), "a/b/c.txt");
    EXPECT_EQ(native_path("c:\\a\\b"), "/a/b");
    EXPECT_EQ(native_path("D:/a"), "/a");
    // "X:" is a drive prefix only when a separator follows it.
    EXPECT_EQ(native_path("c:"), "c:");
    EXPECT_EQ(native_path("c:name"), "c:name");
    EXPECT_EQ(native_path("1:/a"), "1:/a");
    EXPECT_EQ(native_path("/tmp/x"), "/tmp/x");
    EXPECT_EQ(native_path("rel"), "rel");

    EXPECT_TRUE(is_absolute("/tmp"));
    EXPECT_TRUE(is_absolute("\\tmp"));
    EXPECT_TRUE(is_absolute("z:\\x"));
    EXPECT_FALSE(is_absolute("c:x"));
    EXPECT_FALSE(is_absolute("tmp/x"));

    EXPECT_FALSE(path_too_long(std::string(MAX_PATH_BYTES, 'a')));
    EXPECT_TRUE(path_too_long(std::string(MAX_PATH_BYTES + 1, 'a')));
}

TEST(PlatformFile, CreateWriteReadSeekTruncate) {
    TempDir dir;
    const std::string path = dir.path + "\\data.bin";  // a backslash reaches the system as '/'
    File f;
    ASSERT_TRUE(f.create(path));
    ASSERT_TRUE(f.write("0123456789", 10));
    ASSERT_TRUE(f.seek(4));
    char buf[16] = {};
    EXPECT_EQ(f.read(buf, sizeof buf), 6u);
    EXPECT_EQ(std::string(buf, 6), "456789");
    ASSERT_TRUE(f.truncate(3));
    f.close();
    EXPECT_EQ(file_size(dir.path + "/data.bin"), 3u);

    // open_write keeps the content; create truncates it.
    ASSERT_TRUE(f.open_write(path));
    ASSERT_TRUE(f.write("X", 1));
    f.close();
    ASSERT_TRUE(f.open_read(path));
    EXPECT_EQ(f.read(buf, sizeof buf), 3u);
    EXPECT_EQ(std::string(buf, 3), "X12");
    f.close();
    ASSERT_TRUE(f.create(path));
    f.close();
    EXPECT_EQ(file_size(path), 0u);

    EXPECT_FALSE(f.open_read(dir.path + "/missing"));
    EXPECT_FALSE(f.open_write(dir.path + "/missing"));
    EXPECT_FALSE(f.open_read(dir.path));  // a directory is not a file
}

TEST(PlatformFile, StatusListingAndDirectories) {
    TempDir dir;
    make_directory(dir.path + "\\sub");
    make_directory(dir.path + "/sub");  // already there: ignored
    File f;
    ASSERT_TRUE(f.create(dir.path + "/sub/f.txt"));
    ASSERT_TRUE(f.write("abc", 3));
    f.close();

    EXPECT_TRUE(is_directory(dir.path + "/sub"));
    EXPECT_FALSE(is_directory(dir.path + "/sub/f.txt"));
    EXPECT_FALSE(is_directory(dir.path + "/none"));
    EXPECT_FALSE(is_directory(""));
    EXPECT_EQ(file_size(dir.path + "/sub"), 0u);
    EXPECT_EQ(file_size(dir.path + "/none"), 0u);

    const EntryStatus file = entry_status(dir.path + "/sub/f.txt");
    EXPECT_EQ(file.type, EntryType::Regular);
    EXPECT_EQ(file.size, 3u);
    EXPECT_EQ(entry_status(dir.path + "/sub").type, EntryType::Directory);
    EXPECT_EQ(entry_status(dir.path + "/none").type, EntryType::Missing);

    std::vector<std::string> names;
    ASSERT_TRUE(list_directory(dir.path + "/sub", names));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "f.txt"}));
    EXPECT_FALSE(list_directory(dir.path + "/none", names));

    const std::string cwd = current_directory();
    EXPECT_EQ(fs::path(cwd), fs::current_path());
    EXPECT_TRUE(cwd == "/" || cwd.back() != '/');
}

}  // namespace
}  // namespace qev
