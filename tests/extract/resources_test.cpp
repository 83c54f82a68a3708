// Resource bounds and failing writes, seen from outside the program.
//
// Memory: the decoder's history ring is sized from the entry header (up to
// 1 GiB), but only the pages it fills may cost memory, and a stream that runs
// dry stops decoding at once, however large the size its header claims.
// Listing decodes nothing at all. The peak resident sizes are measured on the
// program alone and printed, so that they can be quoted.
//
// Failing writes: a file-size limit in the child (RLIMIT_FSIZE, SIGXFSZ
// ignored) makes writes fail with EFBIG, as on a full disk. The add command
// must name the archive, end with status 1 and leave the archive cut back to
// its last complete entry; the extract command must name the file it could
// not write, end with status 1 and still restore what fits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "extract/extract.h"
#include "test_util.h"

namespace qev {
namespace {

using e2e::describe;
using e2e::RawEntry;
using e2e::RunOptions;
using e2e::RunResult;
using e2e::TempDir;
using e2e::Tree;
using Bytes = std::vector<std::uint8_t>;

constexpr long KIB_PER_MIB = 1024;
// Far below the 1 GiB a fully touched ring would cost; the fixed buffers of
// the decoder and the start-up tables come to a few tens of MiB.
constexpr long PEAK_BOUND_KIB = 200 * KIB_PER_MIB;

std::string as_text(const Bytes& b) { return std::string(b.begin(), b.end()); }

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The first line on standard error that starts with "Error", or empty.
std::string first_error(const RunResult& r) {
    for (const std::string& line : e2e::lines_of(r.err)) {
        if (line.rfind("Error", 0) == 0) return line;
    }
    return std::string();
}

// Prints a measured peak and keeps it in the test's XML record.
void record_peak(const std::string& what, const RunResult& r) {
    std::printf("[ peak     ] %-48s %7.1f MiB  (launcher floor %.1f MiB, %.2f s)\n", what.c_str(),
                static_cast<double>(r.peak_kib) / KIB_PER_MIB, static_cast<double>(r.floor_kib) / KIB_PER_MIB,
                r.seconds);
    std::string key;
    for (const char c : what) key.push_back(std::isalnum(static_cast<unsigned char>(c)) ? c : '_');
    ::testing::Test::RecordProperty("peak_kib_" + key, std::to_string(r.peak_kib));
}

RunOptions measured(unsigned timeout_seconds = 60) {
    RunOptions o;
    o.timeout_seconds = timeout_seconds;
    o.measure_memory = true;
    return o;
}

RunOptions size_limited(std::uint64_t limit) {
    RunOptions o;
    o.timeout_seconds = 60;
    o.file_size_limit = limit;
    return o;
}

// A real entry made by the program, to take a valid header and stream from:
// 200 KB of text, stored with the smallest ring (-b1) and match table (-h1).
struct Source {
    TempDir dir;
    Bytes text;
    RawEntry entry;

