// Finding a run's results, measuring them, and writing the CSV and the plots (the text table
// is in report_table.cpp).
#include "report.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <regex>
#include <sstream>

#include "errors.h"
#include "imageio.h"
#include "output_paths.h"
#include "plot.h"
#include "textformat.h"
#include "truth_files.h"

namespace fs = std::filesystem;

namespace {

std::string with_slash(std::string s) {
  if (s.empty()) s = ".";
  if (s.back() != '/') s += '/';
  return s;
}

bool is_file(const std::string& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec);
}

std::string read_text(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// Numbers NN of the files in dir whose names match prefix NN suffix.
void collect_indices(const std::string& dir, const std::string& prefix, const std::string& suffix,
                     std::vector<int>& out) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return;
  const std::regex pattern(prefix + "([0-9]+)" + std::regex_replace(suffix, std::regex("\\."), "\\."));
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    std::smatch m;
    const std::string name = entry.path().filename().string();
    if (std::regex_match(name, m, pattern) && m[1].length() < 9) out.push_back(std::stoi(m[1]));
  }
}

}  // namespace

void add_quality_set(RunFiles& run) {
  ResultSet s;
  s.label = "quality";
  s.dir = run.root + paths::quality_dir();
  s.joint = s.quality = true;
  std::error_code ec;
  if (!fs::is_directory(s.dir, ec)) return;
  collect_indices(s.dir, "sr", ".ppm", s.iterations);
  collect_indices(s.dir + "depth/", "depth", ".pgm", s.iterations);
  std::sort(s.iterations.begin(), s.iterations.end());
  s.iterations.erase(std::unique(s.iterations.begin(), s.iterations.end()), s.iterations.end());
  run.sets.push_back(s);
}

RunFiles find_run_files(const std::string& rundir) {
  RunFiles run;
  run.root = with_slash(rundir);
  const std::string l1 = run.root + paths::sr_root();
  std::error_code ec;
  if (!fs::is_directory(l1, ec)) {
    add_quality_set(run);
    return run;
  }
  std::vector<std::string> mus;
  for (const auto& entry : fs::directory_iterator(l1, ec))
    if (entry.is_directory()) mus.push_back(entry.path().filename().string());
  std::sort(mus.begin(), mus.end());
  for (const std::string& mu : mus) {
    for (bool joint : {true, false}) {
      ResultSet s;
      s.joint = joint;
      s.label = "L1/" + mu + (joint ? "/joint" : "");
      s.dir = run.root + paths::sr_dir(mu, joint);
      collect_indices(s.dir, paths::result_prefix, paths::result_suffix, s.iterations);
      if (joint)
        collect_indices(s.dir + paths::depth_subdir, paths::depth_prefix, paths::depth_suffix,
                        s.iterations);
      std::sort(s.iterations.begin(), s.iterations.end());
      s.iterations.erase(std::unique(s.iterations.begin(), s.iterations.end()), s.iterations.end());
      const bool has_log = is_file(s.dir + paths::log_name);
      if (joint ? fs::is_directory(s.dir, ec) : (!s.iterations.empty() || has_log)) run.sets.push_back(s);
    }
  }
  add_quality_set(run);
  return run;
}

const char* state_text(FileState s) {
  switch (s) {
    case FileState::ok: return "ok";
    case FileState::missing: return "missing";
    case FileState::unreadable: return "unreadable";
    case FileState::wrong_size: return "wrong size";
    case FileState::none: return "-";
    case FileState::not_kept: return "not kept";
  }
  return "?";
}

namespace {

// Ground-truth files are PFM or PNG, which the program's own input reader (TIFF only) refuses.
cv::Mat read_truth_image(const std::string& path, int type, const std::string& what) {
  if (!is_file(path)) throw input_error(path, "cannot open " + what + ": no such file");
  cv::Mat m;
  try {
    m = cv::imread(path, cv::IMREAD_UNCHANGED);
  } catch (const cv::Exception&) {
  }
  if (m.empty()) throw input_error(path, "cannot decode " + what);
  if (m.type() != type)
    throw input_error(path, "expected an " + describe_type(type) + " " + what + ", found " +
                                describe_type(m.type()));
  return m;
}

}  // namespace

