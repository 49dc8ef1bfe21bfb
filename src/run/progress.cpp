// Progress reporting on stderr: a live line on a terminal, one line per stage otherwise.
#include "progress.h"

#include <cmath>
#include <cstdio>
#include <iostream>
#include <streambuf>

#include "signals.h"
#include "textformat.h"

namespace {

// Live mode: a progress line is on screen and must be erased before anything else prints.
bool g_line_visible = false;

void erase_line() {
  if (!g_line_visible) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  g_line_visible = false;
}

// Sits in front of std::cout's buffer and erases the progress line before any output.
class ErasingBuf : public std::streambuf {
 public:
  explicit ErasingBuf(std::streambuf* target) : target_(target) {}

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    erase_line();
    return target_->sputc(traits_type::to_char_type(c));
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    if (n > 0) erase_line();
    return target_->sputn(s, n);
  }
  int sync() override { return target_->pubsync(); }

 private:
  std::streambuf* target_;
};

}  // namespace

Progress& progress() {
  static Progress p;
  return p;
}

RunSummary& run_summary() {
  static RunSummary s;
  return s;
}

std::string format_duration(double seconds) {
  if (!(seconds >= 0)) seconds = 0;
  if (seconds < 60) return strformat("%.1fs", seconds);
  const long total = std::lround(seconds);
  if (total < 3600) return strformat("%ld:%02ld", total / 60, total % 60);
  return strformat("%ld:%02ld:%02ld", total / 3600, (total / 60) % 60, total % 60);
}

void Progress::set_mode(Mode mode) {
  mode_ = mode;
  if (mode == Mode::live) {
    // Never destroyed: std::cout is flushed at exit, after function-local statics are gone.
    static ErasingBuf* buf = new ErasingBuf(std::cout.rdbuf());
    if (std::cout.rdbuf() != buf) std::cout.rdbuf(buf);
  }
}

void Progress::begin(const std::string& stage, int total, int done) {
  check_interrupted();
  if (active_) end();
  stage_ = stage;
  detail_.clear();
  total_ = total;
  done_ = done;
  done_at_begin_ = done;
  active_ = true;
  started_ = std::chrono::steady_clock::now();
  last_draw_ = {};
  draw(true);
}

void Progress::advance(int done) {
  check_interrupted();
  done_ = done;
  draw(false);
}

void Progress::detail(const std::string& text) {
  detail_ = text;
  draw(false);
}

std::string Progress::line(double elapsed) const {
  std::string s = "plenosr: " + stage_;
  if (!detail_.empty()) s += " (" + detail_ + ")";
  if (total_ > 0) s += strformat(": %d/%d", done_, total_);
  s += ", " + format_duration(elapsed) + " elapsed";
  const int since = done_ - done_at_begin_;
  if (total_ > 0 && since > 0 && done_ < total_)
    s += ", about " + format_duration(elapsed * (total_ - done_) / since) + " left";
  return s;
}

void Progress::draw(bool force) {
  if (mode_ != Mode::live || !active_) return;
  const auto now = std::chrono::steady_clock::now();
  // A terminal redraw ten times a second is plenty.
  if (!force && now - last_draw_ < std::chrono::milliseconds(100)) return;
  last_draw_ = now;
  const double elapsed = std::chrono::duration<double>(now - started_).count();
  std::cout.flush();
  std::fprintf(stderr, "\r%s\033[K", line(elapsed).c_str());
  std::fflush(stderr);
  g_line_visible = true;
}

void Progress::end() {
  if (!active_) return;
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  if (mode_ == Mode::live) {
    erase_line();
    std::fprintf(stderr, "%s\n", line(elapsed).c_str());
  } else if (mode_ == Mode::lines) {
    std::fprintf(stderr, "%s\n", line(elapsed).c_str());
  }
  std::fflush(stderr);
  active_ = false;
}

void Progress::abandon() {
  erase_line();
  active_ = false;
}
