// What reaches the console: which stream each kind of line goes to, and
// names shown so that no stored name can drive the terminal.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli.h"
#include "e2e_util.h"
#include "test_util.h"

namespace qev {
namespace {

using e2e::describe;
using e2e::RunResult;
using e2e::TempDir;

TEST(ConsoleText, PrintableEscapesControlBytesAndBrokenUtf8) {
    // Control bytes, DEL and the backslash.
    EXPECT_EQ(printable("plain name-1.txt"), "plain name-1.txt");
    EXPECT_EQ(printable("a\x1b[2Jb"), "a\\033[2Jb");
    EXPECT_EQ(printable("\x1b]0;title\x07"), "\\033]0;title\\a");
    EXPECT_EQ(printable("\a\b\t\n\v\f\r"), "\\a\\b\\t\\n\\v\\f\\r");
    EXPECT_EQ(printable(std::string("\0\x01\x1f\x7f", 4)), "\\000\\001\\037\\177");
    EXPECT_EQ(printable("x\nError: forged"), "x\\nError: forged");
    EXPECT_EQ(printable("back\\slash"), "back\\\\slash");

    // Well-formed UTF-8 stays, from two bytes to the last code point.
    for (const char* text : {"caf\xc3\xa9", "\xc2\xa0", "\xe6\x97\xa5\xe6\x9c\xac", "\xef\xbf\xbd", "\xf0\x9f\x98\x80",
                             "\xf4\x8f\xbf\xbf", "\xed\x9f\xbf", "\xee\x80\x80"}) {
        EXPECT_EQ(printable(text), text);
    }
    // The C1 controls U+0080..U+009F (U+009B starts a control sequence).
    EXPECT_EQ(printable(std::string("\xc2\x9b") + "2J"), "\\302\\2332J");
    EXPECT_EQ(printable("\xc2\x80\xc2\x9f"), "\\302\\200\\302\\237");

    // Bytes that form no valid UTF-8, each escaped on its own.
    EXPECT_EQ(printable("bad\xffname"), "bad\\377name");
    EXPECT_EQ(printable("\x80\xbf"), "\\200\\277");
    EXPECT_EQ(printable("\xc0\xaf"), "\\300\\257");                    // overlong '/'
    EXPECT_EQ(printable("\xc1\xbf"), "\\301\\277");                    // overlong DEL
    EXPECT_EQ(printable("\xe0\x80\xaf"), "\\340\\200\\257");           // overlong, 3 bytes
    EXPECT_EQ(printable("\xf0\x80\x80\xaf"), "\\360\\200\\200\\257");  // overlong, 4 bytes
    EXPECT_EQ(printable("\xed\xa0\x80"), "\\355\\240\\200");           // surrogate U+D800
    EXPECT_EQ(printable("\xed\xbf\xbf"), "\\355\\277\\277");           // surrogate U+DFFF
    EXPECT_EQ(printable("\xf4\x90\x80\x80"), "\\364\\220\\200\\200");  // above U+10FFFF
    EXPECT_EQ(printable("\xf5\x80\x80\x80"), "\\365\\200\\200\\200");
    // Truncated sequences: at the end, before ASCII, before a valid one.
    EXPECT_EQ(printable("\xe6\x97"), "\\346\\227");
    EXPECT_EQ(printable("\xe6\x97x"), "\\346\\227x");
    EXPECT_EQ(printable("\xf0\x9f\x98"), "\\360\\237\\230");
    EXPECT_EQ(printable("\xe6\xc3\xa9"), "\\346\xc3\xa9");
    EXPECT_EQ(printable("\xc3"), "\\303");
}

bool has_line(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// No byte of the run's output could drive a terminal: nothing below 0x20
// but the line ends, no DEL, nothing outside ASCII (the names here are
// ASCII and broken UTF-8), and no line forged by a name.
void expect_inert(const RunResult& r) {
    for (const std::string* text : {&r.out, &r.err}) {
        for (const char c : *text) {
            const unsigned char b = static_cast<unsigned char>(c);
            EXPECT_TRUE(b == '\n' || (b >= 0x20 && b < 0x7f)) << "byte " << int(b) << "\n" << describe(r);
        }
        for (const std::string& line : e2e::lines_of(*text)) EXPECT_NE(line.rfind("Error: forged", 0), 0u) << line;
    }
}

// Names holding a screen clear, a title change, a carriage return, a
// newline that forges an "Error:" line and a byte that is no UTF-8, in an
// archive whose own name retitles the terminal: every line shows them
// escaped, and the restored files have their real names.
TEST(ConsoleText, StoredNamesAreShownEscapedAndRestoredAsTheyAre) {
    TempDir t;
    const std::vector<std::string> names = {"a\x1b[2Jb", "x\nError: forged", "c\rd.txt", "bad\xffname"};
    const std::vector<std::string> shown = {"a\\033[2Jb", "x\\nError: forged", "c\\rd.txt", "bad\\377name"};
    for (const std::string& name : names) t.put("in/" + name, "content of " + name);
    const std::string archive = "arc\x1b]0;owned\x07";
    const std::string archive_shown = t / "arc\\033]0;owned\\a";

    RunResult r = e2e::run_qev(t.path(), {"a", "--no-packs", "-r", "-v", "-b1", "-h1", archive, "in"});
    EXPECT_EQ(r.status, 0) << describe(r);
    expect_inert(r);
    EXPECT_NE(r.out.find("Archive=" + archive_shown + " \n"), std::string::npos) << describe(r);
    for (const std::string& name : shown) {
        EXPECT_NE(r.out.find("compress.. in/" + name + "  "), std::string::npos) << name << "\n" << describe(r);
    }

    r = e2e::run_qev(t.path(), {"l", archive});
    EXPECT_EQ(r.status, 0) << describe(r);
    expect_inert(r);
    std::vector<std::string> lines = e2e::lines_of(r.out);
    EXPECT_EQ(lines.size(), 2u + 1u + names.size() + 1u) << describe(r);
    EXPECT_TRUE(has_line(lines, "Archive List ... " + archive_shown + " ")) << describe(r);
    EXPECT_TRUE(has_line(lines, " n.4 files in archive " + archive_shown + "  ")) << describe(r);
    for (const std::string& name : shown) EXPECT_TRUE(has_line(lines, "in/" + name + " ")) << name << describe(r);

    r = e2e::run_qev(t.path(), {"l", "-v", archive});
    EXPECT_EQ(r.status, 0) << describe(r);
    expect_inert(r);
    lines = e2e::lines_of(r.out);
    for (const std::string& name : shown) {
        const std::string tail = " in/" + name;  // the last column
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [&](const std::string& l) {
                                    return l.size() >= tail.size() &&
                                           l.compare(l.size() - tail.size(), tail.size(), tail) == 0;
                                }),
                  1)
            << name << "\n"
            << describe(r);
    }