Truth read_truth(const std::string& gtdir) {
  const std::string dir = with_slash(gtdir);
  Truth t;
  if (is_file(dir + truth_colour_pfm))
    t.colour = read_truth_image(dir + truth_colour_pfm, CV_32FC3, "ground-truth image");
  else
    t.colour = read_truth_image(dir + truth_colour_png, CV_8UC3, "ground-truth image");
  t.disparity = read_truth_image(dir + truth_disparity_pfm, CV_32F, "ground-truth disparity");
  if (t.disparity.size() != t.colour.size())
    throw input_error(dir + truth_disparity_pfm, "expected the size of the ground-truth image");
  return t;
}

namespace {

cv::Mat read_result(const std::string& path, FileState& state, cv::Size expect, int type) {
  if (!is_file(path)) {
    state = FileState::missing;
    return cv::Mat();
  }
  cv::Mat m;
  try {
    m = cv::imread(path, cv::IMREAD_UNCHANGED);
  } catch (const cv::Exception&) {
    m.release();
  }
  if (m.empty()) {
    state = FileState::unreadable;
    return m;
  }
  if (m.size() != expect || m.type() != type) {
    state = FileState::wrong_size;
    return cv::Mat();
  }
  state = FileState::ok;
  return m;
}

}  // namespace

cv::Mat read_depth(const std::string& pgm_path, const EvalOptions& o, FileState& state, cv::Size expect) {
  const std::string pfm = pgm_path.substr(0, pgm_path.size() - 4) + ".pfm";
  if (is_file(pfm)) return read_result(pfm, state, expect, CV_32F);
  cv::Mat grey = read_result(pgm_path, state, expect, CV_8U);
  if (state != FileState::ok) return cv::Mat();
  return disparity_from_grey(grey, o.min_disparity, o.max_disparity);
}

namespace {

// Whether a joint set went through re-estimations, each of which rewrites depthmapbig.
bool depth_rewritten(const RunFiles& run) {
  for (const ResultSet& s : run.sets)
    if (s.joint && !s.quality && !s.iterations.empty()) return true;
  return false;
}

}  // namespace

std::vector<QualityRow> evaluate_run(const RunFiles& run, const Truth& truth, const EvalOptions& o) {
  std::vector<QualityRow> rows;
  const SsimTruth ssim_truth(truth.colour);
  auto measure = [&](QualityRow& row) {
    if (!row.image.empty()) {
      const cv::Mat img = read_result(run.root + row.image, row.image_state, truth.colour.size(), CV_8UC3);
      if (row.image_state == FileState::ok) {
        row.psnr = psnr(img, truth.colour, o.border);
        row.ssim = ssim_truth.ssim(img, o.border);
      }
    }
    if (!row.depth.empty()) {
      const std::string root = row.depth_root.empty() ? run.root : row.depth_root;
      const cv::Mat d = read_depth(root + row.depth, o, row.depth_state, truth.colour.size());
      if (row.depth_state == FileState::ok) row.depth_error = depth_error(d, truth.disparity, o.border);
    }
  };
  QualityRow first;
  first.stage = "bicubic";
  first.image = paths::bicubic();
  // A run of the quality mode alone keeps its bicubic image beside its results.
  for (const ResultSet& s : run.sets)
    if (s.quality && !is_file(run.root + first.image) && is_file(s.dir + paths::bicubic()))
      first.image = s.dir.substr(run.root.size()) + paths::bicubic();
  measure(first);
  rows.push_back(first);
  // The first depth estimate, made from the bicubic image.
  QualityRow initial;
  initial.stage = "initial";
  const std::string depth_file = paths::depth_map().substr(1);
  if (!o.initial_root.empty()) {
    const RunFiles other = find_run_files(o.initial_root);
    if (depth_rewritten(other))
      throw input_error(o.initial_root, "expected the output root of a run with --outer 0 or --no-joint, found "
                                        "a joint run whose depthmapbig.pgm is its last re-estimation");
    initial.set = other.root;
    initial.depth_root = other.root;
    initial.depth = depth_file;
  } else if (depth_rewritten(run)) {
    initial.depth_state = FileState::not_kept;
    initial.note = "every joint re-estimation rewrites depthmapbig.pgm; measure the first estimate with "
                   "--initial and the output root of an --outer 0 run on the same inputs";
  } else {
    initial.depth = depth_file;
  }
  measure(initial);
  // A root of the quality mode alone has no exact first depth map to report.
  bool exact_sets = false;
  for (const ResultSet& s : run.sets) exact_sets = exact_sets || !s.quality;
  if (exact_sets || initial.depth_state != FileState::missing || run.sets.empty()) rows.push_back(initial);
  for (const ResultSet& s : run.sets) {
    const std::string rel = s.dir.substr(run.root.size());
    if (s.quality) {  // the quality mode keeps its first depth map
      QualityRow row;
      row.stage = "initial";
      row.set = s.label;
      row.depth = rel + "depthmapbig.pgm";
      measure(row);
      rows.push_back(row);
    }
    if (s.iterations.empty()) {
      QualityRow none;
      none.stage = "sr";
      none.set = s.label;
      none.image = rel + paths::result_name(0);
      none.image_state = FileState::missing;
      rows.push_back(none);
      continue;
    }
    for (int it : s.iterations) {
      QualityRow row;
      row.stage = strformat("sr%02d", it);
      row.set = s.label;
      row.iteration = it;
      row.image = rel + paths::result_name(it);
      if (s.joint) row.depth = rel + paths::depth_name(it);
      measure(row);
      rows.push_back(row);
    }
  }
  return rows;
}

