// Interruption by SIGINT / SIGTERM: the handler only records the signal; the main thread
// notices it at its next checkpoint (Progress::advance) and unwinds with a RunError, so every
// completed file stays and no partial one is left. A watchdog makes sure the process ends
// within about a second even when the current unit of work is long.
#pragma once

// Installs the handlers for SIGINT and SIGTERM (and the watchdog on SIGALRM).
void install_signal_handlers();

// Throws RunError(exit_interrupted / exit_terminated) if a signal has arrived.
void check_interrupted();

// Exit status for a signal: 130 for SIGINT, 143 for SIGTERM.
int signal_exit_status(int signal_number);

// The temporary file being written right now (an absolute or relative path), which the
// watchdog removes before it ends the process. Call with nullptr when the file is renamed or
// removed. Used only by the thread that writes files.
void set_inflight_temp(const char* path);
