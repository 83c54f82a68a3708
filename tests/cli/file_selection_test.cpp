#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cli/cli.h"

namespace qev {
namespace {

namespace fs = std::filesystem;

// root/ top.txt noext x.bmp
//       dir/ x.bmp y.BMP other/y.bmp sub.bmp/inner.txt sub.bmp/deeper/z.txt
class FileSelection : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/qev_select_XXXXXX";
        root = mkdtemp(name);
        saved = fs::current_path();
        for (const char* d : {"dir/other", "dir/sub.bmp/deeper"}) fs::create_directories(root + "/" + d);
        for (const char* f : {"top.txt", "noext", "x.bmp", "dir/x.bmp", "dir/y.BMP", "dir/other/y.bmp",
                              "dir/sub.bmp/inner.txt", "dir/sub.bmp/deeper/z.txt"}) {
            std::ofstream(root + "/" + f) << f;
        }
        fs::current_path(root);
    }
    void TearDown() override {
        fs::current_path(saved);
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    static std::vector<std::string> record_paths(const FileList& list) {
        std::vector<std::string> out;
        for (const FileRecord& r : list) out.push_back(r.path);
        return out;
    }
    static std::vector<std::string> paths(const std::vector<std::string>& args, bool recurse, bool* ok = nullptr) {
        FileList list;
        const bool result = collect_files(args, recurse, list);
        if (ok != nullptr) *ok = result;
        return record_paths(list);
    }
    static std::vector<std::string> sorted(std::vector<std::string> v) {
        std::sort(v.begin(), v.end());
        return v;
    }

    std::string root;
    fs::path saved;
};

TEST(FileSelectionSplit, DirectoryAndPattern) {
    auto check = [](const std::string& arg, const std::string& dir, const std::string& pattern) {
        const FileSpec s = split_file_spec(arg);
        EXPECT_EQ(s.directory, dir) << arg;
        EXPECT_EQ(s.pattern, pattern) << arg;
    };
    check("docs\\a.txt", "docs", "a.txt");
    check("a.txt", "", "a.txt");
    check(".", ".", "*");
    check("..", "..", "*");
    check("dir/", "dir", "*");
    check("/x", "/", "x");
    check("c:\\x.bmp", "c:/.", "x.bmp");
    check("c:\\data\\x.bmp", "c:/data", "x.bmp");
    check("c:x.bmp", "", "c:x.bmp");  // a name, not a drive
    check("c:", "", "c:");
    check("a:b/c:d", "a:b", "c:d");
}

TEST(FileSelectionNaming, NameAndDir) {
    EXPECT_EQ(stored_name("docs/a.txt"), "a.txt");
    EXPECT_EQ(stored_name("a.txt"), "a.txt");
    EXPECT_EQ(stored_dir("docs/a.txt", true), "docs/");
    EXPECT_EQ(stored_dir("a.txt", true), "");
    EXPECT_EQ(stored_dir("c:/data/x.bmp", true), "data/");
    EXPECT_EQ(stored_dir("c:/./x.bmp", true), "./");
    EXPECT_EQ(stored_dir("x:y/z:/f", true), "x:y/z:/");
    EXPECT_EQ(stored_dir("photos/2010/x.bmp", true), "photos/2010/");
    EXPECT_EQ(stored_dir("/home/u/a.txt", true), "home/u/");  // a leading '/' is left out like a drive
    EXPECT_EQ(stored_dir("photos/2010/x.bmp", false), "");
    EXPECT_EQ(drop_method_argument({"-m3", "f", "-m4"}), (std::vector<std::string>{"f", "-m4"}));
}

TEST_F(FileSelection, SortByExtension) {
    EXPECT_EQ(extension_key("./c"), "/c");  // the last dot anywhere in the path
    // Bytes compare unsigned; a key that is a prefix of another sorts first; equal keys keep their order.
    FileList list{{"e.\xe9", 1}, {"f.z", 2}, {"h.bmp", 3}, {"g.bm", 4}, {"b.bmp", 5}};
    sort_by_extension(list);
    EXPECT_EQ(record_paths(list), (std::vector<std::string>{"g.bm", "h.bmp", "b.bmp", "f.z", "e.\xe9"}));

    fs::create_directories("sort");
    for (const char* f : {"a.txt", "b.bmp", "c", "d.TXT"}) std::ofstream(std::string("sort/") + f) << "x";
    fs::current_path("sort");
    list.clear();
    ASSERT_TRUE(collect_files({"*"}, false, list));
    sort_by_extension(list);
    EXPECT_EQ(record_paths(list), (std::vector<std::string>{"d.TXT", "b.bmp", "c", "a.txt"}));
}

TEST_F(FileSelection, PatternsDotsAndRepeats) {
    EXPECT_EQ(sorted(paths({"*.*"}, false)), (std::vector<std::string>{"top.txt", "x.bmp"}));
    EXPECT_EQ(sorted(paths({"."}, false)), (std::vector<std::string>{"./noext", "./top.txt", "./x.bmp"}));
    EXPECT_EQ(paths({"dir/*.BMP"}, false), (std::vector<std::string>{"dir/y.BMP"}));
    EXPECT_EQ(paths({"dir\\x.bmp", "dir/x.bmp"}, false), (std::vector<std::string>{"dir/x.bmp", "dir/x.bmp"}));
    EXPECT_EQ(paths({"dir/*.bmp", "dir/x*"}, false), (std::vector<std::string>{"dir/x.bmp", "dir/x.bmp"}));
    bool ok = true;
    EXPECT_TRUE(paths({"dir"}, false, &ok).empty());  // a folder without -r selects nothing
    EXPECT_FALSE(ok);
    ok = true;
    EXPECT_TRUE(paths({"nope/*", "-m5"}, true, &ok).empty());
    EXPECT_FALSE(ok);  // an argument that selects nothing fails the run

    fs::current_path("dir");
    EXPECT_EQ(sorted(paths({".."}, false)), (std::vector<std::string>{"../noext", "../top.txt", "../x.bmp"}));
    EXPECT_EQ(stored_dir(paths({".."}, false).front(), true), "../");

    FileList list;
    ASSERT_TRUE(collect_files({root + "/x.bmp"}, false, list));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].path, root + "/x.bmp");
    EXPECT_EQ(list[0].size, 5u);
}

