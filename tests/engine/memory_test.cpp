#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "engine/engine.h"
#include "test_util.h"

namespace qev {
namespace {

// The table is two mappings. When the second cannot be had, the first must
// go back: a run that keeps failing would otherwise lose its whole size
// every time.
TEST(MatchTable, FailedAllocationKeepsNoMapping) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // 256 MiB of entries fit under the limit, their 4 MiB of line
        // epochs do not.
        const std::size_t entries = std::size_t{4} << 26;
        const std::size_t before = test::mapped_bytes();
        rlimit limit{};
        if (before == 0 || getrlimit(RLIMIT_AS, &limit) != 0) _exit(2);
        limit.rlim_cur = before + entries + (1u << 20);
        if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(2);
        MatchTable table;
        if (table.allocate(26, 2)) _exit(3);
        _exit(test::mapped_bytes() < before + (16u << 20) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the entries stayed mapped; 2: no limit could be set; 3: it fit after all";
}

}  // namespace
}  // namespace qev
