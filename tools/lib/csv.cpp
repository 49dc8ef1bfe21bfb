// Comma-separated records: splitting one line into fields and quoting a field.
#include "lib/csv.h"

bool split_csv_record(std::string line, std::vector<std::string>& fields) {
  fields.clear();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  std::string field;
  size_t i = 0;
  for (;;) {
    field.clear();
    if (i < line.size() && line[i] == '"') {
      for (++i;; ++i) {
        if (i >= line.size()) return false;  // the quote is never closed
        if (line[i] == '"') {
          if (i + 1 < line.size() && line[i + 1] == '"') {
            field += '"';
            ++i;
          } else {
            ++i;
            break;
          }
        } else {
          field += line[i];
        }
      }
      if (i < line.size() && line[i] != ',') return false;  // text after the closing quote
    } else {
      while (i < line.size() && line[i] != ',') field += line[i++];
    }
    fields.push_back(field);
    if (i >= line.size()) return true;
    ++i;  // the comma
  }
}

std::string csv_field(const std::string& text) {
  const bool quote = text.find_first_of(",\"\r\n") != std::string::npos ||
                     (!text.empty() && (text.front() == ' ' || text.back() == ' '));
  if (!quote) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}
