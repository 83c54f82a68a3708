#include "extract/extract.h"

namespace qev {

struct Extractor::Impl {
    bool verbose = false;
};

Extractor::Extractor(bool verbose) : impl_(std::make_unique<Impl>()) { impl_->verbose = verbose; }
Extractor::~Extractor() = default;

ExtractResult Extractor::extract_archive(const std::string&, const std::string&, const std::string&) { return {}; }

ListResult list_archive(const std::string&, const std::string&) { return {}; }

}  // namespace qev
