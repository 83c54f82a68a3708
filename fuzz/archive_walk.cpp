// Arbitrary archive bytes, extracted into a fresh folder and listed: no crash,
// and nothing may appear outside that folder.
#include <dirent.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "extract/extract.h"
#include "format/archive_reader.h"
#include "fuzz_util.h"

namespace {

// Names in a folder besides "." and "..".
int entries_in(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return -1;
    int count = 0;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") ++count;
    }
    closedir(d);
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& root = qev::fuzz::scratch_root();
    const std::string box = root + "/box";
    const std::string dest = box + "/dest";
    const std::string archive = root + "/archive.qev";
    qev::fuzz::write_bytes(archive, data, size);
    qev::platform::make_directory(box);
    qev::platform::make_directory(dest);
    static qev::fuzz::QuietExtract quiet;
    static qev::Extractor extractor(quiet);
    extractor.extract_archive(archive, dest + "/", "*");
    // The walk a listing makes.
    qev::ArchiveReader reader;
    if (reader.open(archive)) {
        qev::ArchiveReader::Entry entry;
        while (reader.next(entry)) {
        }
    }
    // Only the archive and the box at the root; only dest in the box.
    if (entries_in(root) != 2 || entries_in(box) != 1) std::abort();
    qev::fuzz::remove_tree(dest);
    return 0;
}
