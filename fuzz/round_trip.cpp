// Arbitrary data cut into files and arbitrary switches: what is added must
// come back identical.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "compress/compressor.h"
#include "engine/method_levels.h"
#include "extract/extract.h"
#include "fuzz_util.h"

namespace {

std::vector<std::uint8_t> read_all(const std::string& path) {
    std::vector<std::uint8_t> out;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) std::abort();
    std::uint8_t buf[65536];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + got);
    std::fclose(f);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const unsigned level = data[0] % 10;
    const bool solid = data[1] & 1;
    const unsigned files = 1 + (data[1] >> 1) % 4;
    qev::CompressOptions options;
    options.solid = solid;
    options.search = qev::search_settings(static_cast<int>(level), 1, 1);  // the smallest ring and table

    const std::string& root = qev::fuzz::scratch_root();
    const std::string in = root + "/in";
    const std::string out = root + "/out";
    const std::string archive = root + "/rt.qev";
    qev::platform::make_directory(in);
    qev::platform::make_directory(out);
    std::remove(archive.c_str());

    // Cut points from data[2]: the files share the rest of the input.
    const std::uint8_t* body = data + 3;
    const std::size_t body_size = size - 3;
    std::vector<std::string> names;
    std::vector<std::vector<std::uint8_t>> contents;
    std::size_t start = 0;
    for (unsigned i = 0; i < files; ++i) {
        std::size_t end = i + 1 == files ? body_size : start + (body_size - start) * ((data[2] >> (2 * i)) & 3) / 4;
        names.push_back("f" + std::to_string(i) + (i % 2 ? ".bin" : ".txt"));
        contents.emplace_back(body + start, body + end);
        qev::fuzz::write_bytes(in + "/" + names.back(), body + start, end - start);
        start = end;
    }
    {
        qev::Compressor compressor(options, archive);
        for (const auto& name : names) compressor.compress_file(in + "/" + name, name, "");
    }
    static qev::fuzz::QuietExtract quiet;
    static qev::Extractor extractor(quiet);
    const qev::ExtractResult result = extractor.extract_archive(archive, out + "/", "*");
    if (result.failed || result.selected != files) std::abort();
    for (unsigned i = 0; i < files; ++i) {
        if (read_all(out + "/" + names[i]) != contents[i]) std::abort();
    }
    qev::fuzz::remove_tree(in);
    qev::fuzz::remove_tree(out);
    return 0;
}
