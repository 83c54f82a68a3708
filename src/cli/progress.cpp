// The progress line: on standard error, redrawn in place while a run that
// has taken more than a second goes on, and cleared at its end and before
// every other line the run prints. Standard output never sees it, and
// neither does a standard error that is no terminal.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "platform/platform_file.h"
#include "platform/interruption.h"

namespace qev {

namespace {

constexpr auto FIRST_DRAW = std::chrono::seconds(1);
constexpr auto REDRAW = std::chrono::milliseconds(250);
// The width taken when the terminal does not say.
constexpr unsigned DEFAULT_COLUMNS = 80;

// What the console shows of the progress line. Every write to the console
// and every redraw takes the mutex, so that a redraw never falls inside
// another line.
struct ConsoleState {
    std::mutex mutex;
    bool running = false;          // a progress line may be drawn
    std::size_t drawn = 0;         // its columns on the screen now; 0: none is
    unsigned columns = DEFAULT_COLUMNS;
    bool out_is_terminal = false;  // standard output shares the screen
    bool mid_line = false;         // the screen's last line is one not yet ended
};

ConsoleState g_console;

unsigned columns_now() {
    const unsigned columns = platform::terminal_columns(platform::console_err());
    return columns != 0 ? columns : DEFAULT_COLUMNS;
}

// The terminal's width, read again after it changed. Called with the mutex
// held.
unsigned current_columns() {
    if (platform::terminal_resized()) g_console.columns = columns_now();
    return g_console.columns;
}

// Blanks the drawn line and leaves the cursor at its start. Called with the
// mutex held.
void erase_line() {
    if (g_console.drawn == 0) return;
    const std::size_t limit = current_columns() - 1;
    const int blanks = static_cast<int>(g_console.drawn < limit ? g_console.drawn : limit);
    std::fprintf(platform::console_err(), "\r%*s\r", blanks, "");
    std::fflush(platform::console_err());
    g_console.drawn = 0;
}

std::string mebibytes(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / 1048576.0);
    return text;
}

}  // namespace

std::string progress_text(std::uint64_t done, std::uint64_t total_bytes, double seconds, std::uint64_t files,
                          std::uint64_t total_files, unsigned columns) {
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
    std::vector<std::string> fields;
    fields.push_back(mebibytes(done) + " MiB of " + mebibytes(total_bytes) + " MiB");
    fields.push_back(mebibytes(static_cast<std::uint64_t>(rate)) + " MiB/s");
    if (total_files != 0) fields.push_back(std::to_string(files) + " of " + std::to_string(total_files) + " files");
    if (rate > 0 && done < total_bytes) {
        const auto left = static_cast<unsigned long long>(static_cast<double>(total_bytes - done) / rate);
        char text[48];
        std::snprintf(text, sizeof text, "%llu:%02llu left", left / 60, left % 60);
        fields.push_back(text);
    }
    // The cursor stays within the last column but one, so it never wraps.
    const std::size_t limit = columns > 0 ? columns - 1 : 0;
    std::string line = fields[0].substr(0, limit);
    for (std::size_t i = 1; i < fields.size() && line.size() + 2 + fields[i].size() <= limit; ++i) {
        line += ", " + fields[i];
    }
    return line;
}

void console_write(std::FILE* stream, const std::string& text) {
    std::lock_guard<std::mutex> lock(g_console.mutex);
    erase_line();
    const bool to_err = stream == platform::console_err();
    // What standard output holds so far goes first, so that a terminal
    // showing both streams shows the lines in the order they happened.
    if (to_err) std::fflush(platform::console_out());
    std::fwrite(text.data(), 1, text.size(), stream);
    if (to_err || g_console.running) std::fflush(stream);
    if (g_console.running && !text.empty() && (to_err || g_console.out_is_terminal)) {
        g_console.mid_line = text.back() != '\n';
    }
}

ProgressLine::ProgressLine(bool wanted, std::uint64_t total_bytes, std::uint64_t total_files)
    : total_bytes_(total_bytes), total_files_(total_files) {
    if (!wanted || !platform::is_terminal(platform::console_err())) return;
    platform::watch_terminal_size();
    {
        std::lock_guard<std::mutex> lock(g_console.mutex);
        g_console.running = true;
        g_console.drawn = 0;
        g_console.columns = columns_now();
        g_console.out_is_terminal = platform::is_terminal(platform::console_out());
        g_console.mid_line = false;
    }
    try {
        thread_ = platform::start_thread([this] { run(); });
    } catch (...) {
        std::lock_guard<std::mutex> lock(g_console.mutex);
        g_console.running = false;
        throw;
    }
}

ProgressLine::~ProgressLine() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(g_console.mutex);
        stopping_ = true;
    }
    stop_.notify_all();
    thread_.join();
}

void ProgressLine::run() {
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(g_console.mutex);
    const auto stopping = [this] { return stopping_; };
    if (!stop_.wait_for(lock, FIRST_DRAW, stopping)) {
        do {
            // A line another print left unended would be overwritten.
            if (g_console.mid_line) continue;
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const unsigned columns = current_columns();
            const std::string line = progress_text(bytes.load(std::memory_order_relaxed), total_bytes_, seconds,
                                                   files.load(std::memory_order_relaxed), total_files_, columns);
            // Blanks cover what is left of a longer line drawn before, up
            // to the last column but one.
            const std::size_t cover = g_console.drawn < columns - 1 ? g_console.drawn : columns - 1;
            const int blanks = static_cast<int>(cover > line.size() ? cover - line.size() : 0);
            std::fprintf(platform::console_err(), "\r%s%*s", line.c_str(), blanks, "");
            std::fflush(platform::console_err());
            g_console.drawn = line.size() + static_cast<std::size_t>(blanks);
        } while (!stop_.wait_for(lock, REDRAW, stopping));
    }
    erase_line();
    g_console.running = false;
}

}  // namespace qev
