#include "platform/interruption.h"

#include <atomic>
#include <csignal>
#include <initializer_list>

namespace qev::platform {

namespace {

// Written only by the handler, read by every thread of the run. A
// lock-free atomic is safe to use in a signal handler, and unlike a
// volatile flag it is safe to read on another thread.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal flag must be lock-free");

extern "C" void record_signal(int signal_number) {
    int none = 0;
    g_signal.compare_exchange_strong(none, signal_number);
}

}  // namespace

void catch_interruptions() {
    struct sigaction action = {};
    action.sa_handler = record_signal;
    sigemptyset(&action.sa_mask);
    // The handler runs once; the next signal of that kind has its default
    // effect. System calls go on after the handler returns.
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal_number, &action, nullptr);
}

int interruption() { return g_signal.load(); }

InterruptionsBlocked::InterruptionsBlocked() {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&blocked, signal_number);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
}

InterruptionsBlocked::~InterruptionsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

}  // namespace qev::platform
