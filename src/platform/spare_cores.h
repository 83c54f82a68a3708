// Cores that no worker of a run uses, which a worker borrows to split the
// work on one large entry over two or more threads. Shared by the run's
// workers; a worker that has nothing more to do gives its own core back.
#pragma once

#include <atomic>

namespace qev {
namespace platform {

class SpareCores {
public:
    explicit SpareCores(int count) : count_(count) {}
    SpareCores(const SpareCores&) = delete;
    SpareCores& operator=(const SpareCores&) = delete;

    bool take() {
        int n = count_.load();
        while (n > 0) {
            if (count_.compare_exchange_weak(n, n - 1)) return true;
        }
        return false;
    }
    void give() { count_.fetch_add(1); }
    int available() const { return count_.load(); }

private:
    std::atomic<int> count_;
};

}  // namespace platform
}  // namespace qev
