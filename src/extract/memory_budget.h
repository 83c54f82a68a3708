// The share of memory that the workers of an extraction may take together.
// Each entry's need is reserved before a worker is handed the entry, and
// given back when the worker has let go of it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace qev {

class MemoryBudget {
public:
    // capacity 0: no bound.
    explicit MemoryBudget(std::uint64_t capacity) : capacity_(capacity) {}
    MemoryBudget(const MemoryBudget&) = delete;
    MemoryBudget& operator=(const MemoryBudget&) = delete;

    // Reserves bytes for a task, waiting until they fit beside what is
    // reserved already. A task that needs more than the whole budget waits
    // until no other task is under way and then runs alone.
    void begin_task(std::uint64_t bytes) {
        std::unique_lock<std::mutex> lock(mutex_);
        freed_.wait(lock, [&] { return capacity_ == 0 || tasks_ == 0 || reserved_ + bytes <= capacity_; });
        reserved_ += bytes;
        ++tasks_;
    }
    // As begin_task, but waits at most the given time; false when the bytes
    // did not fit by then (nothing is reserved).
    bool begin_task_within(std::uint64_t bytes, std::chrono::milliseconds wait) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!freed_.wait_for(lock, wait,
                             [&] { return capacity_ == 0 || tasks_ == 0 || reserved_ + bytes <= capacity_; })) {
            return false;
        }
        reserved_ += bytes;
        ++tasks_;
        return true;
    }
    // The task has ended and released bytes of its reservation; what is
    // left of it stays reserved until give().
    void end_task(std::uint64_t bytes) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            reserved_ -= bytes;
            --tasks_;
        }
        freed_.notify_all();
    }
    void give(std::uint64_t bytes) {
        if (bytes == 0) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            reserved_ -= bytes;
        }
        freed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable freed_;
    const std::uint64_t capacity_;
    std::uint64_t reserved_ = 0;
    unsigned tasks_ = 0;
};

}  // namespace qev
