// Failures the tool reports: one line on stderr and a documented exit status.
#pragma once

#include <stdexcept>
#include <string>

// Exit statuses (documented in the README).
enum ExitStatus : int {
  exit_ok = 0,
  exit_usage = 2,        // a command-line option is missing, unknown or out of range
  exit_input = 3,        // an input file is missing, unreadable or of the wrong kind
  exit_output = 4,       // an output file or directory cannot be created or written
  exit_internal = 5,     // an unexpected failure inside the tool
  exit_interrupted = 130, // stopped by SIGINT (128 + 2)
  exit_terminated = 143    // stopped by SIGTERM (128 + 15)
};

// A failure with its message (already naming the file or option) and exit status.
class RunError : public std::runtime_error {
 public:
  RunError(int status, const std::string& message)
      : std::runtime_error(message), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

// A path as the file system reads it, for messages: doubled slashes written once.
inline std::string display_path(std::string path) {
  for (size_t i; (i = path.find("//")) != std::string::npos;) path.erase(i, 1);
  return path;
}

inline RunError input_error(const std::string& path, const std::string& problem) {
  return RunError(exit_input, display_path(path) + ": " + problem);
}
inline RunError output_error(const std::string& path, const std::string& problem) {
  return RunError(exit_output, display_path(path) + ": " + problem);
}