    r = e2e::run_qev(t.path(), {"x", "-v", archive, "out\x1b[8m/"});
    EXPECT_EQ(r.status, 0) << describe(r);
    expect_inert(r);
    lines = e2e::lines_of(r.out);
    EXPECT_TRUE(has_line(lines, "ARGV=out\\033[8m/")) << describe(r);
    EXPECT_TRUE(has_line(lines, "Archive=" + archive_shown + " Wild=* DEST=" + t.path() + "/out\\033[8m/"))
        << describe(r);
    for (const std::string& name : shown) {
        EXPECT_TRUE(has_line(lines, " " + t.path() + "/out\\033[8m/in/" + name + " ")) << name << describe(r);
    }
    e2e::Tree expected;
    for (const std::string& name : names) expected["in/" + name] = "content of " + name;
    EXPECT_EQ(e2e::tree_difference(expected, e2e::files_of(e2e::snapshot(t / "out\x1b[8m"))), "");

    // A damaged entry is named in the test's error line, escaped.
    std::vector<e2e::RawEntry> entries = e2e::parse_archive(test::read_file(t / archive));
    ASSERT_EQ(entries.size(), names.size());
    for (e2e::RawEntry& e : entries) {
        if (e.stored_name() == names[1]) e.lz_mode = 7;
    }
    test::write_file(t / archive, e2e::archive_bytes(entries));
    r = e2e::run_qev(t.path(), {"t", archive});
    EXPECT_EQ(r.status, 1) << describe(r);
    expect_inert(r);
    EXPECT_EQ(r.err.rfind("Error: damaged entry in/" + shown[1] + " in archive " + archive_shown + ": ", 0), 0u)
        << describe(r);
    EXPECT_EQ(e2e::lines_of(r.err).size(), 1u) << describe(r);
}

// Standard output holds what was asked for; every error, warning, note,
// interruption and wait is on standard error, as it is written.
TEST(ConsoleStreams, EachKindOfLineGoesToItsStream) {
    TempDir t;
    t.put("f.txt", std::string("hello"));
    const std::string banner = banner_text();
    ASSERT_EQ(e2e::run_qev(t.path(), {"a", "-b1", "-h1", "arc", "f.txt"}).status, 0);

    // Add: per-file line and totals on standard output; a warning and a note
    // on standard error.
    RunResult r = e2e::run_qev(t.path(), {"a", "-v", "-t1", "-b1", "-h1", "arc", "f.txt", "missing.txt", "arc"});
    EXPECT_EQ(r.status, 1) << describe(r);
    const std::vector<std::string> out = e2e::lines_of(r.out);
    ASSERT_EQ(out.size(), 6u) << describe(r);
    EXPECT_EQ(out[2], "Archive=" + (t / "arc") + " ");
    EXPECT_EQ(out[3], "Workers: 1");
    EXPECT_EQ(out[4].rfind("compress.. f.txt  5 to ", 0), 0u) << out[4];
    EXPECT_EQ(out[5], "5 bytes, 1 files.");
    EXPECT_EQ(r.err, "WARNING: nothing matches missing.txt\nNOTE: arc is the archive itself; not stored\n");

    // Listing, totals and the closing lines on standard output.
    r = e2e::run_qev(t.path(), {"l", "-v", "arc", "f.txt", "none"});
    EXPECT_EQ(r.status, 1) << describe(r);
    const std::vector<std::string> listed = e2e::lines_of(r.out);
    EXPECT_TRUE(has_line(listed, " n.2 files in archive " + (t / "arc") + "  ")) << describe(r);
    EXPECT_EQ(std::count_if(listed.begin(), listed.end(),
                            [](const std::string& l) { return l.find(" f.txt") != std::string::npos; }),
              2)
        << describe(r);
    EXPECT_EQ(r.err, "WARNING: no entry matches none\n");
    r = e2e::run_qev(t.path(), {"x", "arc", "out/"});
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_TRUE(has_line(e2e::lines_of(r.out), " OK! ")) << describe(r);
    EXPECT_EQ(r.err, "");
    r = e2e::run_qev(t.path(), {"t", "arc"});
    EXPECT_EQ(r.out, banner + "Archive Test ... " + (t / "arc") +
                         " \n 2 entries tested: 2 ok, 0 damaged, 0 without checksum\n");

    // Errors: a missing archive, an unknown option.
    r = e2e::run_qev(t.path(), {"t", "missing.qev"});
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_EQ(r.out, banner + "Archive Test ... " + (t / "missing.qev") + " \n");
    EXPECT_EQ(r.err, "Error: cannot open Archive file " + (t / "missing.qev") + "\n");
    r = e2e::run_qev(t.path(), {"a", "-z", "arc", "f.txt"});
    EXPECT_EQ(r.out, banner);
    EXPECT_EQ(r.err, "\n Unknown option! \n");

    // A wait for another run's lock, ended by a signal.
    const int held = open((t / "arc").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    e2e::RunOptions bounded;
    bounded.timeout_seconds = 20;
    const e2e::detail::Child child = e2e::detail::start(t.path(), {"t", "arc"}, bounded);
    for (int i = 0; i < 2000 && test::read_file(child.err_path).empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(child.pid, SIGTERM);
    r = e2e::detail::finish(child);
    close(held);
    EXPECT_EQ(r.status, 128 + SIGTERM) << describe(r);
    EXPECT_EQ(r.out, banner + "Archive Test ... " + (t / "arc") + " \n");
    EXPECT_EQ(r.err, "Waiting: the archive " + (t / "arc") + " is in use by another run\nInterrupted: the test of " +
                         (t / "arc") + " stopped\n");
}

}  // namespace
}  // namespace qev