TEST_F(FileSelection, RecursionEntersMatchingFoldersOnly) {
    EXPECT_EQ(sorted(paths({"dir/*.bmp"}, true)),
              (std::vector<std::string>{"dir/sub.bmp/deeper/z.txt", "dir/sub.bmp/inner.txt", "dir/x.bmp"}));
    EXPECT_EQ(paths({"dir/*.bmp"}, false), (std::vector<std::string>{"dir/x.bmp"}));

    EXPECT_EQ(sorted(paths({"dir"}, true)),
              (std::vector<std::string>{"dir/other/y.bmp", "dir/sub.bmp/deeper/z.txt", "dir/sub.bmp/inner.txt",
                                        "dir/x.bmp", "dir/y.BMP"}));
}

TEST_F(FileSelection, SymlinkLoopsAreNotReentered) {
    fs::create_directory_symlink(".", "dir/self");
    fs::create_directory_symlink("..", "dir/sub.bmp/up");
    bool ok = false;
    const std::vector<std::string> all = paths({"dir"}, true, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(all.size(), 5u);
    EXPECT_EQ(sorted(paths({"dir/*"}, true)).size(), 5u);
    // Named directly, a link back to its own folder, and "." or "..", are not entered either.
    EXPECT_TRUE(paths({"dir/self", "dir/.", "dir/sub.bmp/.."}, true).empty());
}

TEST(FileSelectionStore, CountsOnlyStoredFiles) {
    const FileList list{{"docs/a.txt", 10}, {"gone.bin", 7}, {"c:/./x.bmp", 5}};
    std::vector<std::string> calls;
    const StoreFunction store = [&](const std::string& path, const std::string& name, const std::string& dir,
                                    EntryType) {
        calls.push_back(path + "|" + name + "|" + dir);
        StoreResult result;
        result.status = path == "gone.bin" ? StoreStatus::Unreadable : StoreStatus::Stored;
        return result;
    };
    AddTotals totals;
    EXPECT_FALSE(store_files(list, true, store, totals));
    EXPECT_EQ(totals.files, 2u);
    EXPECT_EQ(totals.bytes, 15u);
    EXPECT_EQ(calls, (std::vector<std::string>{"docs/a.txt|a.txt|docs/", "gone.bin|gone.bin|",
                                               "c:/./x.bmp|x.bmp|./"}));

    calls.clear();
    AddTotals flat;
    EXPECT_TRUE(store_files({{"docs/a.txt", 10}}, false, store, flat));
    EXPECT_EQ(calls, (std::vector<std::string>{"docs/a.txt|a.txt|"}));
    EXPECT_EQ(flat.files, 1u);
}

}  // namespace
}  // namespace qev