    Source() {
        text = test::wordy_bytes(200000, 41);
        dir.put("note.txt", text);
        const RunResult r = e2e::run_qev(dir.path(), {"a", "-p", "-b1", "-h1", "arc", "note.txt"});
        if (!r.exited() || r.status != 0) throw std::runtime_error("cannot make the source archive: " + describe(r));
        const std::vector<RawEntry> entries = e2e::parse_archive(test::read_file(dir / "arc"));
        if (entries.size() != 1 || entries[0].ring_size != (1u << 23)) throw std::runtime_error("unexpected source archive");
        entry = entries[0];
    }
};

const Source& source() {
    static const Source s;
    return s;
}

// An entry that claims 2^40 bytes and holds a 10-byte stream (a valid first
// byte of 0, then noise), coded as LZ tokens or in channel order.
RawEntry huge_entry(std::uint32_t ring_size, std::uint8_t lz_mode = 1) {
    RawEntry e = source().entry;
    e.set_path("", "huge.bin");
    e.media_mode = 0;
    e.lz_mode = lz_mode;
    e.stride = 1;
    e.second_distance = 2;
    e.ring_size = ring_size;
    e.unpacked_size = std::uint64_t{1} << 40;
    e.stream = Bytes{0, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x11};
    e.fix_size();
    return e;
}

// ---------------------------------------------------------------------------
// Resource bounds

// A 1 GiB ring costs only the pages the entry fills: the 200 KB entry with
// its ring_size raised to 2^30 restores the same bytes (no distance of a
// file that small depends on the ring size) at about the peak of the 8 MiB
// ring.
TEST(Resources, RingOfOneGibibyteCostsOnlyThePagesItFills) {
    const Source& src = source();
    RawEntry wide = src.entry;
    wide.ring_size = 1u << 30;

    TempDir dir;
    dir.put("small_ring", e2e::archive_bytes({src.entry}));
    dir.put("wide_ring", e2e::archive_bytes({wide}));
    const RunResult small = e2e::run_qev(dir.path(), {"x", "small_ring", "small"}, measured());
    const RunResult large = e2e::run_qev(dir.path(), {"x", "wide_ring", "wide"}, measured());
    record_peak("extract, ring 2^23, 200 KB", small);
    record_peak("extract, ring 2^30, 200 KB", large);

    for (const RunResult* r : {&small, &large}) {
        ASSERT_TRUE(r->exited() && r->status == 0) << describe(*r);
        ASSERT_GT(r->peak_kib, 0) << "no memory figure from the launcher";
    }
    EXPECT_EQ(as_text(test::read_file(dir / "wide/note.txt")), as_text(src.text));
    EXPECT_LT(large.peak_kib, PEAK_BOUND_KIB);
    // Not a fixed share of the ring either: 1/64 of 1 GiB would be 16 MiB.
    EXPECT_LT(large.peak_kib, small.peak_kib + 8 * KIB_PER_MIB)
        << "the 2^30 ring costs " << (large.peak_kib - small.peak_kib) / KIB_PER_MIB << " MiB more than the 2^23 one";
}

// unpacked_size 2^40 from a 10-byte stream, with the smallest and the
// largest ring: decoding stops as soon as the stream runs dry, so the run
// ends within moments, with one error naming the archive and the entry and
// status 1. Output is limited to 1 MiB per file: a decoder that wrote the
// noise of a whole 4 MiB block before noticing would hit the limit and say
// so. The sound entry behind the damaged one is still restored, and nothing
// of the damaged one is left. In channel order no token can be refused as
// damaged, so there only the end of the stream can stop the noise.
TEST(Resources, HugeSizeFromTenByteStreamStopsAtOnce) {
    const Source& src = source();
    struct Case {
        const char* what;
        std::uint32_t ring_size;
        std::uint8_t lz_mode;
    };
    for (const Case& c : {Case{"extract, ring 2^23, 2^40 bytes from 10, LZ", 1u << 23, 1},
                          Case{"extract, ring 2^30, 2^40 bytes from 10, LZ", 1u << 30, 1},
                          Case{"extract, ring 2^30, 2^40 bytes from 10, channels", 1u << 30, 0}}) {
        const std::string what = c.what;
        SCOPED_TRACE(what);
        TempDir dir;
        dir.put("arc", e2e::archive_bytes({huge_entry(c.ring_size, c.lz_mode), src.entry}));
        RunOptions options = measured(20);  // noise without end would run for hours
        options.file_size_limit = 1 << 20;
        const RunResult r = e2e::run_qev(dir.path(), {"x", "arc", "dest"}, options);
        record_peak(what, r);

        ASSERT_TRUE(r.exited()) << describe(r);
        EXPECT_EQ(r.status, 1) << describe(r);
        const std::string error = first_error(r);
        EXPECT_TRUE(contains(error, dir / "arc") && contains(error, "huge.bin")) << describe(r);
        EXPECT_FALSE(contains(r.err, "cannot write")) << "more than 1 MiB was written\n" << describe(r);
        const Tree files = e2e::files_of(e2e::snapshot(dir / "dest"));
        EXPECT_EQ(files.count("huge.bin"), 0u) << "the damaged entry's output was left behind";
        EXPECT_EQ(e2e::tree_difference(Tree{{"note.txt", as_text(src.text)}}, files), "");
        EXPECT_GT(r.peak_kib, 0) << "no memory figure from the launcher";
        EXPECT_LT(r.peak_kib, PEAK_BOUND_KIB);
    }
}

// Listing reads headers only: the same two hostile entries list at once,
// with a small peak, whatever sizes their headers claim.
TEST(Resources, ListingDecodesNothing) {
    const Source& src = source();
    TempDir dir;
    RawEntry wide = src.entry;
    wide.ring_size = 1u << 30;
    dir.put("arc", e2e::archive_bytes({huge_entry(1u << 30), wide}));
    const RunResult listed = e2e::run_qev(dir.path(), {"l", "arc"}, measured());
    const RunResult extracted = e2e::run_qev(dir.path(), {"x", "arc", "dest"}, measured());
    record_peak("list, ring 2^30, 2^40 bytes from 10", listed);
    record_peak("extract of the same archive", extracted);

    ASSERT_TRUE(listed.exited() && listed.status == 0) << describe(listed);
    EXPECT_TRUE(contains(listed.out, "huge.bin \n") && contains(listed.out, "note.txt \n")) << describe(listed);
    EXPECT_LT(listed.seconds, 10.0);
    ASSERT_GT(listed.peak_kib, 0) << "no memory figure from the launcher";
    EXPECT_LT(listed.peak_kib, 64 * KIB_PER_MIB);
    // No ring, no decoding buffers: below what the extraction needs.
    EXPECT_LT(listed.peak_kib, extracted.peak_kib);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif

// The address-space limit of ulimit -v: 600,000 KiB.
constexpr std::uint64_t ULIMIT_V_BYTES = 600000ull * 1024;

// A non-solid entry is decoded in a ring of its own size, not the stored
// one: files added with the 1 GiB ring (-b8) are tested and restored under
// ulimit -v 600000, an 11-byte file as well as 200 KB and 5 MB of text
// (two blocks, with matches across the block boundary), and come back
// unchanged.
TEST(Resources, NonSolidEntryIsDecodedInARingOfItsOwnSize) {
    if (SANITIZED) GTEST_SKIP() << "a sanitizer's shadow memory does not fit under ulimit -v";
    TempDir dir;
    const Tree inputs = {{"tiny.txt", "hello world"},
                         {"note.txt", as_text(test::wordy_bytes(200000, 51))},
                         {"long.txt", as_text(test::wordy_bytes(5000000, 52))}};
    for (const auto& [name, content] : inputs) dir.put("in/" + name, content);
    const RunResult made = e2e::run_qev(dir / "in", {"a", "-b8", "arc", "tiny.txt", "note.txt", "long.txt"});
    ASSERT_TRUE(made.exited() && made.status == 0) << describe(made);
    for (const RawEntry& e : e2e::parse_archive(test::read_file(dir / "in/arc"))) ASSERT_EQ(e.ring_size, 1u << 30);

    RunOptions limited;
    limited.timeout_seconds = 60;
    limited.address_space_limit = ULIMIT_V_BYTES;
    for (const char* threads : {"-t1", "-t2"}) {
        SCOPED_TRACE(threads);
        const RunResult tested = e2e::run_qev(dir.path(), {"t", "in/arc"}, limited);
        EXPECT_TRUE(tested.exited() && tested.status == 0) << describe(tested);
        const std::string dest = std::string("out") + threads;
        const RunResult r = e2e::run_qev(dir.path(), {"x", threads, "in/arc", dest}, limited);
        ASSERT_TRUE(r.exited() && r.status == 0) << describe(r);
        EXPECT_EQ(e2e::tree_difference(inputs, e2e::files_of(e2e::snapshot(dir / dest))), "");
    }
}

// Every entry's ring counts against the workers' memory budget before a
// worker takes it, not only the first entry's. The archive's first entry
// has the 8 MiB ring; twelve after it claim 2^40 bytes with the 1 GiB ring
// (each decodes 200 KB, then its stream runs dry). Eight workers share a
// budget of 3 GiB, so at most two of those rings may exist at once; eight
// would be 8 GiB. The check runs in a child whose address space is limited
// to 4 GiB more than it has: rings beyond the budget cannot be had there,
// and the extraction would end for want of memory.
TEST(Resources, WorkersReserveEveryEntrysRingFromTheBudget) {
    const Source& src = source();
    std::vector<RawEntry> entries = {src.entry};
    for (int i = 0; i < 12; ++i) {
        RawEntry e = src.entry;
        e.set_path("", "wide" + std::to_string(i) + ".txt");
        e.ring_size = 1u << 30;
        e.unpacked_size = std::uint64_t{1} << 40;
        e.fix_size();
        entries.push_back(e);
    }
    TempDir dir;
    dir.put("arc", e2e::archive_bytes(entries));
    const std::string archive = dir / "arc";

    constexpr std::uint64_t GIB = std::uint64_t{1} << 30;
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        rlimit limit{};
        const std::uint64_t before = test::mapped_bytes();
        if (before == 0 || getrlimit(RLIMIT_AS, &limit) != 0) _exit(2);
        limit.rlim_cur = before + 4 * GIB;
        if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(2);
        SilentExtractObserver quiet;
        Extractor tester(quiet);
        tester.set_writing(false);
        tester.set_workers(8, 3 * GIB);
        const ExtractResult r = tester.extract_archive(archive, "", "*");
        if (r.status == ExtractStatus::NoMemory) _exit(1);
        _exit(r.status == ExtractStatus::Done && r.damaged == 12 && r.unverified == 1 ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "the child ended with signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "1: more rings than the budget holds were allocated; 2: no limit could be set; 3: wrong result";
}

// Many small damaged entries cost about what their bytes cost: 2,000
// entries of 186 bytes (long names, 16-byte streams), each claiming 2^62
// bytes, whose streams are all zeros. Zeros decode as matches whose length
// flags are all 1, and after the stream's end the coder reads zeros again:
// the run of flags must stop soon after the stream does, not at the
// block's end (4 MiB of flags per entry, half a minute for the archive).
// Both commands end within a timeout well below that, each entry reported.
TEST(Resources, DamagedEntriesAreRejectedAtTheCostOfTheirSize) {
    std::vector<RawEntry> entries;
    for (int i = 0; i < 2000; ++i) {
        RawEntry e = source().entry;
        e.set_path("", "z" + std::to_string(1000 + i) + std::string(120, 'z') + ".bin");
        e.unpacked_size = std::uint64_t{1} << 62;
        e.stream.assign(16, 0);
        e.fix_size();
        entries.push_back(e);
    }
    ASSERT_EQ(entries[0].entry_size, 186u);
    TempDir dir;
    dir.put("arc", e2e::archive_bytes(entries));
    RunOptions bounded;
    bounded.timeout_seconds = 10;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"t", "arc"}, std::vector<std::string>{"x", "arc", "dest"}}) {
        SCOPED_TRACE(args[0]);
        const RunResult r = e2e::run_qev(dir.path(), args, bounded);
        ASSERT_TRUE(r.exited()) << describe(r).substr(0, 2000);
        EXPECT_EQ(r.status, 1);
        std::size_t reported = 0;
        for (const std::string& line : e2e::lines_of(r.err)) reported += line.rfind("Error: damaged entry z", 0) == 0;
        EXPECT_EQ(reported, entries.size());
    }
    EXPECT_TRUE(e2e::files_of(e2e::snapshot(dir / "dest")).empty());
}

// ---------------------------------------------------------------------------
// Failing writes while adding

constexpr std::uint64_t LIMIT = 300000;

// Entries of a well-formed archive, and the check that their sizes add up
// to the whole file (no unfinished entry after them).
std::vector<RawEntry> complete_entries(const std::string& archive_path) {
    const Bytes bytes = test::read_file(archive_path);
    const std::vector<RawEntry> entries = e2e::parse_archive(bytes);
    std::uint64_t sum = 0;
    for (const RawEntry& e : entries) sum += e.entry_size;
    EXPECT_EQ(sum, bytes.size());
    return entries;
}

std::vector<std::string> stored_names(const std::vector<RawEntry>& entries) {
    std::vector<std::string> names;
    for (const RawEntry& e : entries) names.push_back(e.stored_name());
    return names;
}

// Extracts the archive without any limit and compares what comes back.
void expect_restores(const TempDir& dir, const std::string& archive, const Tree& expected) {
    const std::string dest = "restored_" + archive;
    const RunResult r = e2e::run_qev(dir.path(), {"x", archive, dest});
    ASSERT_TRUE(r.exited() && r.status == 0) << describe(r);
    EXPECT_EQ(e2e::tree_difference(expected, e2e::files_of(e2e::snapshot(dir / dest))), "");
}

// The add command stopped by a write failure: status 1 and an error line
// naming the archive.
void expect_add_failure(const RunResult& r, const std::string& archive_path) {
    ASSERT_TRUE(r.exited()) << describe(r);
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_EQ(first_error(r), "Error: cannot write to Archive file " + archive_path) << describe(r);
}

// f1 is small text; f2 and f3 are 500 KB of noise, which cannot shrink, so
// the limit of 300 KB is reached inside f2's entry.
TEST(Resources, FullDiskWhileAddingCutsBackToTheLastCompleteEntry) {
    TempDir dir;
    const Bytes f1 = test::wordy_bytes(20000, 1);
    dir.put("f1.a", f1);
    dir.put("f2.b", test::random_bytes(500000, 2));
    dir.put("f3.c", test::random_bytes(500000, 3));

    const RunResult r = e2e::run_qev(dir.path(), {"a", "--no-packs", "arc", "f1.a", "f2.b", "f3.c"}, size_limited(LIMIT));
    expect_add_failure(r, dir / "arc");
    EXPECT_FALSE(contains(r.out + r.err, "f3.c")) << "the run went on after the failure\n" << describe(r);
    const std::vector<RawEntry> entries = complete_entries(dir / "arc");
    EXPECT_EQ(stored_names(entries), std::vector<std::string>{"f1.a"});
    expect_restores(dir, "arc", Tree{{"f1.a", as_text(f1)}});
}

// The archive already holds entries of an earlier run: they keep every
// byte, whether the failure comes in the header of the first new entry
// (limit = archive size), in its stream, or in a later new entry.
TEST(Resources, FullDiskWhileAppendingKeepsTheEarlierRunsEntries) {
    TempDir dir;
    const Bytes old1 = test::wordy_bytes(30000, 11);
    const Bytes old2 = test::random_bytes(100000, 12);
    const Bytes new1 = test::wordy_bytes(20000, 13);
    dir.put("old1.a", old1);
    dir.put("old2.b", old2);
    dir.put("new1.a", new1);
    dir.put("new2.b", test::random_bytes(500000, 14));
    dir.put("new3.c", test::random_bytes(500000, 15));
    const RunResult first = e2e::run_qev(dir.path(), {"a", "--no-packs", "base", "old1.a", "old2.b"});
    ASSERT_TRUE(first.exited() && first.status == 0) << describe(first);
    const Bytes base = test::read_file(dir / "base");
    const Tree old_files = {{"old1.a", as_text(old1)}, {"old2.b", as_text(old2)}};

    struct Case {
        const char* what;
        std::uint64_t limit;
        std::vector<std::string> inputs;
        std::vector<std::string> kept_new;  // new entries expected to survive
    };
    const std::vector<Case> cases = {
        {"no room for a header", base.size(), {"new2.b", "new3.c"}, {}},
        {"room for the header only", base.size() + 100, {"new2.b", "new3.c"}, {}},
        {"inside the first new stream", base.size() + 200000, {"new2.b", "new3.c"}, {}},
        {"inside the second new entry", LIMIT + base.size(), {"new1.a", "new2.b", "new3.c"}, {"new1.a"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string archive = std::string("arc_") + std::to_string(&c - cases.data());
        dir.put(archive, base);
        std::vector<std::string> args = {"a", "--no-packs", archive};
        args.insert(args.end(), c.inputs.begin(), c.inputs.end());
        const RunResult r = e2e::run_qev(dir.path(), args, size_limited(c.limit));
        expect_add_failure(r, dir / archive);

        const Bytes after = test::read_file(dir / archive);
        ASSERT_GE(after.size(), base.size());
        EXPECT_TRUE(std::equal(base.begin(), base.end(), after.begin())) << "an earlier entry changed";
        std::vector<std::string> expected_names = {"old1.a", "old2.b"};
        expected_names.insert(expected_names.end(), c.kept_new.begin(), c.kept_new.end());
        EXPECT_EQ(stored_names(complete_entries(dir / archive)), expected_names);
        Tree expected = old_files;
        if (!c.kept_new.empty()) expected["new1.a"] = as_text(new1);
        expect_restores(dir, archive, expected);
    }
}

// The failure comes in the last bytes of an entry, when the encoder flushes
// its buffer: the limit is one byte short of the archive the same command
// makes without a limit. That entry is cut off as well.
TEST(Resources, FullDiskInTheFinalFlushCutsTheEntryOff) {
    TempDir dir;
    const Bytes f1 = test::wordy_bytes(20000, 21);
    dir.put("f1.a", f1);
    dir.put("f2.b", test::random_bytes(150000, 22));
    const RunResult unlimited = e2e::run_qev(dir.path(), {"a", "--no-packs", "full", "f1.a", "f2.b"});
    ASSERT_TRUE(unlimited.exited() && unlimited.status == 0) << describe(unlimited);
    const std::vector<RawEntry> full = complete_entries(dir / "full");
    ASSERT_EQ(full.size(), 2u);

    const std::uint64_t whole = full[0].entry_size + full[1].entry_size;
    const RunResult r = e2e::run_qev(dir.path(), {"a", "--no-packs", "arc", "f1.a", "f2.b"}, size_limited(whole - 1));
    expect_add_failure(r, dir / "arc");
    EXPECT_EQ(stored_names(complete_entries(dir / "arc")), std::vector<std::string>{"f1.a"});
    expect_restores(dir, "arc", Tree{{"f1.a", as_text(f1)}});
}

// ---------------------------------------------------------------------------
// Failing writes while extracting

// big.bin (600 KB) does not fit under a limit of 200 KB and is removed again;
// the small files before and after it are restored. In a solid archive the entry after the failed one
// is decoded from the state the failed one left, so the decoding must go on
// past the failed write.
TEST(Resources, FullDiskWhileExtractingNamesTheFileAndRestoresTheRest) {
    TempDir dir;
    const Bytes a = test::wordy_bytes(10000, 31);
    const Bytes big = test::random_bytes(600000, 32);
    const Bytes c = test::wordy_bytes(12000, 33);
    dir.put("in/a.a", a);
    dir.put("in/big.bin", big);
    dir.put("in/c.c", c);
    for (const bool solid : {false, true}) {
        SCOPED_TRACE(solid ? "solid archive" : "normal archive");
        const std::string archive = solid ? "solid" : "plain";
        std::vector<std::string> args = {"a", "--no-packs"};
        if (solid) args.push_back("-s");
        args.insert(args.end(), {archive, "a.a", "big.bin", "c.c"});
        const RunResult made = e2e::run_qev(dir / "in", args);
        ASSERT_TRUE(made.exited() && made.status == 0) << describe(made);
        ASSERT_EQ(stored_names(complete_entries(dir / ("in/" + archive))),
                  (std::vector<std::string>{"a.a", "big.bin", "c.c"}));

        const std::string dest = "out_" + archive;
        const RunResult r = e2e::run_qev(dir.path(), {"x", "in/" + archive, dest}, size_limited(200000));
        ASSERT_TRUE(r.exited()) << describe(r);
        EXPECT_EQ(r.status, 1) << describe(r);
        EXPECT_EQ(first_error(r), "Error: cannot write Output file " + (dir / (dest + "/big.bin"))) << describe(r);
        const Tree files = e2e::files_of(e2e::snapshot(dir / dest));
        for (const auto& [name, content] : Tree{{"a.a", as_text(a)}, {"c.c", as_text(c)}}) {
            const auto it = files.find(name);
            ASSERT_NE(it, files.end()) << name << " was not restored";
            EXPECT_TRUE(it->second == content) << name << " differs";
        }
        // The incomplete file is not left behind.
        EXPECT_EQ(files.count("big.bin"), 0u);
    }
}

}  // namespace
}  // namespace qev