namespace {

cv::Mat to_8bit(const cv::Mat& m) {
  cv::Mat out;
  m.convertTo(out, CV_8UC3);
  return out;
}

// A captioned panel; an empty image gives a grey panel reading "missing".
cv::Mat panel(const cv::Mat& img, cv::Size size, const std::string& caption) {
  cv::Mat p(size.height + 30, size.width, CV_8UC3, cv::Scalar::all(255));
  if (img.empty()) {
    p(cv::Rect(0, 30, size.width, size.height)).setTo(cv::Scalar::all(160));
    put_text(p, "missing", cv::Point(size.width / 2 - 40, 30 + size.height / 2), 0.8);
  } else {
    cv::Mat scaled;
    cv::resize(img, scaled, size, 0, 0, img.cols < size.width ? cv::INTER_NEAREST : cv::INTER_AREA);
    scaled.copyTo(p(cv::Rect(0, 30, size.width, size.height)));
  }
  put_text(p, caption, cv::Point(4, 21), 0.45);
  return p;
}

cv::Mat side_by_side(const std::vector<cv::Mat>& panels) {
  cv::Mat out;
  std::vector<cv::Mat> spaced;
  for (size_t i = 0; i < panels.size(); ++i) {
    if (i > 0) spaced.push_back(cv::Mat(panels[i].rows, 10, CV_8UC3, cv::Scalar::all(255)));
    spaced.push_back(panels[i]);
  }
  cv::hconcat(spaced, out);
  return out;
}

// The window of the ground truth with the most detail (sum of squared gradients).
cv::Rect detailed_window(const cv::Mat& truth, int side, int border) {
  cv::Mat grey, gx, gy;
  cv::cvtColor(to_8bit(truth), grey, cv::COLOR_BGR2GRAY);
  cv::Sobel(grey, gx, CV_32F, 1, 0);
  cv::Sobel(grey, gy, CV_32F, 0, 1);
  const cv::Mat energy = gx.mul(gx) + gy.mul(gy);
  cv::Mat sums;
  cv::integral(energy, sums, CV_64F);
  cv::Rect best(0, 0, std::min(side, truth.cols), std::min(side, truth.rows));
  double best_sum = -1;
  const int step = std::max(1, side / 4);
  for (int y = border; y + side <= truth.rows - border; y += step)
    for (int x = border; x + side <= truth.cols - border; x += step) {
      const double s = sums.at<double>(y + side, x + side) - sums.at<double>(y, x + side) -
                       sums.at<double>(y + side, x) + sums.at<double>(y, x);
      if (s > best_sum) {
        best_sum = s;
        best = cv::Rect(x, y, side, side);
      }
    }
  return best;
}

}  // namespace

