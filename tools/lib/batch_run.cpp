// The batch's scheduler: starts exposures as processes of their own, waits for them, records
// how each ended and passes SIGINT / SIGTERM on. The loop waits for signals with them blocked,
// so a signal arriving between two checks is never lost.
#include "lib/batch_run.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "errors.h"
#include "progress.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Running {
  size_t job;
  pid_t pid;
  Clock::time_point start;
};

void on_child(int) {}

// Blocks the signals the loop waits for, and restores the mask and the SIGCHLD handler.
class SignalGuard {
 public:
  SignalGuard() {
    sigemptyset(&watched);
    for (int s : {SIGCHLD, SIGINT, SIGTERM}) sigaddset(&watched, s);
    struct sigaction sa {};
    sa.sa_handler = on_child;  // a handler, so SIGCHLD is never discarded as ignored
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGCHLD, &sa, &old_child_);
    ::sigprocmask(SIG_BLOCK, &watched, &old_mask);
  }
  ~SignalGuard() {
    ::sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    ::sigaction(SIGCHLD, &old_child_, nullptr);
  }
  sigset_t watched{}, old_mask{};

 private:
  struct sigaction old_child_ {};
};

std::string joined(const std::vector<std::string>& argv) {
  std::string s;
  for (const std::string& a : argv) s += (s.empty() ? "" : " ") + a;
  return s;
}

// Starts job with stdin from /dev/null and stdout and stderr into its log. The child gets a
// process group of its own (a Ctrl-C reaches it once, through the batch) and SIGTERM if the
// batch dies.
pid_t start_child(const BatchJob& job, const std::string& log_path, const sigset_t& child_mask) {
  std::vector<char*> argv;
  for (const std::string& a : job.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const std::string cannot_run = "plenosr-batch: cannot run " + job.argv[0] + ": ";
  const int log = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (log < 0) throw output_error(log_path, "cannot write: " + std::string(std::strerror(errno)));
  const std::string header = "# " + joined(job.argv) + "\n";
  if (::write(log, header.data(), header.size()) < 0) {
    const int err = errno;
    ::close(log);
    throw output_error(log_path, "cannot write: " + std::string(std::strerror(err)));
  }
  const int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(exit_terminated);
    if (devnull >= 0) ::dup2(devnull, STDIN_FILENO);
    ::dup2(log, STDOUT_FILENO);
    ::dup2(log, STDERR_FILENO);
    ::signal(SIGCHLD, SIG_DFL);
    ::sigprocmask(SIG_SETMASK, &child_mask, nullptr);
    ::execv(argv[0], argv.data());
    const char* reason = std::strerror(errno);
    if (::write(STDERR_FILENO, cannot_run.data(), cannot_run.size()) > 0 &&
        ::write(STDERR_FILENO, reason, std::strlen(reason)) > 0)
      (void)!::write(STDERR_FILENO, "\n", 1);
    ::_exit(127);
  }
  const int err = errno;
  ::close(log);
  if (devnull >= 0) ::close(devnull);
  if (pid < 0) throw RunError(exit_internal, "cannot start a process: " + std::string(std::strerror(err)));
  return pid;
}

std::string read_log(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace

int recorded_exit_status(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return -1;
}

std::string failure_message(const std::string& log_text, int wait_status) {
  if (WIFSIGNALED(wait_status)) {
    const int sig = WTERMSIG(wait_status);
    return "killed by signal " + std::to_string(sig) + " (" + strsignal(sig) + ")" +
           (WCOREDUMP(wait_status) ? ", core dumped" : "");
  }
  std::string last;
  std::istringstream in(log_text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, 9, "plenosr: ") == 0 || line.compare(0, 15, "plenosr-batch: ") == 0) last = line;
  }
  if (last.empty()) return "ended with status " + std::to_string(recorded_exit_status(wait_status)) + " and no message";
  return last;
}

