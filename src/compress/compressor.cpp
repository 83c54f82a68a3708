#include "compress/compressor.h"

namespace qev {

Compressor::Compressor(const CompressOptions& options, std::string archive_path)
    : options_(options), archive_path_(std::move(archive_path)) {}
Compressor::~Compressor() = default;

Compressor::Result Compressor::compress_file(const std::string&, std::string, std::string) { return Result::Stored; }

}  // namespace qev
