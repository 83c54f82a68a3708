// The list command through the built program: its heading and count lines,
// patterns compared with the names as stored, and archives it lists without
// decoding anything.
#include <gtest/gtest.h>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "test_util.h"

namespace qev {
namespace {

using e2e::describe;
using e2e::RawEntry;
using e2e::RunResult;
using e2e::TempDir;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

// The lines after the two banner lines.
std::vector<std::string> body(const RunResult& r) {
    std::vector<std::string> lines = e2e::lines_of(r.out);
    if (lines.size() >= 2) lines.erase(lines.begin(), lines.begin() + 2);
    return lines;
}

// The lines on standard error: errors and warnings.
std::vector<std::string> diagnostics(const RunResult& r) { return e2e::lines_of(r.err); }

std::string heading(const std::string& archive) { return "Archive List ... " + archive + " "; }
std::string count_line(int n, const std::string& archive) {
    return " n." + std::to_string(n) + " files in archive " + archive + "  ";
}

// pics/x.bmp, pics/y.BMP and pics/notes.txt in one archive.
struct PictureArchive {
    TempDir dir;
    std::string archive;
    PictureArchive() {
        dir.put("pics/x.bmp", test::random_bytes(300, 1));
        dir.put("pics/y.BMP", test::random_bytes(200, 2));
        dir.put("pics/notes.txt", test::wordy_bytes(500, 3));
        const RunResult r = e2e::run_qev(dir.path(), {"a", "--no-packs", "-b1", "-h1", "arc", "pics/*"});
        EXPECT_EQ(r.status, 0) << describe(r);
        archive = dir / "arc";
    }
};

TEST(Listing, PatternsAreCaseSensitiveWhileExtractionIsNot) {
    PictureArchive p;
    const RunResult upper = e2e::run_qev(p.dir.path(), {"l", "arc", "*.BMP"});
    EXPECT_EQ(upper.status, 0) << describe(upper);
    EXPECT_EQ(body(upper), (std::vector<std::string>{heading(p.archive), "pics/y.BMP ", count_line(1, p.archive)}));

    const RunResult lower = e2e::run_qev(p.dir.path(), {"l", "arc", "*.bmp"});
    EXPECT_EQ(body(lower), (std::vector<std::string>{heading(p.archive), "pics/x.bmp ", count_line(1, p.archive)}));

    // The pattern is matched against the base name only; one that lists
    // nothing is a failure, as for extraction.
    const RunResult with_dir = e2e::run_qev(p.dir.path(), {"l", "arc", "pics/*"});
    EXPECT_EQ(body(with_dir), (std::vector<std::string>{heading(p.archive), count_line(0, p.archive)}));
    EXPECT_EQ(diagnostics(with_dir), std::vector<std::string>{"WARNING: no entry matches pics/*"});
    EXPECT_EQ(with_dir.status, 1);

    // Extraction lower-cases both sides: *.BMP restores both pictures.
    const RunResult x = e2e::run_qev(p.dir.path(), {"x", "arc", "out/*.BMP"});
    EXPECT_EQ(x.status, 0) << describe(x);
    const e2e::Tree out = e2e::files_of(e2e::snapshot(p.dir / "out"));
    EXPECT_EQ(out.size(), 2u);
    EXPECT_TRUE(out.count("pics/x.bmp") && out.count("pics/y.BMP")) << describe(x);
}

TEST(Listing, EveryPatternIsAFullPassAndTheCountSpansThemAll) {
    PictureArchive p;
    // x.bmp matches both patterns: printed and counted twice, the entries of
    // each pattern in archive order.
    const RunResult twice = e2e::run_qev(p.dir.path(), {"l", "arc", "*.bmp", "x.*"});
    EXPECT_EQ(twice.status, 0) << describe(twice);
    EXPECT_EQ(body(twice),
              (std::vector<std::string>{heading(p.archive), "pics/x.bmp ", "pics/x.bmp ", count_line(2, p.archive)}));

    const RunResult three = e2e::run_qev(p.dir.path(), {"l", "arc", "*s*", "?.*", "nothing"});
    const std::vector<std::string> lines = body(three);
    EXPECT_EQ(lines, (std::vector<std::string>{heading(p.archive), "pics/notes.txt ", "pics/y.BMP ", "pics/x.bmp ",
                                               count_line(3, p.archive)}))
        << describe(three);
    EXPECT_EQ(diagnostics(three), std::vector<std::string>{"WARNING: no entry matches nothing"});
    EXPECT_EQ(three.status, 1);

    // No pattern lists everything, in archive order (sorted by extension:
    // BMP, bmp, txt).
    const RunResult all = e2e::run_qev(p.dir.path(), {"l", "arc"});
    EXPECT_EQ(body(all), (std::vector<std::string>{heading(p.archive), "pics/y.BMP ", "pics/x.bmp ", "pics/notes.txt ",
                                                   count_line(3, p.archive)}));
}

TEST(Listing, EmptyAndMissingArchives) {
    TempDir dir;
    // An empty file is no archive: refused by every command that reads one.
    dir.put("empty.qev", Bytes());
    const RunResult empty = e2e::run_qev(dir.path(), {"l", "empty.qev"});
    EXPECT_EQ(empty.status, 1) << describe(empty);
    EXPECT_EQ(body(empty), std::vector<std::string>{heading(dir / "empty.qev")});
    EXPECT_EQ(diagnostics(empty), std::vector<std::string>{"Error: cannot open Archive file " + (dir / "empty.qev") +
                                                           ": it is empty, not an archive"});
    for (const char* command : {"x", "t"}) {
        const RunResult r = e2e::run_qev(dir.path(), {command, "empty.qev"});
        EXPECT_TRUE(r.exited() && r.status == 1) << describe(r);
        EXPECT_NE(r.err.find(dir / "empty.qev" + ": it is empty, not an archive\n"), std::string::npos) << r.err;
    }

    // A missing archive: its error after the heading, no count line.
    const RunResult missing = e2e::run_qev(dir.path(), {"l", "absent"});
    EXPECT_TRUE(missing.exited() && missing.status == 1) << describe(missing);
    EXPECT_EQ(body(missing), std::vector<std::string>{heading(dir / "absent")});
    EXPECT_EQ(diagnostics(missing), std::vector<std::string>{"Error: cannot open Archive file " + (dir / "absent")});
}

TEST(Listing, DamagedArchives) {
    PictureArchive p;
    std::vector<RawEntry> entries = e2e::parse_archive(test::read_file(p.archive));
    ASSERT_EQ(entries.size(), 3u);

    // Streams replaced by noise: the listing never decodes them, while the
    // extraction finds the damage.
    std::vector<RawEntry> noisy = entries;
    for (RawEntry& e : noisy) e.stream = test::random_bytes(e.stream.size(), 9);
    p.dir.put("noisy", e2e::archive_bytes(noisy));
    const RunResult listed = e2e::run_qev(p.dir.path(), {"l", "noisy"});
    EXPECT_EQ(listed.status, 0) << describe(listed);
    EXPECT_EQ(body(listed), (std::vector<std::string>{heading(p.dir / "noisy"), "pics/y.BMP ", "pics/x.bmp ",
                                                      "pics/notes.txt ", count_line(3, p.dir / "noisy")}));
    const RunResult extracted = e2e::run_qev(p.dir.path(), {"x", "noisy", "out"});
    EXPECT_TRUE(extracted.exited() && extracted.status == 1) << describe(extracted);

    // Headers get the extraction's checks: a refused entry is reported and
    // skipped, an untrustworthy size ends the walk; status 1 either way.
    std::vector<RawEntry> bad_field = entries;
    bad_field[1].lz_mode = 7;
    p.dir.put("bad_field", e2e::archive_bytes(bad_field));
    const RunResult field = e2e::run_qev(p.dir.path(), {"l", "bad_field"});
    EXPECT_TRUE(field.exited() && field.status == 1) << describe(field);
    EXPECT_EQ(body(field), (std::vector<std::string>{heading(p.dir / "bad_field"), "pics/y.BMP ", "pics/notes.txt ",
                                                     count_line(2, p.dir / "bad_field")}));
    std::vector<std::string> errors = diagnostics(field);
    ASSERT_EQ(errors.size(), 1u) << describe(field);
    EXPECT_EQ(errors[0].rfind("Error", 0), 0u) << errors[0];
    EXPECT_NE(errors[0].find("x.bmp"), std::string::npos) << errors[0];

    // An unfinished entry has no size to go by: the walk goes on at the
    // next entry whose integrity record proves it sound.
    std::vector<RawEntry> unfinished = entries;
    unfinished[1].entry_size = 0;
    p.dir.put("unfinished", e2e::archive_bytes(unfinished));
    const RunResult stop = e2e::run_qev(p.dir.path(), {"l", "unfinished"}, e2e::RunOptions{20, false});
    ASSERT_TRUE(stop.exited()) << describe(stop);
    EXPECT_TRUE(stop.exited() && stop.status == 1) << describe(stop);
    EXPECT_EQ(body(stop), (std::vector<std::string>{heading(p.dir / "unfinished"), "pics/y.BMP ", "pics/notes.txt ",
                                                    count_line(2, p.dir / "unfinished")}));
    errors = diagnostics(stop);
    ASSERT_EQ(errors.size(), 1u) << describe(stop);
    EXPECT_EQ(errors[0].rfind("Error", 0), 0u) << errors[0];
    EXPECT_NE(errors[0].find(p.dir / "unfinished"), std::string::npos) << errors[0];
    EXPECT_NE(errors[0].find("are skipped"), std::string::npos) << errors[0];
}

// The JSON lines of a listing, each parsed.
std::vector<nlohmann::json> json_lines(const RunResult& r) {
    std::vector<nlohmann::json> objects;
    for (const std::string& line : e2e::lines_of(r.out)) objects.push_back(nlohmann::json::parse(line));
    return objects;
}

// l --json: standard output holds JSON Lines and nothing else, an object for
// each entry and member of a pack with its kind, sizes, time, mode, owner,
// checksum, offset and pack; a name that is no valid UTF-8 comes in its
// escaped form, marked. Warnings go to standard error and make the status 1.
TEST(Listing, JsonLinesForMachines) {
    TempDir dir;
    dir.put("in/a.txt", std::string("alpha\n"));
    dir.put("in/\xff.bin", std::string("bytes"));
    fs::create_symlink("a.txt", dir / "in/link");
    ASSERT_EQ(e2e::run_qev(dir.path(), {"a", "-r", "arc", "in"}).status, 0);
    RunResult r = e2e::run_qev(dir.path(), {"l", "--json", "arc"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_TRUE(r.err.empty()) << describe(r);
    std::map<std::string, nlohmann::json> by_path;
    for (const nlohmann::json& e : json_lines(r)) by_path[e["path"].get<std::string>()] = e;
    ASSERT_EQ(by_path.size(), 4u) << r.out;
    const nlohmann::json& a = by_path["in/a.txt"];
    EXPECT_EQ(a["type"], "file");
    EXPECT_EQ(a["size"], 6);
    EXPECT_EQ(a["stored"], nullptr);
    EXPECT_EQ(a["mode"], "0644");
    EXPECT_EQ(a["uid"], getuid());
    EXPECT_EQ(a["pack"], "qev-pack-000000.tar");
    EXPECT_EQ(a["offset"], 0);
    EXPECT_EQ(a["checksum"], nullptr);
    EXPECT_EQ(by_path["in"]["type"], "folder");
    EXPECT_EQ(by_path["in/link"]["type"], "link");
    EXPECT_EQ(by_path["in/\\377.bin"]["path_escaped"], true);
    // Patterns select as for the plain listing; no match is a warning.
    r = e2e::run_qev(dir.path(), {"l", "--json", "arc", "*.txt", "*.none"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(json_lines(r).size(), 1u);
    EXPECT_NE(r.err.find("WARNING: no entry matches *.none"), std::string::npos) << describe(r);
    // An entry of its own, appended: its stored size, offset, owner and
    // checksum; no pack.
    ASSERT_EQ(e2e::run_qev(dir.path(), {"a", "arc", "in/a.txt"}).status, 0);
    const std::vector<nlohmann::json> all = json_lines(e2e::run_qev(dir.path(), {"l", "--json", "arc", "a.txt"}));
    ASSERT_EQ(all.size(), 2u);
    const std::vector<e2e::RawEntry> entries = e2e::parse_archive(test::read_file(dir / "arc"));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(all[1]["offset"], entries[0].entry_size);
    EXPECT_EQ(all[1]["stored"], entries[1].entry_size);
    EXPECT_EQ(all[1]["pack"], nullptr);
    EXPECT_EQ(all[1]["uid"], getuid());
    EXPECT_EQ(all[1]["checksum"].get<std::string>().size(), 16u);
}

}  // namespace
}  // namespace qev
