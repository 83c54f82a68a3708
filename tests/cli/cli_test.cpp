#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "cli/cli.h"
#include "platform/platform_file.h"

namespace qev {
namespace {

namespace fs = std::filesystem;

struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/qev_cli_XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() { fs::remove_all(path); }
    void make_dir(const std::string& rel) const { fs::create_directories(path + "/" + rel); }
    std::string write(const std::string& rel, const std::string& content) const {
        std::ofstream(path + "/" + rel, std::ios::binary) << content;
        return path + "/" + rel;
    }
};

struct CwdGuard {
    fs::path saved = fs::current_path();
    explicit CwdGuard(const std::string& dir) { fs::current_path(dir); }
    ~CwdGuard() { fs::current_path(saved); }
};

std::string read_all(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string s;
    for (int c; (c = std::fgetc(f)) != EOF;) s += static_cast<char>(c);
    std::fclose(f);
    return s;
}

struct Outcome {
    int status;
    std::string out, err;
};

// run_qev in-process with both console streams captured.
Outcome run(std::vector<std::string> args) {
    args.insert(args.begin(), "qev");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    platform::set_console(out, err);
    const int status = run_qev(static_cast<int>(args.size()), argv.data());
    platform::set_console(nullptr, nullptr);
    return {status, read_all(out), read_all(err)};
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Scans args from index 0; next is -1 when the scan rejects an option.
RunSettings scan(const std::vector<std::string>& args, long& next, SwitchSet set = SwitchSet::Add) {
    RunSettings s;
    std::size_t n = 0;
    next = scan_switches(args, 0, set, s, n) ? static_cast<long>(n) : -1;
    return s;
}

TEST(CliSwitches, ScanningRulesAndHashMask) {
    long next = 0;
    RunSettings s = scan({"-m1", "-b1", "arc", "f"}, next);
    EXPECT_EQ(next, 2);
    EXPECT_TRUE(s.search_depth == 1 && s.lazy_matching && s.method_level == 0 && s.ring_size == 8u << 20);
    s = scan({"-m1b1", "arc"}, next);  // the rest after a digit is ignored
    EXPECT_TRUE(next == 1 && s.lazy_matching && s.ring_size == 16u << 20);
    s = scan({"-RSv", "arc", "f"}, next);
    EXPECT_TRUE(next == 1 && s.recurse && s.solid && s.verbose);
    s = scan({"-M3", "arc"}, next);
    EXPECT_TRUE(s.search_depth == 2 && s.lazy_matching && s.method_level == 1);
    s = scan({"-mr", "arc"}, next);  // no digit: r is the next letter
    EXPECT_TRUE(s.recurse && s.search_depth == 2);
    s = scan({"-b8", "-h6", "-m9", "-m8", "arc"}, next);  // the last value wins
    EXPECT_TRUE(next == 4 && s.ring_size == 1u << 30 && s.hash_bits == 28 && s.search_depth == 16);
    EXPECT_FALSE(s.lazy_matching);
    scan({"-m", "-", "arc"}, next);  // a letter without its digit; a lone dash is the archive on a stream
    EXPECT_EQ(next, 1);
    scan({"arc", "-m3", "f"}, next);  // only before the first non-switch argument
    EXPECT_EQ(next, 0);
    s = scan({"-r", "--", "-m3", "f"}, next);  // "--" ends them
    EXPECT_TRUE(next == 2 && s.recurse && s.switches_ended && s.search_depth == 2);
    EXPECT_FALSE(scan({"-r", "arc"}, next).switches_ended);
    for (const char* bad : {"-b9", "-h0", "-b0", "-h7", "-x", "-rq"}) {
        scan({bad, "arc", "f"}, next);
        EXPECT_EQ(next, -1) << bad;
    }
    s = scan({"-um9", "arc"}, next);  // -u changes the parse only: -m still sets the rest
    EXPECT_TRUE(next == 1 && s.strong && s.search_depth == 16 && s.lazy_matching);
    EXPECT_TRUE(search_settings(s).strong);
    EXPECT_FALSE(search_settings(scan({"-m9", "arc"}, next)).strong);
    scan({"-u", "arc"}, next, SwitchSet::Extract);
    EXPECT_EQ(next, -1);
    s = scan({"-V", "arc"}, next, SwitchSet::Extract);
    EXPECT_TRUE(next == 1 && s.verbose);
    scan({"-r", "arc"}, next, SwitchSet::Extract);
    EXPECT_EQ(next, -1);
    // Long options of the add stand alone; any other is unknown.
    s = scan({"--dereference", "-r", "--no-packs", "arc"}, next);
    EXPECT_TRUE(next == 3 && s.dereference && !s.packs && s.recurse);
    EXPECT_TRUE(scan({"-l", "arc"}, next).packs);
    for (const char* bad : {"--exclude", "--dereferences", "--no-packs=1"}) {
        scan({bad, "arc"}, next);
        EXPECT_EQ(next, -1) << bad;
    }
    scan({"--dereference", "arc"}, next, SwitchSet::Extract);
    EXPECT_EQ(next, -1);
    // Selection options: exclusions for a, u, x, l and t, lists of names
    // for a, u and d; each only in its VALUE form.
    s = scan({"--exclude=*.o", "--exclude-from=ex", "--files-from=-", "--null", "-r", "arc"}, next);
    EXPECT_TRUE(next == 5 && s.recurse && s.null_names);
    EXPECT_EQ(s.excludes, (std::vector<std::string>{"*.o"}));
    EXPECT_TRUE(s.exclude_lists == std::vector<std::string>{"ex"} && s.name_lists == std::vector<std::string>{"-"});
    EXPECT_EQ(scan({"--exclude=a", "arc"}, next, SwitchSet::Extract).excludes.size(), 1u);
    for (const char* bad : {"--exclude=", "--files-from", "--null=1"}) {
        scan({bad, "arc"}, next);
        EXPECT_EQ(next, -1) << bad;
    }
    scan({"--files-from=x", "arc"}, next, SwitchSet::Extract);
    EXPECT_EQ(next, -1);
    s = scan({"-v", "--files-from=x", "arc", "p"}, next, SwitchSet::Delete);
    EXPECT_TRUE(next == 2 && s.verbose);
    for (const char* bad : {"-r", "--exclude=x"}) {
        scan({bad, "arc"}, next, SwitchSet::Delete);
        EXPECT_EQ(next, -1) << bad;
    }
    // l and t: exclusions around -v, any other dash argument is the archive.
    CommandLine line = parse_command_line({"qev", "l", "--exclude=x", "-v", "--exclude-from=f", "-arc"});
    EXPECT_TRUE(line.problem == CommandLine::Problem::None && line.settings.verbose);
    EXPECT_EQ(line.operands, (std::vector<std::string>{"-arc"}));
    EXPECT_EQ(line.settings.exclude_lists.size(), 1u);
    line = parse_command_line({"qev", "t", "--bogus", "p"});
    EXPECT_EQ(line.operands, (std::vector<std::string>{"--bogus", "p"}));
    EXPECT_EQ(parse_command_line({"qev", "l", "--exclude=x"}).problem, CommandLine::Problem::Usage);
    EXPECT_EQ(parse_command_line({"qev", "u", "arc"}).settings.command, 'u');
    EXPECT_EQ(parse_command_line({"qev", "d"}).problem, CommandLine::Problem::Usage);

    RunSettings d;
    EXPECT_EQ(compute_hash_mask(d.hash_bits, d.method_level), 33554431u);
    s = scan({"-h6", "-m9"}, next);
    EXPECT_EQ(compute_hash_mask(s.hash_bits, s.method_level), 16777215u);
}

TEST(CliTexts, BannerAndUsageWidths) {
    const std::vector<std::string> banner = lines_of(banner_text());
    ASSERT_EQ(banner.size(), 2u);
    EXPECT_EQ(banner[0].rfind("QEV v.0.11", 0), 0u);
    EXPECT_EQ(banner[0], "QEV v.0.11 - file archiver, (c) 2026 the QEV developers");
    EXPECT_EQ(version_text(), "qev 0.11.0\n");
    EXPECT_EQ(banner[1].size(), 56u);
    EXPECT_EQ(banner[1].rfind("TROV compression,", 0), 0u);

    const std::vector<std::string> lines = lines_of(usage_text());
    ASSERT_EQ(lines.size(), 42u);
    const std::size_t widths[42] = {75, 79, 79, 79, 79, 79, 79, 79, 79, 79, 79, 79, 79, 79, 79, 77, 77, 77, 79, 78, 79,
                                    77, 79, 78, 79, 79, 79, 79, 79, 79, 79, 79, 79, 79, 79, 79, 79, 79, 79, 79, 79, 79};
    for (std::size_t i = 0; i < 42; ++i) EXPECT_EQ(lines[i].size(), widths[i]) << "line " << i + 1;
    // Every command and every switch is named somewhere in it.
    const std::string text = usage_text();
    for (const char* word : {" a ", " x ", " l ", " t ", "-r", " s   ", "-v", "-m", "-b", "-h", "-p", "-u", "-l", "-tN",
                             "-n", "--json", "--dereference", "--no-packs", "--help", "--version", "--", " u ", " d ",
                             "--exclude=", "--exclude-from=", "--files-from=", "--null", "x -c", "--no-same-owner", "--numeric-owner", "--selinux"}) {
        EXPECT_NE(text.find(word), std::string::npos) << word;
    }
    EXPECT_EQ(lines[0], "Usage: QEV <command> -<switch ..> <archive> <files...> <in path> <out path>");
    EXPECT_EQ(lines[5], std::string(79, ' '));
    EXPECT_EQ(lines[15], "QEV a c:\\archive c:\\infile" + std::string(51, ' '));
    EXPECT_EQ(lines[19], "QEV a -r archive path\\*.bmp" + std::string(51, ' '));
    const std::string ring = " b                [default -b2] Ring   Buffer      (-b1 .. -b8)";
    EXPECT_EQ(lines[11], ring + std::string(79 - ring.size(), ' '));
    EXPECT_EQ(lines[32], " --help this text   --version the version line" + std::string(33, ' '));
    EXPECT_EQ(lines[39], "QEV d archive *.log path/old" + std::string(51, ' '));
}

TEST(CliForming, AddArchiveAndFileArguments) {
    TempDir t;
    t.make_dir("photos");
    t.make_dir("sub");
    t.write("plain", "x");
    const std::string cwd = t.path;
    auto check = [&](const std::vector<std::string>& args, const std::string& archive, const std::string& files) {
        const AddPlan p = plan_add(args, cwd);
        EXPECT_EQ(p.archive_path, archive) << args[0];
        std::string joined;
        for (const std::string& f : p.file_args) joined += (joined.empty() ? "" : " ") + f;
        EXPECT_EQ(joined, files) << args[0];
        EXPECT_EQ(p.single_argument, args.size() == 1) << args[0];
    };
    check({"arc", "f", "-m3"}, cwd + "/arc", "f -m3");
    check({"/tmp//arc", "f"}, "/tmp/arc", "f");
    check({"c:\\\\arc", "f"}, "c:\\arc", "f");
    check({"photos"}, cwd + "/photos.qev", "photos/*");
    check({"photos/"}, cwd + "/photos.qev", "photos/");
    check({"photos\\"}, cwd + "/photos.qev", "photos\\");
    check({cwd + "/photos"}, cwd + "/photos.qev", cwd + "/photos/*");
    check({"sub/*.bmp"}, cwd + "/sub.qev", "sub/*.bmp");
    check({"*.bmp"}, cwd + "/" + fs::path(cwd).filename().string() + ".qev", "*.bmp");
    check({"newarc"}, cwd + "/newarc", cwd + "/*");  // a new archive receives the current directory

    EXPECT_TRUE(plan_add({"photos"}, cwd).keep_directories);
    EXPECT_FALSE(plan_add({"newarc"}, cwd).keep_directories);
    EXPECT_FALSE(plan_add({"newarc"}, cwd).refused);
    EXPECT_TRUE(plan_add({"plain"}, cwd).refused);  // an existing non-folder
    EXPECT_EQ(folder_name("c:\\data\\photos\\"), "photos");
}

TEST(CliForming, ExtractDestinations) {
    TempDir t;
    const std::string cwd = t.path;
    auto check = [&](const std::string& arg, const std::string& dir, const std::string& pattern) {
        const Destination d = form_destination(arg, cwd);
        EXPECT_EQ(d.directory, dir) << arg;
        EXPECT_EQ(d.pattern, pattern) << arg;
    };
    check("*", cwd + "/", "*");  // x arc
    check("out", cwd + "/out/", "*");
    check("out\\", cwd + "/out\\", "*");
    check("out/", cwd + "/out/", "*");
    check("out\\*.BMP", cwd + "/out\\", "*.bmp");
    check("outpath*.bmp", cwd + "/", "outpath*.bmp");
    check("my.files", cwd + "/", "my.files");  // no such folder: a pattern
    check("/abs/out", "/abs/out/", "*");

    // Dotted destinations that name existing folders are folders.
    t.make_dir("my.files");
    t.make_dir("w/out");
    check("my.files", cwd + "/my.files/", "*");
    check(cwd + "/my.files", cwd + "/my.files/", "*");
    const Destination up = form_destination("../out", cwd + "/w/out");
    EXPECT_EQ(up.directory, cwd + "/w/out/../out/");
    EXPECT_EQ(up.pattern, "*");
    EXPECT_EQ(form_destination("./out", cwd + "/w").directory, cwd + "/w/./out/");

    EXPECT_EQ(extract_archive_path("a//b", "/cwd"), "/cwd/a/b");
    EXPECT_EQ(list_archive_path("a//b", "/cwd"), "/cwd/a//b");
    EXPECT_EQ(extract_archive_path("/tmp/arc", "/cwd"), "/tmp/arc");
}

TEST(CliRun, UsageAndUnknownOption) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {"A"}, {"l"}, {"x", "-v"}, {"a", "-m0"}, {"-z"}, {"--HELP"}, {"--versions"}, {"-", "--help"}}) {
        const Outcome r = run(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, banner_text());
        EXPECT_EQ(r.err, usage_text());
    }
    for (const auto& args : std::vector<std::vector<std::string>>{{"a", "-b9", "arc", "f"},
                                                                  {"a", "-h0", "arc", "f"},
                                                                  {"x", "-r", "arc"}}) {
        const Outcome r = run(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, banner_text());
        EXPECT_EQ(r.err, "\n Unknown option! \n");
    }
}