BatchOutcome run_jobs(const std::vector<BatchJob>& jobs, int parallel, const BatchState& state,
                      int skipped, const std::function<void()>& after_each) {
  SignalGuard guard;
  BatchOutcome out;
  std::vector<Running> running;
  size_t next = 0;
  int ended = 0;
  double spent = 0;  // wall seconds of the exposures that ended

  auto progress_line = [&](const std::string& what) {
    const size_t left = jobs.size() - ended;
    std::string line = "plenosr-batch: " + what + "; " + std::to_string(skipped + out.finished) + " done, " +
                       std::to_string(out.failed) + " failed, " + std::to_string(left) + " left";
    if (left > 0 && ended > 0 && !out.signal) {
      double busy = spent / ended * static_cast<double>(left);
      for (const Running& r : running) busy -= std::chrono::duration<double>(Clock::now() - r.start).count();
      const double lanes = static_cast<double>(std::min<size_t>(static_cast<size_t>(parallel), left));
      line += ", about " + format_duration(std::max(0.0, busy / lanes)) + " left";
    }
    std::cerr << line << std::endl;
  };

  auto record = [&](const BatchJob& job, int wait_status, double seconds) {
    SummaryRow row;
    row.name = job.name;
    row.exit_status = recorded_exit_status(wait_status);
    row.seconds = seconds;
    const std::string log = read_log(state.log_path(job.name));
    if (WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0) {
      row.status = status_finished;
      try {
        state.write_done(job.name, job.arguments);
      } catch (const RunError& e) {
        row.status = status_failed;
        row.message = std::string("plenosr-batch: ") + e.what();
      }
    } else {
      const bool by_signal = (WIFSIGNALED(wait_status) && (WTERMSIG(wait_status) == SIGINT || WTERMSIG(wait_status) == SIGTERM)) ||
                             row.exit_status == exit_interrupted || row.exit_status == exit_terminated;
      row.status = out.signal && by_signal ? status_stopped : status_failed;
      row.message = failure_message(log, wait_status);
    }
    if (row.status == status_finished) ++out.finished;
    else if (row.status == status_stopped) ++out.stopped;
    else ++out.failed;
    ++ended;
    spent += seconds;
    try {
      state.write_row(row);
    } catch (const RunError& e) {
      std::cerr << "plenosr-batch: " << e.what() << std::endl;
    }
    std::string what = job.name + " " + row.status + " (" + format_duration(seconds);
    if (row.status != status_finished) what += ", status " + std::to_string(row.exit_status) + ": " + row.message;
    progress_line(what + ")");
    if (after_each) after_each();
  };

  for (;;) {
    while (!out.signal && running.size() < static_cast<size_t>(parallel) && next < jobs.size()) {
      const BatchJob& job = jobs[next];
      const auto start = Clock::now();
      try {
        state.clear(job.name);
        state.write_row(SummaryRow{job.name, status_running, -1, 0, ""});
        running.push_back({next, start_child(job, state.log_path(job.name), guard.old_mask), start});
      } catch (const RunError& e) {
        SummaryRow row{job.name, status_failed, -1, 0, std::string("plenosr-batch: ") + e.what()};
        ++out.failed;
        ++ended;
        try {
          state.write_row(row);
        } catch (const RunError&) {
        }
        progress_line(job.name + " failed to start (" + row.message + ")");
        if (after_each) after_each();
      }
      ++next;
    }
    if (running.empty()) break;

    const timespec tick{1, 0};
    const int sig = ::sigtimedwait(&guard.watched, nullptr, &tick);
    if (sig == SIGINT || sig == SIGTERM) {
      if (!out.signal)
        std::cerr << "plenosr-batch: " << (sig == SIGINT ? "SIGINT" : "SIGTERM") << ": stopping the "
                  << running.size() << " running exposure(s); nothing new starts" << std::endl;
      out.signal = sig;
      for (const Running& r : running) ::kill(r.pid, sig);
    }
    for (auto it = running.begin(); it != running.end();) {
      int status = 0;
      const pid_t p = ::waitpid(it->pid, &status, WNOHANG);
      if (p == 0 || (p < 0 && errno == EINTR)) {
        ++it;
        continue;
      }
      const double seconds = std::chrono::duration<double>(Clock::now() - it->start).count();
      const size_t job = it->job;
      it = running.erase(it);
      record(jobs[job], p < 0 ? (exit_internal << 8) : status, seconds);
    }
  }
  // A signal still pending would end the batch, before its summary, once unblocked.
  const timespec now{0, 0};
  for (int sig; (sig = ::sigtimedwait(&guard.watched, nullptr, &now)) > 0;)
    if (sig == SIGINT || sig == SIGTERM) out.signal = sig;
  out.stopped += static_cast<int>(jobs.size() - next);
  return out;
}
