// Interruption by SIGINT, SIGTERM or SIGHUP. While caught, the first such
// signal is only recorded, so that the run can stop at a point where it
// leaves every file sound; the handler then steps aside, so a second signal
// ends the process at once.
#pragma once

#include <csignal>
#include <thread>
#include <utility>

namespace qev::platform {

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread while it lives.
class InterruptionsBlocked {
public:
    InterruptionsBlocked();
    ~InterruptionsBlocked();
    InterruptionsBlocked(const InterruptionsBlocked&) = delete;
    InterruptionsBlocked& operator=(const InterruptionsBlocked&) = delete;

private:
    sigset_t previous_;
};

// Starts a thread that never receives the interruption signals: they go to
// the thread that runs the command, which waits in calls the signal can
// interrupt, never to a worker deep in a loop or about to end. Throws
// std::system_error like std::thread when the system refuses.
template <class F>
std::thread start_thread(F&& f) {
    InterruptionsBlocked blocked;
    return std::thread(std::forward<F>(f));
}

// Installs the handlers. Idempotent.
void catch_interruptions();

// The signal that asked the run to stop, or 0.
int interruption();

// The exit status that says the run was ended by that signal: 128 + signal.
inline int interruption_status(int signal_number) { return 128 + signal_number; }

}  // namespace qev::platform
