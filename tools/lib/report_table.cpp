// The quality rows as an aligned text table and as CSV.
#include <algorithm>
#include <cmath>

#include "report.h"
#include "textformat.h"

namespace {

std::string number_or_state(FileState s, double v, const char* fmt) {
  if (s != FileState::ok) return state_text(s);
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  if (std::isnan(v)) return "nan";
  return strformat(fmt, v);
}

std::vector<std::vector<std::string>> table_cells(const std::vector<QualityRow>& rows, bool csv) {
  std::vector<std::vector<std::string>> cells;
  if (csv)
    cells.push_back({"stage", "set", "image", "image_state", "psnr_db", "ssim", "depth", "depth_state",
                     "depth_rmse", "depth_over_0.25", "depth_over_0.5", "note"});
  else
    cells.push_back({"stage", "set", "PSNR dB", "SSIM", "depth RMSE", ">0.25", ">0.5"});
  for (const QualityRow& r : rows) {
    const FileState ds = r.depth.empty() && r.depth_state != FileState::not_kept ? FileState::none : r.depth_state;
    if (csv) {
      cells.push_back({r.stage, r.set, r.image, state_text(r.image_state),
                       number_or_state(r.image_state, r.psnr, "%.4f"),
                       number_or_state(r.image_state, r.ssim, "%.6f"), r.depth, state_text(ds),
                       number_or_state(ds, r.depth_error.rmse, "%.6f"),
                       number_or_state(ds, r.depth_error.over_025, "%.6f"),
                       number_or_state(ds, r.depth_error.over_050, "%.6f"), r.note});
    } else {
      cells.push_back({r.stage + (r.note.empty() ? "" : "*"), r.set, number_or_state(r.image_state, r.psnr, "%.2f"),
                       number_or_state(r.image_state, r.ssim, "%.4f"),
                       number_or_state(ds, r.depth_error.rmse, "%.3f"),
                       number_or_state(ds, 100 * r.depth_error.over_025, "%.1f%%"),
                       number_or_state(ds, 100 * r.depth_error.over_050, "%.1f%%")});
    }
  }
  return cells;
}

}  // namespace

std::string format_table(const std::vector<QualityRow>& rows) {
  const auto cells = table_cells(rows, false);
  std::vector<size_t> width(cells[0].size(), 0);
  for (const auto& row : cells)
    for (size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
  std::string out;
  for (const auto& row : cells) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      // Names left-aligned, numbers right-aligned.
      const std::string pad(width[c] - row[c].size(), ' ');
      line += (c > 0 ? "  " : "") + (c < 2 ? row[c] + pad : pad + row[c]);
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line + "\n";
  }
  for (const QualityRow& r : rows)
    if (!r.note.empty()) out += "* " + r.stage + ": " + r.note + "\n";
  return out;
}

namespace {

// Quotes a field that holds a separator, a quote or a line end.
std::string csv_field(const std::string& f) {
  if (f.find_first_of(",\"\n") == std::string::npos) return f;
  std::string q = "\"";
  for (char ch : f) q += ch == '"' ? std::string("\"\"") : std::string(1, ch);
  return q + "\"";
}

}  // namespace

std::string format_csv(const std::vector<QualityRow>& rows) {
  std::string out;
  for (const auto& row : table_cells(rows, true)) {
    for (size_t c = 0; c < row.size(); ++c) out += (c > 0 ? "," : "") + csv_field(row[c]);
    out += "\n";
  }
  return out;
}
