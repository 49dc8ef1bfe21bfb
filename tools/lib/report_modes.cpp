// The two reconstruction modes side by side: bicubic, first depth map and final result of
// the exact mode's set and of the quality mode's set.
#include "report.h"

namespace {

// Label of the exact mode's set to compare: the joint one if there is one, else the first.
std::string exact_label(const std::vector<QualityRow>& rows) {
  std::string first;
  for (const QualityRow& r : rows) {
    if (r.iteration < 0 || r.set == "quality") continue;
    if (r.set.size() >= 6 && r.set.compare(r.set.size() - 6, 6, "/joint") == 0) return r.set;
    if (first.empty()) first = r.set;
  }
  return first;
}

// The result row of the highest iteration of a set, or nullptr.
const QualityRow* final_row(const std::vector<QualityRow>& rows, const std::string& set) {
  const QualityRow* last = nullptr;
  for (const QualityRow& r : rows)
    if (r.set == set && r.iteration >= 0 && (last == nullptr || r.iteration > last->iteration)) last = &r;
  return last;
}

}  // namespace

std::string format_mode_table(const std::vector<QualityRow>& rows) {
  const std::string exact = exact_label(rows);
  const QualityRow* exact_final = exact.empty() ? nullptr : final_row(rows, exact);
  const QualityRow* quality_final = final_row(rows, "quality");
  if (exact_final == nullptr || quality_final == nullptr) return "";
  const QualityRow* bicubic = nullptr;
  const QualityRow* exact_initial = nullptr;
  const QualityRow* quality_initial = nullptr;
  for (const QualityRow& r : rows) {
    if (r.stage == "bicubic" && bicubic == nullptr) bicubic = &r;
    if (r.stage == "initial" && r.set == "quality") quality_initial = &r;
    else if (r.stage == "initial" && exact_initial == nullptr) exact_initial = &r;
  }
  std::vector<QualityRow> table;
  for (const char* mode : {"exact", "quality"}) {
    const bool q = std::string(mode) == "quality";
    if (bicubic != nullptr) {
      QualityRow r = *bicubic;
      r.set = mode;
      table.push_back(r);
    }
    if (const QualityRow* init = q ? quality_initial : exact_initial) {
      QualityRow r = *init;
      r.set = mode;
      table.push_back(r);
    }
    QualityRow r = q ? *quality_final : *exact_final;
    r.stage = "final " + r.stage;
    r.set = mode;
    table.push_back(r);
  }
  return format_table(table);
}