namespace qev {
namespace {

// The entries an add plans: large files first, each its own entry, in
// extension order; packs of the rest in walk order, closed at the size
// asked for; the folders at the end of the last pack; a pack of a single
// regular file is that file's entry.
TEST(StoreItems, PacksTakeSmallFilesLinksAndFoldersInWalkOrder) {
    const std::uint64_t big = PACK_FILE_LIMIT;
    const FileList list = {
        {"t/z.txt", 10, EntryType::File},  {"t", 0, EntryType::Folder},    {"t/big.c", big, EntryType::File},
        {"t/a.txt", 3000, EntryType::File}, {"t/l", 0, EntryType::Link},    {"t/sub", 0, EntryType::Folder},
        {"t/b.a", big + 1, EntryType::File}, {"t/sub/c.md", 5, EntryType::File},
    };
    std::vector<StoreItem> items = plan_store_items(list, true, true, 4096);
    std::vector<std::vector<std::size_t>> records;
    for (const StoreItem& item : items) records.push_back(item.records);
    // The link's target is not known yet: it counts as long as a path may
    // be, and closes a pack of its own here.
    EXPECT_EQ(records, (std::vector<std::vector<std::size_t>>{{6}, {2}, {0, 3}, {4}, {7, 1, 5}}));
    EXPECT_EQ(items[0].store.type, EntryType::File);
    EXPECT_EQ(items[2].store.type, EntryType::Pack);
    EXPECT_EQ(items[2].store.members[1].name, "a.txt");
    EXPECT_EQ(items[2].store.members[1].dir, "t/");
    EXPECT_GE(items[2].bytes, 3000u + 10u);
    // Without packing: every record its own entry, in the list's order.
    items = plan_store_items(list, true, false, 4096);
    ASSERT_EQ(items.size(), list.size());
    for (std::size_t i = 0; i < items.size(); ++i) EXPECT_EQ(items[i].records, std::vector<std::size_t>{i});
    // A pack that would hold one regular file alone is that file's entry.
    items = plan_store_items({{"one.txt", 5, EntryType::File}}, true, true, 4096);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].store.type, EntryType::File);
}

// The planner's estimate of a member is never below what it takes in the
// stream, whatever its name or target.
TEST(StoreItems, MemberEstimatesBoundThePaxStream) {
    for (const std::size_t length : {1, 98, 99, 100, 101, 155, 255, 300, 1000, 4000}) {
        for (const EntryType type : {EntryType::File, EntryType::Folder, EntryType::Link}) {
            PackMember m;
            m.path = std::string(length, 'p');
            if (length > 50) m.path[length / 2] = '/';
            if (length == 300) m.path[7] = '\xe9';
            m.type = type;
            m.size = type == EntryType::File ? length * 3 : 0;
            m.target = type == EntryType::Link ? std::string(4000, 't') : std::string();
            const std::string content(m.size, 'c');
            PackBuilder builder;
            ASSERT_TRUE(builder.add(m, reinterpret_cast<const std::uint8_t*>(content.data())));
            ASSERT_TRUE(builder.finish());
            EXPECT_LE(builder.bytes().size(), pack_member_bytes(m.path, type, m.size) + 1024)
                << length << " " << static_cast<int>(type);
        }
    }
}

}  // namespace
}  // namespace qev

namespace qev {
namespace {

// A stored time is compared as finely as it was stored: a member that holds
// whole seconds is unchanged by the nanoseconds of the file's time.
TEST(UpdateCompare, TypeSizeModeAndTimeAtTheStoredPrecision) {
    char name[] = "/tmp/qev_update_XXXXXX";
    const std::string dir = mkdtemp(name);
    const std::string path = dir + "/f";
    std::ofstream(path) << "four";
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    const timespec times[2] = {{1700000000, 123456789}, {1700000000, 123456789}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    const FileRecord file{path, 4, EntryType::File};
    StoredState s;
    s.size = 4;
    s.mode = 0640;
    s.mtime_seconds = 1700000000;
    s.mtime_nanoseconds = 123456789;
    EXPECT_FALSE(changed_since_stored(file, s));
    StoredState t = s;
    t.mtime_nanoseconds = 0;
    EXPECT_TRUE(changed_since_stored(file, t));
    t.whole_seconds = true;
    EXPECT_FALSE(changed_since_stored(file, t));
    t.mtime_seconds += 1;
    EXPECT_TRUE(changed_since_stored(file, t));
    for (auto change : {+[](StoredState& x) { x.size = 5; }, +[](StoredState& x) { x.mode = 0644; },
                        +[](StoredState& x) { x.type = EntryType::Link; }}) {
        StoredState u = s;
        change(u);
        EXPECT_TRUE(changed_since_stored(file, u));
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace qev
