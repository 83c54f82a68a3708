// Damaged and hostile archives, written byte by byte. Extraction must end
// with one clear error line and status 1, never crash, hang or write
// anything outside the destination, and must still restore the sound
// entries around a damaged one wherever the walk can go on.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "test_util.h"

namespace qev {
namespace {

using e2e::describe;
using e2e::RawEntry;
using e2e::RunResult;
using e2e::snapshot;
using e2e::TempDir;
using e2e::Tree;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

const std::string GOOD1 = "first sound entry\n";
const std::string GOOD2 = "last sound entry, after the damaged one\n";

// Real entries made by the program, to take valid streams from: two small
// files and a larger text, in a normal and in a solid archive.
struct Sources {
    TempDir dir;
    // good1.a, payload.b, good2.c: the extensions fix the archive order.
    std::vector<RawEntry> plain;
    std::vector<RawEntry> solid;  // the same, solid
    Bytes payload;

    Sources() {
        payload = test::wordy_bytes(60000, 77);
        dir.put("good1.a", GOOD1);
        dir.put("payload.b", payload);
        dir.put("good2.c", GOOD2);
        for (const bool s : {false, true}) {
            std::vector<std::string> args = {"a", "-p", "-b1", "-h1"};
            if (s) args.push_back("-s");
            args.insert(args.end(), {s ? "solid" : "plain", "*.?"});
            const RunResult r = e2e::run_qev(dir.path(), args);
            if (r.status != 0) throw std::runtime_error("cannot make the source archives: " + describe(r));
            std::vector<RawEntry>& out = s ? solid : plain;
            out = e2e::parse_archive(test::read_file(dir / (s ? "solid" : "plain")));
            if (out.size() != 3 || out[0].stored_name() != "good1.a" || out[1].stored_name() != "payload.b" ||
                out[2].stored_name() != "good2.c") {
                throw std::runtime_error("unexpected source archive");
            }
        }
    }
};

const Sources& sources() {
    static const Sources s;
    return s;
}

struct Outcome {
    RunResult run;
    Tree dest;                 // what the destination holds afterwards
    std::string archive_path;  // as the program names it
    bool outside_unchanged = true;
    std::string outside_difference;
};

// Writes the archive into a fresh folder, extracts it into work/dest and
// records what happened inside and outside the destination.
Outcome extract(const Bytes& archive, const std::vector<std::string>& must_not_exist = {}) {
    TempDir dir;
    dir.put("work/arc", archive);
    dir.put("work/bystander.txt", "must stay as it is");
    dir.put("beside/other.txt", "must stay too");
    const Tree before = snapshot(dir.path());
    Outcome o;
    o.run = e2e::run_qev(dir / "work", {"x", "arc", "dest"}, e2e::RunOptions{30, false});
    o.archive_path = dir / "work/arc";
    o.dest = snapshot(dir / "work/dest");
    o.outside_difference = e2e::tree_difference(before, snapshot(dir.path(), "work/dest"));
    for (const std::string& path : must_not_exist) {
        if (fs::exists(path)) {
            o.outside_difference += " created " + path;
            fs::remove_all(path);
        }
    }
    o.outside_unchanged = o.outside_difference.empty();
    return o;
}

// The lines that report an error.
std::vector<std::string> error_lines(const std::string& out) {
    std::vector<std::string> errors;
    for (const std::string& line : e2e::lines_of(out)) {
        if (line.rfind("Error", 0) == 0) errors.push_back(line);
    }
    return errors;
}

// Status 1 without a crash, nothing outside the destination, and an error
// line that names the archive and the entry (by its stored path, or by its
// offset where its header cannot be trusted).
void expect_failure(const Outcome& o, const std::string& what, const std::string& entry, std::uint64_t offset) {
    SCOPED_TRACE(what);
    ASSERT_TRUE(o.run.exited()) << describe(o.run);
    EXPECT_EQ(o.run.status, 1) << describe(o.run);
    EXPECT_TRUE(o.outside_unchanged) << o.outside_difference;
    const std::vector<std::string> errors = error_lines(o.run.err);
    ASSERT_FALSE(errors.empty()) << describe(o.run);
    bool named = false;
    for (const std::string& line : errors) {
        const bool names_archive = line.find(o.archive_path) != std::string::npos;
        const bool names_entry = (!entry.empty() && line.find(entry) != std::string::npos) ||
                                 line.find("offset " + std::to_string(offset)) != std::string::npos;
        named |= names_archive && names_entry;
    }
    EXPECT_TRUE(named) << "no error line names " << o.archive_path << " and " << entry << " / offset " << offset << "\n"
                       << describe(o.run);
}

// good1.a, the damaged entry, good2.c.
Bytes around(const RawEntry& damaged, const std::vector<RawEntry>& set) {
    return e2e::archive_bytes({set[0], damaged, set[2]});
}

void expect_sound_entries(const Outcome& o, const std::string& what, bool second_too) {
    SCOPED_TRACE(what);
    ASSERT_TRUE(o.dest.count("good1.a")) << describe(o.run);
    EXPECT_EQ(o.dest.at("good1.a"), GOOD1);
    if (second_too) {
        ASSERT_TRUE(o.dest.count("good2.c")) << "the walk should go on\n" << describe(o.run);
        EXPECT_EQ(o.dest.at("good2.c"), GOOD2);
    }
}

// Sizes that cannot be trusted: the walk cannot find the next entry and
// stops, after restoring what came before.
TEST(Hostile, EntrySizesThatCannotBeTrusted) {
    const Sources& src = sources();
    const std::vector<RawEntry>& set = src.plain;
    const std::uint64_t at = set[0].entry_size;
    const RawEntry payload = set[1];

    struct Case {
        const char* what;
        std::function<void(RawEntry&)> damage;
        bool last;  // the damaged entry must be the last one of the archive
    };
    const std::vector<Case> cases = {
        {"entry_size 0", [](RawEntry& e) { e.entry_size = 0; }, false},
        {"entry_size smaller than its header", [](RawEntry& e) { e.entry_size = 20; }, false},
        {"entry_size one short of its header", [](RawEntry& e) { e.entry_size = e.header_bytes() - 1; }, false},
        {"entry_size past the archive end", [](RawEntry& e) { e.entry_size += 1000; }, true},
        {"entry_size near 2^64", [](RawEntry& e) { e.entry_size = ~std::uint64_t{0} - 5; }, false},
        {"name_length past the entry", [](RawEntry& e) { e.name_length = 60000; }, false},
        {"name_length 0", [](RawEntry& e) { e.name_length = 0; }, false},
        {"dir_length past the entry", [](RawEntry& e) { e.dir_length = 65535; }, false},
    };
    for (const Case& c : cases) {
        RawEntry e = payload;
        c.damage(e);
        const Bytes archive = c.last ? e2e::archive_bytes({set[0], e}) : around(e, set);
        const Outcome o = extract(archive);
        expect_failure(o, c.what, "", at);
        expect_sound_entries(o, c.what, false);
    }

    // A file that ends inside the first header is no archive.
    const Bytes whole = e2e::entry_bytes(set[0]);
    for (const std::size_t keep : {std::size_t{5}, std::size_t{11}, whole.size() - 30}) {
        const Outcome o = extract(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(keep)));
        expect_failure(o, "archive of " + std::to_string(keep) + " bytes", "is not a QEV archive", 0);
        EXPECT_TRUE(e2e::files_of(o.dest).empty());
    }
}

// Header fields the decoder cannot obey: the entry is refused, its size is
// sound, so the walk goes on to the next entry.
TEST(Hostile, HeaderFieldsOutsideTheirRange) {
    const Sources& src = sources();
    const std::vector<RawEntry>& set = src.plain;
    const std::uint64_t at = set[0].entry_size;

    struct Case {
        const char* what;
        std::function<void(RawEntry&)> damage;
    };
    const std::vector<Case> cases = {
        {"name without its terminating zero", [](RawEntry& e) { e.name.back() = 'X'; }},
        {"dir without its terminating zero", [](RawEntry& e) { e.dir.back() = '/'; }},
        {"ring_size not a power of two", [](RawEntry& e) { e.ring_size = 3u << 23; }},
        {"ring_size below 2^23", [](RawEntry& e) { e.ring_size = 1u << 22; }},
        {"ring_size above 2^30", [](RawEntry& e) { e.ring_size = 1u << 31; }},
        {"ring_size 0", [](RawEntry& e) { e.ring_size = 0; }},
        {"stride 0", [](RawEntry& e) { e.stride = 0; }},
        {"stride 0 in channel order", [](RawEntry& e) { e.stride = 0, e.lz_mode = 0; }},
        {"second_distance 0 in channel order", [](RawEntry& e) { e.second_distance = 0, e.lz_mode = 0; }},
        {"channels 0 with the sample filter",
         [](RawEntry& e) { e.media_mode = 1, e.channels = 0, e.sample_bytes = 1; }},
        {"channels 33 with the sample filter",
         [](RawEntry& e) { e.media_mode = 1, e.channels = 33, e.sample_bytes = 1; }},
        {"sample_bytes 0 with the sample filter",
         [](RawEntry& e) { e.media_mode = 1, e.channels = 2, e.sample_bytes = 0; }},
        {"media_mode 2", [](RawEntry& e) { e.media_mode = 2; }},
        {"lz_mode 2", [](RawEntry& e) { e.lz_mode = 2; }},
        {"solid flag unlike the first entry's", [](RawEntry& e) { e.solid = 1; }},
    };
    for (const Case& c : cases) {
        RawEntry e = set[1];
        c.damage(e);
        e.entry_size = e.header_bytes() + e.stream.size();
        const Outcome o = extract(around(e, set));
        expect_failure(o, c.what, "payload.b", at);
        expect_sound_entries(o, c.what, true);
    }
}

// Streams that do not hold what the header promises. The walk goes on after
// a damaged entry of a normal archive; in a solid archive the entries after
// it cannot be decoded and are reported too.
TEST(Hostile, DamagedStreams) {
    const Sources& src = sources();
    const std::vector<RawEntry>& set = src.plain;
    const std::uint64_t at = set[0].entry_size;
    const RawEntry payload = set[1];

    struct Case {
        const char* what;
        std::function<void(RawEntry&)> damage;
    };
    const std::vector<Case> cases = {
        {"random stream bytes", [](RawEntry& e) { e.stream = test::random_bytes(e.stream.size(), 5); }},
        {"random stream bytes in channel order",
         [](RawEntry& e) { e.stream = test::random_bytes(e.stream.size(), 6), e.lz_mode = 0; }},
        {"random stream bytes, short", [](RawEntry& e) { e.stream = test::random_bytes(200, 7); }},
        {"stream flipped in its middle",
         [](RawEntry& e) {
             for (std::size_t i = e.stream.size() / 2; i < e.stream.size() / 2 + 16; ++i) e.stream[i] ^= 0x5A;
         }},
        {"stream cut short", [](RawEntry& e) { e.stream.resize(e.stream.size() * 2 / 3); }},
        {"stream without its last byte", [](RawEntry& e) { e.stream.pop_back(); }},
        {"empty stream", [](RawEntry& e) { e.stream.clear(); }},
        {"empty stream of an empty file", [](RawEntry& e) { e.stream.clear(), e.unpacked_size = 0; }},
        {"stream longer than needed",
         [](RawEntry& e) {
             e.stream.insert(e.stream.end(), {0, 0, 0});
         }},
        {"unpacked_size larger than the stream holds", [](RawEntry& e) { e.unpacked_size *= 3; }},
    };
    for (const Case& c : cases) {
        RawEntry e = payload;
        c.damage(e);
        e.fix_size();
        const Outcome o = extract(around(e, set));
        expect_failure(o, c.what, "payload.b", at);
        expect_sound_entries(o, c.what, true);
        // Whatever was written for the damaged entry is no larger than it.
        if (o.dest.count("payload.b")) {
            EXPECT_LE(o.dest.at("payload.b").size(), src.payload.size()) << c.what;
        }
    }

    // A size of 2^40 bytes from a 10-byte stream: an error within moments,
    // not a terabyte on the disk.
    {
        RawEntry e = payload;
        e.stream = Bytes{0, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x11};
        e.unpacked_size = std::uint64_t{1} << 40;
        e.fix_size();
        const Outcome o = extract(around(e, set));
        expect_failure(o, "unpacked_size 2^40 from 10 bytes", "payload.b", at);
        expect_sound_entries(o, "unpacked_size 2^40", true);
        EXPECT_LT(o.run.seconds, 10.0);
        if (o.dest.count("payload.b")) {
            EXPECT_LE(o.dest.at("payload.b").size(), 4194304u);
        }
    }

    // Solid: the first entry is restored, the damaged one and every later
    // one are reported.
    {
        const std::vector<RawEntry>& solid = src.solid;
        RawEntry e = solid[1];
        e.stream.resize(e.stream.size() / 2);
        e.fix_size();
        const Outcome o = extract(around(e, solid));
        expect_failure(o, "solid, stream cut short", "payload.b", solid[0].entry_size);
        expect_sound_entries(o, "solid", false);
        EXPECT_FALSE(o.dest.count("good2.c"));
        bool later_reported = false;
        for (const std::string& line : error_lines(o.run.err))
            later_reported |= line.find("good2.c") != std::string::npos;
        EXPECT_TRUE(later_reported) << describe(o.run);
    }
}

// Stored paths that would lead out of the destination: the dangerous parts
// are dropped with a warning naming the entry, the file lands under the
// destination, and nothing is created anywhere else.
TEST(Hostile, PathsThatLeadOutOfTheDestination) {
    const Sources& src = sources();
    const RawEntry good = src.plain[0];
    // A token unique to this run, for the names that would reach the root.
    const std::string token = "qev_escape_" + std::to_string(getpid());

    struct Case {
        std::string dir;
        std::string name;
        std::string restored_as;  // path under the destination
        bool escapes;             // a warning must name the entry
    };
    const std::vector<Case> cases = {
        {"../", "x1", "x1", true},
        {"../../", "x2", "x2", true},
        {"../../../../../../../../tmp/", token + "_3", "tmp/" + token + "_3", true},
        {"/" + token + "_abs/", "x4", token + "_abs/x4", true},
        {"c:\\", token + "_drive", token + "_drive", true},
        {"C:/" + token + "_drive2/", "x6", token + "_drive2/x6", true},
        {"..\\..\\", "x7", "x7", true},
        {"", "../x8", "x8", true},
        {"inner/", "a/../../../x9", "inner/a/x9", true},
        {"", "//x10", "x10", true},
        {"", "holds\\separators/x11", "holds/separators/x11", false},
        {"./././", "x12", "x12", false},
        {"d//e\\\\", "x13", "d/e/x13", false},
    };
    std::vector<RawEntry> entries;
    for (const Case& c : cases) {
        RawEntry e = good;
        e.set_path(c.dir, c.name);
        e.fix_size();
        entries.push_back(e);
    }
    const std::vector<std::string> outside = {"/" + token + "_3", "/tmp/" + token + "_3", "/" + token + "_abs",
                                              "/" + token + "_drive", "/" + token + "_drive2"};
    const Outcome o = extract(e2e::archive_bytes(entries), outside);
    ASSERT_TRUE(o.run.exited()) << describe(o.run);
    EXPECT_EQ(o.run.status, 0) << "every entry was restored, with a warning\n" << describe(o.run);
    EXPECT_TRUE(o.outside_unchanged) << o.outside_difference;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dir + c.name);
        ASSERT_TRUE(o.dest.count(c.restored_as)) << describe(o.run);
        EXPECT_EQ(o.dest.at(c.restored_as), GOOD1);
    }
    EXPECT_EQ(e2e::files_of(o.dest).size(), cases.size());
    // Every entry that would have led outside is named in a warning, with
    // its backslashes shown escaped.
    const auto shown = [](const std::string& name) {
        std::string text;
        for (const char c : name) text += c == '\\' ? std::string("\\\\") : std::string(1, c);
        return text;
    };
    std::string warnings;
    for (const std::string& line : e2e::lines_of(o.run.err)) {
        if (line.rfind("WARNING", 0) == 0) warnings += line + "\n";
    }
    for (const Case& c : cases) {
        if (c.escapes) {
            EXPECT_NE(warnings.find(shown(c.dir + c.name)), std::string::npos) << "no warning for " << c.dir + c.name;
        }
    }

    // Names that leave nothing to restore are errors; the entries around
    // them are still restored.
    for (const std::string& name :
         {std::string(".."), std::string("."), std::string(""), std::string("../"), std::string("/")}) {
        RawEntry e = good;
        e.set_path("../", name);
        e.fix_size();
        const Outcome bad = extract(around(e, src.plain));
        expect_failure(bad, "name '" + name + "'", "../" + name, src.plain[0].entry_size);
        expect_sound_entries(bad, "name '" + name + "'", true);
        EXPECT_EQ(e2e::files_of(bad.dest).size(), 2u) << describe(bad.run);
    }

    // Names longer than a file name or a path may be: an error naming the
    // entry, the entries around it restored.
    const struct {
        std::string dir, name;
    } too_long[] = {{"", std::string(300, 'n')}, {"", std::string(5000, 'n')}, {std::string(60000, 'd') + "/", "x"}};
    for (const auto& c : too_long) {
        RawEntry e = good;
        e.set_path(c.dir, c.name);
        e.fix_size();
        const Outcome bad = extract(around(e, src.plain));
        const std::string what = std::to_string(c.dir.size() + c.name.size()) + "-byte path";
        ASSERT_TRUE(bad.run.exited()) << what << describe(bad.run);
        EXPECT_EQ(bad.run.status, 1) << what;
        EXPECT_TRUE(bad.outside_unchanged) << what << bad.outside_difference;
        bool reported = false;
        for (const std::string& line : error_lines(bad.run.err))
            reported |= line.find((c.dir + c.name).substr(0, 100)) != std::string::npos;
        EXPECT_TRUE(reported) << what;
        expect_sound_entries(bad, what, true);
        EXPECT_EQ(e2e::files_of(bad.dest).size(), 2u) << what;
    }
}

}  // namespace
}  // namespace qev

namespace qev {

// A symbolic link already in the destination where an entry is restored is
// replaced by the file, never followed: the file it pointed to is untouched.
TEST(Hostile, LinkAtTheOutputPathIsReplacedNotFollowed) {
    e2e::TempDir t;
    t.put("in/victim.txt", std::string("restored content\n"));
    t.put("precious.txt", std::string("must not change\n"));
    ASSERT_EQ(e2e::run_qev(t / "in", {"a", "../arc", "victim.txt"}).status, 0);
    fs::create_directories(t / "dest");
    fs::create_symlink(t / "precious.txt", t / "dest/victim.txt");
    const e2e::RunResult r = e2e::run_qev(t / "dest", {"x", "../arc"});
    EXPECT_EQ(r.status, 0) << e2e::describe(r);
    EXPECT_FALSE(fs::is_symlink(t / "dest/victim.txt"));
    EXPECT_EQ(test::read_file(t / "dest/victim.txt"), e2e::bytes_of("restored content\n"));
    EXPECT_EQ(test::read_file(t / "precious.txt"), e2e::bytes_of("must not change\n"));
}

}  // namespace qev
