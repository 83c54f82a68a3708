// The progress line: on standard error, redrawn in place while a run that
// has taken more than a second goes on, and cleared at its end. Standard
// output never sees it, and neither does a standard error that is no
// terminal.
#include <chrono>
#include <cstdio>

#include "cli/cli.h"
#include "platform/platform_file.h"
#include "platform/interruption.h"

namespace qev {

namespace {

constexpr auto FIRST_DRAW = std::chrono::seconds(1);
constexpr auto REDRAW = std::chrono::milliseconds(250);

std::string mebibytes(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / 1048576.0);
    return text;
}

}  // namespace

ProgressLine::ProgressLine(bool wanted, std::uint64_t total_bytes, std::uint64_t total_files)
    : total_bytes_(total_bytes), total_files_(total_files) {
    if (!wanted || !platform::is_terminal(platform::console_err())) return;
    thread_ = platform::start_thread([this] { run(); });
}

ProgressLine::~ProgressLine() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    stop_.notify_all();
    thread_.join();
}

void ProgressLine::run() {
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    if (stop_.wait_for(lock, FIRST_DRAW, [this] { return stopping_; })) return;
    std::size_t drawn = 0;
    do {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const std::uint64_t done = bytes.load(std::memory_order_relaxed);
        const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
        char line[160];
        int n = std::snprintf(line, sizeof line, "%s of %s, %.1f MB/s", mebibytes(done).c_str(),
                              mebibytes(total_bytes_).c_str(), rate / 1e6);
        if (total_files_ != 0 && n > 0) {
            n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), ", %llu of %llu files",
                               static_cast<unsigned long long>(files.load(std::memory_order_relaxed)),
                               static_cast<unsigned long long>(total_files_));
        }
        if (rate > 0 && done < total_bytes_ && n > 0) {
            const auto left = static_cast<unsigned long long>(static_cast<double>(total_bytes_ - done) / rate);
            n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), ", %llu:%02llu left", left / 60,
                               left % 60);
        }
        const std::size_t width = n > 0 ? static_cast<std::size_t>(n) : 0;
        std::fprintf(platform::console_err(), "\r%s%*s", line, static_cast<int>(drawn > width ? drawn - width : 0), "");
        std::fflush(platform::console_err());
        drawn = width;
    } while (!stop_.wait_for(lock, REDRAW, [this] { return stopping_; }));
    std::fprintf(platform::console_err(), "\r%*s\r", static_cast<int>(drawn), "");
    std::fflush(platform::console_err());
}

}  // namespace qev
