// Reading and checking a batch manifest before anything runs.
#include "lib/manifest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "errors.h"
#include "lib/batch_state.h"
#include "lib/csv.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t max_name_length = 128;

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Empty if path names a regular file this process can read; otherwise the problem.
std::string unreadable_reason(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::strerror(errno);
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  ::close(fd);
  return "";
}

}  // namespace

std::string unsafe_name_reason(const std::string& name) {
  if (name.empty()) return "is empty";
  if (name.size() > max_name_length) return "is longer than 128 characters";
  if (name[0] == '.' || name[0] == '-') return "starts with '.' or '-'";
  for (char c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-')
      return "may hold only letters, digits, '.', '_' and '-'";
  if (lower(name) == lower(summary_file_name)) return "is the name of the batch summary";
  return "";
}

Manifest read_manifest(const std::string& path) {
  Manifest m;
  m.path = path;
  std::ifstream in(path, std::ios::binary);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw input_error(path, "cannot read the manifest: " + std::string(std::strerror(errno)));
  if (!S_ISREG(st.st_mode)) throw input_error(path, "cannot read the manifest: not a regular file");
  if (!in) throw input_error(path, "cannot read the manifest: " + std::string(std::strerror(errno)));
  const fs::path base = fs::absolute(fs::path(path)).parent_path();
  auto where = [&](int line) { return display_path(path) + ":" + std::to_string(line); };
  auto refuse = [&](int line, const std::string& problem) { return RunError(exit_input, where(line) + ": " + problem); };

  std::string text;
  std::vector<std::string> fields;
  int line = 0;
  std::map<std::string, int> column;  // column name -> field index
  size_t columns = 0;
  std::map<std::string, int> seen;  // lower-case name -> line
  while (std::getline(in, text)) {
    ++line;
    if (line == 1 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);  // byte-order mark
    if (text.find_first_not_of(" \t\r") == std::string::npos) {
      if (line == 1) throw refuse(1, "expected the header name,rgb,raw[,geometry], found an empty line");
      continue;
    }
    if (!split_csv_record(text, fields)) throw refuse(line, "a quoted field is not closed properly");
    if (column.empty()) {
      for (size_t i = 0; i < fields.size(); ++i) {
        const std::string f = lower(fields[i]);
        if (f != "name" && f != "rgb" && f != "raw" && f != "geometry")
          throw refuse(line, "unknown column '" + fields[i] + "'; expected name, rgb, raw and optionally geometry");
        if (column.count(f)) throw refuse(line, "column '" + f + "' appears twice");
        column[f] = static_cast<int>(i);
      }
      for (const char* need : {"name", "rgb", "raw"})
        if (!column.count(need)) throw refuse(line, std::string("missing column '") + need + "' in the header");
      m.has_geometry = column.count("geometry") > 0;
      columns = fields.size();
      continue;
    }
    if (fields.size() != columns)
      throw refuse(line, "expected " + std::to_string(columns) + " fields, found " + std::to_string(fields.size()));
    Exposure e;
    e.number = static_cast<int>(m.exposures.size()) + 1;
    e.line = line;
    e.name = fields[column["name"]];
    const std::string why = unsafe_name_reason(e.name);
    if (!why.empty()) throw refuse(line, "name '" + e.name + "' " + why);
    const auto [it, fresh] = seen.emplace(lower(e.name), line);
    if (!fresh)
      throw refuse(line, "name '" + e.name + "' is already used on line " + std::to_string(it->second) +
                             " (names differing only in case would share a directory on some file systems)");
    auto resolve = [&](const char* col, bool required) -> std::string {
      const std::string& f = fields[column[col]];
      if (f.empty()) {
        if (required) throw refuse(line, std::string("empty ") + col + " field");
        return "";
      }
      const std::string full = (base / fs::path(f)).lexically_normal().string();
      const std::string problem = unreadable_reason(full);
      if (!problem.empty()) throw refuse(line, std::string(col) + " file " + display_path(full) + ": " + problem);
      return full;
    };
    e.rgb = resolve("rgb", true);
    e.raw = resolve("raw", true);
    if (m.has_geometry) e.geometry = resolve("geometry", false);
    m.exposures.push_back(e);
  }
  if (in.bad()) throw input_error(path, "cannot read the manifest: " + std::string(std::strerror(errno)));
  if (column.empty()) throw refuse(1, "expected the header name,rgb,raw[,geometry], found an empty file");
  if (m.exposures.empty()) throw refuse(line, "no exposures after the header");
  return m;
}
