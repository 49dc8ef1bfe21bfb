// Signal handling: async-signal-safe handlers that set a flag, plus a one-second watchdog.
#include "signals.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>

#include "errors.h"

namespace {

volatile sig_atomic_t g_signal = 0;

// The in-flight temporary file. The name is written while `g_temp_armed` is false and only
// read by the watchdog while it is true.
constexpr size_t temp_capacity = 4096;
char g_temp_path[temp_capacity];
std::atomic<bool> g_temp_armed{false};

// Seconds the run gets to reach its next checkpoint after a signal.
constexpr unsigned watchdog_seconds = 1;

void write_stderr(const char* text) {
  size_t left = std::strlen(text);
  while (left > 0) {
    const ssize_t n = ::write(STDERR_FILENO, text, left);
    if (n <= 0) return;
    text += n;
    left -= static_cast<size_t>(n);
  }
}

void on_signal(int sig) {
  if (g_signal != 0) {
    // A second signal: stop now.
    if (g_temp_armed.load()) ::unlink(g_temp_path);
    write_stderr("plenosr: interrupted again; stopping now\n");
    ::_exit(signal_exit_status(g_signal));
  }
  g_signal = sig;
  ::alarm(watchdog_seconds);
}

void on_watchdog(int) {
  if (g_signal == 0) return;
  if (g_temp_armed.load()) ::unlink(g_temp_path);
  write_stderr(g_signal == SIGINT ? "plenosr: interrupted by SIGINT; completed files are kept\n"
                                  : "plenosr: terminated by SIGTERM; completed files are kept\n");
  ::_exit(signal_exit_status(g_signal));
}

}  // namespace

int signal_exit_status(int signal_number) {
  return signal_number == SIGTERM ? exit_terminated : exit_interrupted;
}

void install_signal_handlers() {
  struct sigaction sa {};
  sigemptyset(&sa.sa_mask);
  sigaddset(&sa.sa_mask, SIGINT);
  sigaddset(&sa.sa_mask, SIGTERM);
  sigaddset(&sa.sa_mask, SIGALRM);
  // No SA_RESTART: a blocking read (the final wait) returns so the flag is seen at once.
  sa.sa_flags = 0;
  sa.sa_handler = on_signal;
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
  sa.sa_handler = on_watchdog;
  ::sigaction(SIGALRM, &sa, nullptr);
}

void check_interrupted() {
  const int sig = g_signal;
  if (sig == 0) return;
  ::alarm(0);
  throw RunError(signal_exit_status(sig),
                 sig == SIGINT ? "interrupted by SIGINT; completed files are kept"
                               : "terminated by SIGTERM; completed files are kept");
}

void set_inflight_temp(const char* path) {
  g_temp_armed.store(false);
  if (path == nullptr) return;
  const size_t n = std::strlen(path);
  if (n >= temp_capacity) return;  // too long to remember; it will be removed on unwinding
  std::memcpy(g_temp_path, path, n + 1);
  g_temp_armed.store(true);
}
