// The batch's files below its output root: markers, summary lines, the summary itself.
#include "lib/batch_state.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "errors.h"
#include "lib/csv.h"
#include "textformat.h"

namespace fs = std::filesystem;

namespace {

std::string read_file(const std::string& path, bool* exists) {
  std::ifstream in(path, std::ios::binary);
  *exists = static_cast<bool>(in);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace

void write_text_atomic(const std::string& path, const std::string& text) {
  const size_t slash = path.rfind('/');
  const size_t base = slash == std::string::npos ? 0 : slash + 1;
  const std::string tmp = path.substr(0, base) + "." + path.substr(base) + strformat(".tmp-%ld", static_cast<long>(::getpid()));
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw output_error(path, "cannot write: " + std::string(std::strerror(errno)));
  int err = 0;
  for (size_t done = 0; done < text.size() && err == 0;) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) err = n < 0 ? errno : EIO;
    else done += static_cast<size_t>(n);
  }
  if (err == 0 && ::fsync(fd) != 0 && errno != EINVAL) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(tmp.c_str());
    throw output_error(path, "cannot write: " + std::string(std::strerror(err)));
  }
}

std::string summary_header() { return "name,status,exit_status,seconds,message\n"; }

std::string format_row(const SummaryRow& r) {
  return csv_field(r.name) + "," + csv_field(r.status) + "," +
         (r.exit_status < 0 ? std::string() : std::to_string(r.exit_status)) + "," +
         strformat("%.1f", r.seconds) + "," + csv_field(r.message) + "\n";
}

bool parse_row(const std::string& line, SummaryRow& r) {
  std::vector<std::string> f;
  if (!split_csv_record(line, f) || f.size() != 5) return false;
  r.name = f[0];
  r.status = f[1];
  char* end = nullptr;
  r.exit_status = f[2].empty() ? -1 : static_cast<int>(std::strtol(f[2].c_str(), &end, 10));
  r.seconds = std::strtod(f[3].c_str(), &end);
  r.message = f[4];
  return true;
}

BatchState::BatchState(std::string root) : root_(std::move(root)) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

std::string BatchState::output_dir(const std::string& name) const { return root_ + "/" + name; }
std::string BatchState::log_path(const std::string& name) const {
  return root_ + "/" + state_dir_name + "/" + name + ".log";
}
std::string BatchState::row_path(const std::string& name) const {
  return root_ + "/" + state_dir_name + "/" + name + ".csv";
}
std::string BatchState::done_path(const std::string& name) const {
  return root_ + "/" + state_dir_name + "/" + name + ".done";
}
std::string BatchState::summary_path() const { return root_ + "/" + summary_file_name; }

void BatchState::make_dirs() const {
  for (const std::string& d : {root_, root_ + "/" + state_dir_name}) {
    std::error_code ec;
    fs::create_directories(d, ec);
    if (!fs::is_directory(d))
      throw output_error(d, "cannot create the directory: " +
                                (ec ? ec.message() : std::string("a file of that name exists")));
  }
}

bool BatchState::finished_with(const std::string& name, const std::string& arguments) const {
  bool exists = false;
  const std::string recorded = read_file(done_path(name), &exists);
  return exists && recorded == arguments;
}

void BatchState::check_owned(const std::string& name) const {
  std::error_code ec;
  if (fs::symlink_status(output_dir(name), ec).type() == fs::file_type::not_found) return;
  if (!fs::exists(log_path(name), ec))
    throw output_error(output_dir(name), "exists but was not made by a batch in this root (no " +
                                             std::string(state_dir_name) + "/" + name +
                                             ".log); move it away or choose another root");
}

void BatchState::clear(const std::string& name) const {
  std::error_code ec;
  for (const std::string& f : {done_path(name), row_path(name)}) {
    if (::unlink(f.c_str()) != 0 && errno != ENOENT)
      throw output_error(f, "cannot remove: " + std::string(std::strerror(errno)));
  }
  fs::remove_all(output_dir(name), ec);
  if (ec) throw output_error(output_dir(name), "cannot clear for a new run: " + ec.message());
}

void BatchState::write_row(const SummaryRow& row) const {
  write_text_atomic(row_path(row.name), summary_header() + format_row(row));
}

void BatchState::write_done(const std::string& name, const std::string& arguments) const {
  write_text_atomic(done_path(name), arguments);
}

SummaryRow BatchState::read_row(const std::string& name) const {
  bool exists = false;
  const std::string text = read_file(row_path(name), &exists);
  SummaryRow row;
  const size_t eol = text.find('\n');
  if (exists && eol != std::string::npos) {
    std::string line = text.substr(eol + 1);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (parse_row(line, row) && row.name == name) return row;
  }
  row = SummaryRow{};
  row.name = name;
  row.status = status_not_run;
  return row;
}

std::vector<SummaryRow> BatchState::write_summary(const Manifest& m) const {
  std::vector<SummaryRow> rows;
  std::string text = summary_header();
  for (const Exposure& e : m.exposures) {
    rows.push_back(read_row(e.name));
    text += format_row(rows.back());
  }
  write_text_atomic(summary_path(), text);
  return rows;
}
