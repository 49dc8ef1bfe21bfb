// A thread of its own that writes files atomically (write_file_atomic), one at a time in
// the order given, so the caller can go on computing while a file goes to disk. The caller
// encodes; the writer only writes, syncs and renames. After a failed write nothing more is
// written, and every later call reports that failure.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

class FileWriter {
 public:
  FileWriter();
  // Writes what is still queued (unless a write failed), then ends the thread.
  ~FileWriter();
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;

  // Queues the bytes of path and returns; waits while the queue is full. Throws the error
  // of an earlier failed write instead.
  void queue(std::string path, std::vector<uchar> bytes);
  // Writes path after everything queued, and returns when it is on disk; throws its error.
  void write(std::string path, std::vector<uchar> bytes);
  // Returns when every queued file is written; throws the first failed write's error.
  void flush();
  // Throws the error of a failed write, if there was one, without waiting.
  void check();
  // The buffer of an earlier write (its capacity spares faulting in fresh pages), or an
  // empty one.
  std::vector<uchar> buffer();

 private:
  struct Job {
    std::string path;
    std::vector<uchar> bytes;
  };
  void run();
  void rethrow_failure() const;  // with the lock held

  static constexpr size_t max_queued = 4;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> jobs_;
  bool busy_ = false;
  bool stopping_ = false;
  std::exception_ptr failure_;
  std::vector<std::vector<uchar>> spare_;
  std::thread thread_;
};
