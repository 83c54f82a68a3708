// Storing many files with several coders at once. The files are opened and
// analysed in their stored order on the calling thread (the analysis carries
// settings from file to file), coded by the workers, each with its own
// encoder, and written to the archive strictly in order, so the archive is
// byte for byte the one a single coder writes. Coded entries that wait for
// their turn are held in memory up to a bound and in a temporary file
// beyond it.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "compress/compressor.h"

namespace qev {

// Bytes one compression worker may need: its match table, ring, buffers,
// what it holds of a coded entry before spilling it, and a pack's stream.
std::uint64_t compression_worker_bytes(const SearchSettings& search);

class ParallelCompressor {
public:
    ParallelCompressor(const CompressOptions& options, std::string archive_path, unsigned workers);
    ~ParallelCompressor();

    void set_observer(CompressObserver* observer);

    // Stores the files in order. report(i, result) is called on this
    // thread for file i, in file order, once its entry is written or it
    // failed; a result that ends the run is the last one reported.
    void store_all(const std::vector<FileToStore>& files,
                   const std::function<void(std::size_t, const StoreResult&)>& report);

private:
    struct Shared;
    std::unique_ptr<Shared> shared_;
};

}  // namespace qev
