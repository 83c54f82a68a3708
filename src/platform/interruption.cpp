#include "platform/interruption.h"

#include <csignal>
#include <initializer_list>

namespace qev::platform {

namespace {

// Written only by the handler; read by the run.
volatile std::sig_atomic_t g_signal = 0;

extern "C" void record_signal(int signal_number) {
    if (g_signal == 0) g_signal = signal_number;
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

int interruption() { return g_signal; }

}  // namespace qev::platform
