// Interruption by SIGINT, SIGTERM or SIGHUP. While caught, the first such
// signal is only recorded, so that the run can stop at a point where it
// leaves every file sound; the handler then steps aside, so a second signal
// ends the process at once.
#pragma once

namespace qev::platform {

// Installs the handlers. Idempotent.
void catch_interruptions();

// The signal that asked the run to stop, or 0.
int interruption();

// The exit status that says the run was ended by that signal: 128 + signal.
inline int interruption_status(int signal_number) { return 128 + signal_number; }

}  // namespace qev::platform
