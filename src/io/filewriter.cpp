#include "filewriter.h"

#include <signal.h>

#include "imageio.h"

FileWriter::FileWriter() {
  // Signals go to the threads that compute: the writer blocks them, so a blocking read on
  // the main thread is the one they interrupt.
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGALRM);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  thread_ = std::thread([this] { run(); });
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

FileWriter::~FileWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void FileWriter::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) return;  // stopping, and nothing left
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    if (failure_) continue;  // after a failure nothing more is written
    busy_ = true;
    lock.unlock();
    std::exception_ptr failure;
    try {
      write_file_atomic(job.path, job.bytes);
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    busy_ = false;
    if (failure) failure_ = failure;
    if (spare_.size() < max_queued + 1) spare_.push_back(std::move(job.bytes));
    changed_.notify_all();
  }
}

void FileWriter::rethrow_failure() const {
  if (failure_) std::rethrow_exception(failure_);
}

void FileWriter::queue(std::string path, std::vector<uchar> bytes) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return failure_ || jobs_.size() < max_queued; });
    rethrow_failure();
    jobs_.push_back({std::move(path), std::move(bytes)});
  }
  changed_.notify_all();
}

void FileWriter::write(std::string path, std::vector<uchar> bytes) {
  queue(std::move(path), std::move(bytes));
  flush();
}

void FileWriter::flush() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return failure_ || (jobs_.empty() && !busy_); });
  rethrow_failure();
}

void FileWriter::check() {
  std::lock_guard<std::mutex> lock(mutex_);
  rethrow_failure();
}

std::vector<uchar> FileWriter::buffer() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (spare_.empty()) return {};
  std::vector<uchar> b = std::move(spare_.back());
  spare_.pop_back();
  return b;
}
