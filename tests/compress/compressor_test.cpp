// The compression driver stopped at each of its stop points: the archive is
// left exactly as it was before the file, and an archive the run created
// without completing an entry is removed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "compress/compressor.h"
#include "compress/parallel_compressor.h"
#include "engine/method_levels.h"
#include "e2e_util.h"
#include "test_util.h"

namespace qev {
namespace {

namespace fs = std::filesystem;

TEST(CompressorStop, EveryStopPointLeavesTheEarlierEntriesAsTheyWere) {
    e2e::TempDir t;
    const std::string small = t.put("small.txt", test::wordy_bytes(3000, 1));
    // Two blocks: stop points at the start, after the header, after each
    // block and before the size is patched in.
    const std::string big = t.put("big.bin", test::wordy_bytes(BLOCK_SIZE + 5000, 2));
    CompressOptions options;
    options.search = search_settings(0, 1, 1);
    const std::string archive = t / "arc";
    {
        Compressor first(options, archive);
        ASSERT_EQ(first.compress_file(small, "small.txt", "").status, StoreStatus::Stored);
    }
    const std::vector<std::uint8_t> before = test::read_file(archive);

    int stop_points = 0;
    for (int stop_at = 1;; ++stop_at) {
        int asked = 0;
        options.should_stop = [&] { return ++asked >= stop_at; };
        Compressor compressor(options, archive);
        const StoreResult result = compressor.compress_file(big, "big.bin", "");
        if (result.status == StoreStatus::Stored) break;
        ASSERT_EQ(result.status, StoreStatus::Interrupted) << "stop point " << stop_at;
        EXPECT_FALSE(result.archive_removed);
        EXPECT_EQ(test::read_file(archive), before) << "stop point " << stop_at;
        ++stop_points;
    }
    EXPECT_EQ(stop_points, 5);
    EXPECT_EQ(e2e::parse_archive(test::read_file(archive)).size(), 2u);

    // A new archive without a complete entry does not stay behind.
    int asked = 0;
    options.should_stop = [&] { return ++asked >= 2; };
    Compressor fresh(options, t / "new");
    const StoreResult result = fresh.compress_file(small, "small.txt", "");
    EXPECT_EQ(result.status, StoreStatus::Interrupted);
    EXPECT_TRUE(result.archive_removed);
    EXPECT_FALSE(fs::exists(t / "new"));
}

// A file written to in place between its opening and its last read is
// stored as read and said to have changed, with one coder and with workers
// (where the front opens the file and a worker reads it). The write comes
// from the stop check, once the file is open; the file's times are set in
// the past first, so that the write surely changes them.
TEST(CompressorChangedInput, WrittenWhileReadWithOneCoderAndWithWorkers) {
    e2e::TempDir t;
    const std::vector<std::uint8_t> data = test::wordy_bytes(BLOCK_SIZE + 5000, 3);
    const std::string path = t.put("f.txt", data);
    const auto age = [&] {
        const timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), past, 0), 0);
    };
    const auto rewrite = [&] {
        const int fd = open(path.c_str(), O_WRONLY);
        EXPECT_TRUE(fd >= 0 && pwrite(fd, data.data(), 100, 0) == 100);
        if (fd >= 0) close(fd);
    };
    CompressOptions options;
    options.search = search_settings(0, 1, 1);

    // One coder: the first check comes before the file is opened.
    int checks = 0;
    bool write = false;
    options.should_stop = [&] {
        if (write && ++checks == 2) rewrite();
        return false;
    };
    for (const bool written : {false, true}) {
        age();
        write = written;
        checks = 0;
        Compressor compressor(options, t / ("one" + std::to_string(written)));
        EXPECT_EQ(compressor.compress_file(path, "f.txt", "").status,
                  written ? StoreStatus::Changed : StoreStatus::Stored);
    }

    // Workers: every check on a worker's thread comes after the front opened the file.
    age();
    const std::thread::id front = std::this_thread::get_id();
    std::atomic<bool> done{false};
    options.should_stop = [&] {
        if (std::this_thread::get_id() != front && !done.exchange(true)) rewrite();
        return false;
    };
    ParallelCompressor workers(options, t / "workers", 2);
    std::vector<StoreStatus> statuses;
    workers.store_all({FileToStore{path, "f.txt", ""}},
                      [&](std::size_t, const StoreResult& result) { statuses.push_back(result.status); });
    EXPECT_EQ(statuses, std::vector<StoreStatus>{StoreStatus::Changed});
    EXPECT_TRUE(done);
    EXPECT_EQ(e2e::parse_archive(test::read_file(t / "workers")).at(0).unpacked_size, data.size());
}

}  // namespace
}  // namespace qev