TEST(CliRun, HelpAndVersion) {
    // Only as the first argument; what follows is not read.
    for (const auto& args : std::vector<std::vector<std::string>>{{"--help"}, {"--help", "a", "-b9"}}) {
        const Outcome r = run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, banner_text() + usage_text());
        EXPECT_EQ(r.err, "");
    }
    const Outcome r = run({"--version", "x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "qev 0.11.0\n");
    EXPECT_EQ(r.err, "");
}

TEST(CliRun, CommandMessages) {
    TempDir t;
    CwdGuard cwd(t.path);
    const std::string empty_archive = t.write("empty.qev", "");

    auto starts = [](const std::string& s, const std::string& head) { return s.rfind(head, 0) == 0; };
    auto ends = [](const std::string& s, const std::string& tail) {
        return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
    };
    // An empty file is no archive.
    const std::string not_archive = "Error: cannot open Archive file " + empty_archive + ": it is empty, not an archive\n";
    Outcome r = run({"l", "empty.qev"});
    EXPECT_TRUE(starts(r.out, banner_text() + "Archive List ... " + empty_archive + " \n")) << r.out;
    EXPECT_EQ(r.err, not_archive);
    EXPECT_EQ(r.status, 1);
    r = run({"xtract", "-v", "empty.qev", "out"});
    EXPECT_TRUE(starts(r.out, banner_text() + "ARGV=out\nArchive=" + empty_archive + " Wild=* DEST=" + t.path +
                                  "/out/\n"))
        << r.out;
    EXPECT_TRUE(ends(r.out, "DEST=" + t.path + "/out/\n")) << r.out;
    EXPECT_EQ(r.err, not_archive);
    EXPECT_EQ(r.status, 1);

    r = run({"a", "arc", "nothing*"});
    EXPECT_EQ(r.out, banner_text() + "Archive=" + t.path + "/arc \n0 bytes, 0 files.\n");
    EXPECT_EQ(r.err, "WARNING: nothing matches nothing*\nWARNING: No files");
    EXPECT_EQ(r.status, 1);

    t.write("f.txt", "hello");
    r = run({"add", "-h1", "-b1", "arc", "-m3", "f.txt", "-m4"});  // -m3 is dropped, -m4 selects nothing
    EXPECT_EQ(r.out.rfind(banner_text() + "Archive=" + t.path + "/arc \n", 0), 0u) << r.out;
    EXPECT_EQ(r.err, "WARNING: nothing matches -m4\n");
    EXPECT_NE(r.out.find("5 bytes, 1 files.\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.status, 1);
    // A pattern that selects no entry is a failure.
    r = run({"x", "arc", "out/*.bmp"});
    EXPECT_EQ(r.err, "WARNING: no entry matches *.bmp\n");
    EXPECT_EQ(r.status, 1);

    // The single-argument form refuses an existing file that is not a folder.
    t.write("plain", "keep me");
    r = run({"a", "plain"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Archiver not defined: Activate File-Folder control..  \n"), std::string::npos);
    EXPECT_NE(r.err.find("Error: " + t.path + "/plain is an existing file"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("Archive="), std::string::npos);
    EXPECT_EQ(fs::file_size(t.path + "/plain"), 7u);

    const std::string long_name(5000, 'n');
    for (const char* cmd : {"a", "x", "l"}) {
        r = run({cmd, long_name, "f.txt"});
        EXPECT_EQ(r.status, 1) << cmd;
        EXPECT_NE(r.err.find("Error: path too long: " + t.path + "/" + long_name + "\n"), std::string::npos);
    }
}

TEST(CliProgram, StreamsAndExitStatus) {
    TempDir t;
    for (const char* args : {"", " a -b9 arc f"}) {
        const std::string o = t.path + "/out", e = t.path + "/err";
        const int rc = std::system((std::string(QEV_BINARY) + args + " >" + o + " 2>" + e).c_str());
        EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 1) << args;
        const std::string out = read_all(std::fopen(o.c_str(), "rb")), err = read_all(std::fopen(e.c_str(), "rb"));
        EXPECT_EQ(out, banner_text());
        EXPECT_EQ(err, *args ? "\n Unknown option! \n" : usage_text());
    }
    for (const char* args : {" --help", " --version"}) {
        const std::string o = t.path + "/out", e = t.path + "/err";
        const int rc = std::system((std::string(QEV_BINARY) + args + " >" + o + " 2>" + e).c_str());
        EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << args;
        const std::string out = read_all(std::fopen(o.c_str(), "rb")), err = read_all(std::fopen(e.c_str(), "rb"));
        EXPECT_EQ(out, args[3] == 'h' ? banner_text() + usage_text() : "qev 0.11.0\n");
        EXPECT_EQ(err, "");
    }
    // Output that cannot be written is a failure.
    const int rc = std::system((std::string(QEV_BINARY) + " --version >/dev/full").c_str());
    EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 1);
}

}  // namespace
}  // namespace qev
