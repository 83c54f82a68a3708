// The program's fixed texts: the banner, the usage text and the version line.
#include "cli/cli.h"
#include "cli/version.h"

namespace qev {

namespace {

std::string padded(const char* text, std::size_t width) {
    std::string line = text;
    if (line.size() < width) line.append(width - line.size(), ' ');
    return line;
}

// The usage lines with the width each is padded to.
struct UsageLine {
    const char* text;
    std::size_t width;
};

const UsageLine USAGE_LINES[] = {
    {"Usage: QEV <command> -<switch ..> <archive> <files...> <in path> <out path>", 75},
    {"<Commands>", 79},
    {" a                 Add files to archive", 79},
    {" x                 Extract files in destination path", 79},
    {" l                 List archive", 79},
    {"", 79},
    {"<Switches>", 79},
    {" r                Recurse subdirectories", 79},
    {" s                Solid Mode ON", 79},
    {" v                Verbose Mode", 79},
    {" m                [default -m2] Compression Method (-m0 .. -m9)", 79},
    {" b                [default -b2] Ring   Buffer      (-b1 .. -b8)", 79},
    {" h                [default -h4] Search Buffer      (-h1 .. -h6)", 79},
    {"", 79},
    {"< Examples of compression >", 79},
    {"QEV a c:\\archive c:\\infile", 77},
    {"QEV a -m1 -b1     c:\\archive c:\\infile", 77},
    {"QEV a -r c:\\archive c:\\path", 77},
    {"QEV a -r archive path", 79},
    {"QEV a -r archive path\\*.bmp", 78},
    {"< Example of decompression >", 79},
    {"QEV x c:\\archive c:\\outpath", 77},
    {"QEV x archive outpath", 79},
    {"QEV x archive outpath*.bmp", 78},
    {"", 79},
    {"<More commands and switches>", 79},
    {" l [-v|--json] archive [patterns]  List (-v: sizes, times, modes; JSON Lines)", 79},
    {" t archive [patterns]              Test: decode and check, write nothing", 79},
    {" a: -p plain entries  -u strong parse  -l accepted (links are kept anyway)", 79},
    {" a: --dereference follow links  --no-packs an entry per file  -- ends switches", 79},
    {" a, x: -tN workers (-t0: one per core)  -n no progress line   x: -v verbose", 79},
    {" x: --no-same-owner --numeric-owner (also l -v) --selinux: owners, labels", 79},
    {" --help this text   --version the version line", 79},
    {" u [switches] archive files...    Update: add what is new or changed", 79},
    {" d [-v] archive patterns...       Delete entries and pack members that match", 79},
    {" a, u, x, l, t: --exclude=PATTERN --exclude-from=FILE  leave out what matches", 79},
    {" a, u, d: --files-from=FILE more names, one a line (-: standard input)  --null", 79},
    {"QEV a -r --exclude=*.o --files-from=list.txt archive path", 79},
    {"QEV u -r archive path", 79},
    {"QEV d archive *.log path/old", 79},
    {" a, x, l, t: - as the archive: standard output (a) or input   x -c: to stdout", 79},
    {"QEV a -r - path | ssh host qev x -      QEV x -c archive notes.txt > notes.txt", 79},
};

}  // namespace

std::string banner_text() {
    std::string text = "QEV v." QEV_VERSION_MAJOR_MINOR " - file archiver, (c) 2026 the QEV developers\n";
    text += padded("TROV compression, Linux edition", 56);
    text += "\n";
    return text;
}

std::string usage_text() {
    std::string text;
    for (const UsageLine& line : USAGE_LINES) {
        text += padded(line.text, line.width);
        text += "\n";
    }
    return text;
}

std::string version_text() { return "qev " QEV_VERSION "\n"; }

}  // namespace qev