std::vector<std::string> write_report(const RunFiles& run, const Truth& truth,
                                      const std::vector<QualityRow>& rows, const EvalOptions& o) {
  const Output out(o.report_dir.empty() ? run.root + "report/" : o.report_dir);
  out.make_dirs("");
  const std::string csv = format_csv(rows);
  write_file_atomic(out.path("quality.csv"), std::vector<uchar>(csv.begin(), csv.end()));
  std::vector<std::string> written{out.path("quality.csv")};

  const cv::Scalar palette[] = {{200, 80, 20}, {30, 30, 200}, {40, 150, 40}, {150, 40, 150}, {20, 140, 200}};
  // PSNR against outer iteration, one line per result set; bicubic as a dashed level.
  {
    std::vector<PlotSeries> series;
    int lo = 0, hi = 0;
    for (size_t s = 0; s < run.sets.size(); ++s) {
      PlotSeries p{run.sets[s].label, palette[s % 5], {}, {}};
      for (const QualityRow& r : rows)
        if (r.set == run.sets[s].label && r.image_state == FileState::ok && r.iteration >= 0) {
          p.x.push_back(r.iteration);
          p.y.push_back(r.psnr);
          hi = std::max(hi, r.iteration);
        }
      series.push_back(p);
    }
    if (!rows.empty() && rows[0].image_state == FileState::ok && std::isfinite(rows[0].psnr))
      series.push_back(PlotSeries{"bicubic", cv::Scalar::all(90), {double(lo), double(std::max(hi, 1))},
                                  {rows[0].psnr, rows[0].psnr}, true});
    out.write_image("psnr.png", draw_plot("PSNR against outer iteration", "outer iteration", "PSNR dB", series));
  }
  // Logged energies against inner step, of the first set that has a log.
  {
    std::vector<PlotSeries> series;
    std::string label = "no log";
    for (const ResultSet& s : run.sets) {
      const std::vector<EnergyStep> steps = parse_energy_log(read_text(s.dir + "normerror.txt"));
      if (steps.empty()) continue;
      label = s.label;
      bool positive = true;
      for (const EnergyStep& e : steps) positive = positive && e.error > 0 && e.energy > 0 && e.regular > 0;
      auto f = [&](double v) { return positive ? std::log10(v) : v; };
      PlotSeries E{"E (data)", palette[0], {}, {}}, ESR{"E_SR", palette[1], {}, {}}, R{"Regular", palette[2], {}, {}};
      for (size_t i = 0; i < steps.size(); ++i) {
        for (PlotSeries* p : {&E, &ESR, &R}) p->x.push_back(static_cast<double>(i));
        E.y.push_back(f(steps[i].error));
        ESR.y.push_back(f(steps[i].energy));
        R.y.push_back(f(steps[i].regular));
      }
      series = {E, ESR, R};
      label += positive ? ", log10 scale" : "";
      break;
    }
    out.write_image("energy.png", draw_plot("Logged energies (" + label + ")", "inner step (all outer iterations)",
                                            label.find("log10") != std::string::npos ? "log10 energy" : "energy",
                                            series));
  }
  // Final depth beside the truth.
  {
    const QualityRow* last = nullptr;
    for (const QualityRow& r : rows)
      if (!r.depth.empty() && r.depth_state == FileState::ok) last = &r;
    cv::Mat depth;
    if (last != nullptr) {
      FileState st;
      depth = read_depth((last->depth_root.empty() ? run.root : last->depth_root) + last->depth, o, st,
                         truth.colour.size());
    }
    const cv::Size sz(truth.colour.cols * 2 / 5, truth.colour.rows * 2 / 5);
    const std::string caption = last ? last->depth : std::string("depth map");
    out.write_image("depth.png",
                    side_by_side({panel(depth.empty() ? cv::Mat() : colour_disparity(depth), sz, caption),
                                  panel(colour_disparity(truth.disparity), sz, "ground truth")}));
  }
  // Same-place crops: truth, bicubic, last result.
  {
    const cv::Rect w = detailed_window(truth.colour, 128, o.border);
    auto crop_of = [&](const std::string& rel) {
      FileState st;
      cv::Mat m = read_result(run.root + rel, st, truth.colour.size(), CV_8UC3);
      return m.empty() ? m : m(w).clone();
    };
    const QualityRow* last = nullptr;
    for (const QualityRow& r : rows)
      if (r.iteration >= 0 && r.image_state == FileState::ok) last = &r;
    const cv::Size sz(w.width * 3, w.height * 3);
    const std::string where = strformat(" (rows %d-%d, cols %d-%d)", w.y, w.y + w.height - 1, w.x, w.x + w.width - 1);
    out.write_image("crops.png",
                    side_by_side({panel(to_8bit(truth.colour(w)), sz, "ground truth" + where),
                                  panel(crop_of("bicubic.ppm"), sz, "bicubic"),
                                  panel(last ? crop_of(last->image) : cv::Mat(), sz,
                                        last ? last->stage + " " + last->set : std::string("final result"))}));
  }
  for (const std::string& f : out.written()) written.push_back(f);
  return written;
}
