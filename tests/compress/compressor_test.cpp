// The compression driver stopped at each of its stop points: the archive is
// left exactly as it was before the file, and an archive the run created
// without completing an entry is removed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "compress/compressor.h"
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

}  // namespace
}  // namespace qev
