// Quality measures on known cases, the reading of a run's files and the report written from
// them. The report of a real run is checked by quality_pinned (tests/quality/).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <opencv2/imgcodecs.hpp>

#include "errors.h"
#include "imageio.h"
#include "lib/metrics.h"
#include "lib/report.h"
#include "lib/truth_files.h"
#include "output_paths.h"
#include "rawDepthEstimation.h"
#include "test_support.h"
#include "textformat.h"

namespace {

// Values 20..230 so that an offset of a few levels never saturates.
cv::Mat test_image(cv::Size size, unsigned seed) {
  cv::Mat m = random_image(size, CV_8UC3, seed), out;
  m.convertTo(out, CV_8UC3, 210.0 / 255.0, 20);
  return out;
}

void write(const std::string& path, const cv::Mat& m) { ASSERT_TRUE(cv::imwrite(path, m)) << path; }

}  // namespace

TEST(Metrics, KnownCases) {
  const cv::Mat a = test_image(cv::Size(90, 70), 1);
  EXPECT_TRUE(std::isinf(psnr(a, a, 16)));
  EXPECT_EQ(ssim(a, a, 16), 1.0);

  // A constant offset of 5 levels: MSE 25, PSNR 20 log10(255 / 5).
  const cv::Mat b = a + cv::Scalar::all(5);
  EXPECT_NEAR(psnr(b, a, 16), 20 * std::log10(255.0 / 5), 1e-9);
  cv::Mat af;
  a.convertTo(af, CV_32FC3);
  EXPECT_NEAR(psnr(b, af, 0), 20 * std::log10(255.0 / 5), 1e-9);  // 8-bit against float truth
  const double s = ssim(b, a, 16);
  EXPECT_LT(s, 1.0);
  EXPECT_GT(s, 0.99);
  EXPECT_LT(ssim(test_image(a.size(), 2), a, 16), 0.2);  // unrelated images

  // Only the interior counts.
  cv::Mat c = a.clone();
  c.row(3).setTo(cv::Scalar::all(0));
  EXPECT_TRUE(std::isinf(psnr(c, a, 16)));
  EXPECT_FALSE(std::isinf(psnr(c, a, 2)));
}

TEST(Metrics, DepthErrorShares) {
  cv::Mat truth(40, 50, CV_32F, cv::Scalar(0.5f)), est = truth.clone();
  // Interior 30 x 40 with border 5 = 1200 pixels: 120 off by 0.3, 60 off by -0.75, one NaN.
  int n = 0;
  for (int y = 5; y < 35; ++y)
    for (int x = 5; x < 45; ++x, ++n) {
      if (n < 120) est.at<float>(y, x) = 0.8f;
      else if (n < 180) est.at<float>(y, x) = -0.25f;
      else if (n == 180) est.at<float>(y, x) = std::nanf("");
    }
  est.at<float>(0, 0) = 100;  // border: ignored
  const DepthError e = depth_error(est, truth, 5);
  EXPECT_NEAR(e.over_025, 181.0 / 1200, 1e-12);
  EXPECT_NEAR(e.over_050, 61.0 / 1200, 1e-12);
  const double d1 = 0.8f - 0.5f, d2 = -0.25f - 0.5f;
  EXPECT_NEAR(e.rmse, std::sqrt((120 * d1 * d1 + 60 * d2 * d2) / 1199), 1e-9);
}

TEST(Metrics, GreyDepthReadsBackWhatTheProgramWrote) {
  const Geometry g;
  EXPECT_FLOAT_EQ(disparity_from_grey(cv::Mat(1, 1, CV_8U, cv::Scalar(0)), -1, 1).at<float>(0), -2.2601476f);
  EXPECT_FLOAT_EQ(disparity_from_grey(cv::Mat(1, 1, CV_8U, cv::Scalar(255)), -1, 1).at<float>(0), 2.2601476f);
  // Through the program's own picture encoding and the image writer's rounding.
  cv::Mat d(1, 20, CV_32F);
  for (int i = 0; i < 20; ++i) d.at<float>(i) = -2.2601476f + 0.2249f * i;
  cv::Mat grey;
  depth_to_grey(d, -1, 1, g).convertTo(grey, CV_8U);
  const cv::Mat back = disparity_from_grey(grey, -1, 1);
  const double half_level = 4.5202951 / 255 / 2;
  for (int i = 0; i < 20; ++i) EXPECT_NEAR(back.at<float>(i), d.at<float>(i), half_level + 1e-6) << i;
}

TEST(Report, EnergyLogKeepsTheLastRun) {
  const std::string log =
      "--------- norm error ------------\nite\t0\n0\t9\t\tE_SR\t9\tRegular\t\t1\n"
      "--------- norm error ------------\nite\t0\n0\t500.5\t\tE_SR\t620\tRegular\t\t119.5\n"
      "1\t400\t\tE_SR\t510\tRegular\t\t110\ngarbage line\nite\t1\n0\t3.5e+02\t\tE_SR\t4.6e+02\tRegular\t\t1e-05\n";
  const std::vector<EnergyStep> s = parse_energy_log(log);
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[0].outer, 0);
  EXPECT_EQ(s[1].step, 1);
  EXPECT_DOUBLE_EQ(s[0].error, 500.5);
  EXPECT_DOUBLE_EQ(s[0].energy, 620);
  EXPECT_DOUBLE_EQ(s[0].regular, 119.5);
  EXPECT_EQ(s[2].outer, 1);
  EXPECT_DOUBLE_EQ(s[2].error, 350);
  EXPECT_DOUBLE_EQ(s[2].regular, 1e-05);
}

TEST(Report, RunFilesArePairedAndMissingOnesReported) {
  // A hand-made run tree on a small grid: bicubic off by 4 levels, sr00 exact, sr01 missing
  // while its depth map exists, depth00 the truth's picture.
  const std::string root = make_temp_dir("evaltree"), gt = root + "/gt/", run = root + "/result/";
  const Output out(run);
  out.make_dirs(paths::sr_dir(3.0, true) + paths::depth_subdir);
  Output(gt).make_dirs("");
  const cv::Mat truth8 = test_image(cv::Size(64, 48), 3);
  cv::Mat truth;
  truth8.convertTo(truth, CV_32FC3);
  cv::Mat disparity(48, 64, CV_32F, cv::Scalar(0.5f));
  disparity(cv::Rect(0, 0, 32, 48)).setTo(-1.0f);
  write(gt + truth_colour_pfm, truth);
  write(gt + truth_disparity_pfm, disparity);
  write(run + paths::bicubic(), truth8 + cv::Scalar::all(4));
  const std::string joint = run + paths::sr_dir(3.0, true);
  write(joint + paths::result_name(0), truth8);
  write(joint + paths::depth_name(0), depth_to_grey(disparity + 0.5, -1, 1, Geometry()));
  write(joint + "depth/depth00.pfm", disparity);  // a float map beside the picture wins
  write(joint + paths::depth_name(1), depth_to_grey(disparity + 1.0, -1, 1, Geometry()));
  std::ofstream(joint + paths::log_name) << "---\nite\t0\n0\t5\t\tE_SR\t6\tRegular\t\t1\n";

  const Truth t = read_truth(gt);
  EvalOptions o;
  o.border = 4;
  const RunFiles files = find_run_files(run);
  ASSERT_EQ(files.sets.size(), 1u);
  EXPECT_EQ(files.sets[0].label, "L1/3.0/joint");
  EXPECT_EQ(files.sets[0].iterations, (std::vector<int>{0, 1}));
  const std::vector<QualityRow> rows = evaluate_run(files, t, o);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].image_state, FileState::ok);
  EXPECT_NEAR(rows[0].psnr, 20 * std::log10(255.0 / 4), 1e-9);
  EXPECT_TRUE(rows[0].depth.empty());
  // A joint run rewrote its first depth map: the row says so instead of measuring the last one.
  EXPECT_EQ(rows[1].stage, "initial");
  EXPECT_EQ(rows[1].depth_state, FileState::not_kept);
  EXPECT_FALSE(rows[1].note.empty());
  EXPECT_TRUE(std::isinf(rows[2].psnr));
  EXPECT_EQ(rows[2].depth_state, FileState::ok);
  EXPECT_EQ(rows[2].depth_error.rmse, 0.0);
  EXPECT_EQ(rows[2].depth_error.over_025, 0.0);
  EXPECT_EQ(rows[3].image_state, FileState::missing);
  EXPECT_EQ(rows[3].depth_state, FileState::ok);
  EXPECT_NEAR(rows[3].depth_error.over_050, 1.0, 1e-12);  // 1.0 off (clamped at the top: 0.76)

  const std::string table = format_table(rows);
  EXPECT_NE(table.find("missing"), std::string::npos);
  EXPECT_NE(table.find("inf"), std::string::npos);
  EXPECT_NE(table.find("not kept"), std::string::npos);
  EXPECT_NE(format_csv(rows).find(",not kept,"), std::string::npos);

  // The first map from the root of a run without re-estimation, given with --initial; a
  // joint run's root is refused there.
  const std::string first = root + "/first/";
  Output(first).make_dirs(paths::view_dir());
  write(first + paths::depth_map().substr(1), depth_to_grey(disparity, -1, 1, Geometry()));
  write(first + paths::view_dir() + "depthmapbig.pfm", disparity + 0.375);
  EvalOptions with_initial = o;
  with_initial.initial_root = first;
  const std::vector<QualityRow> again = evaluate_run(files, t, with_initial);
  ASSERT_EQ(again.size(), 4u);
  EXPECT_EQ(again[1].depth_state, FileState::ok);
  EXPECT_NEAR(again[1].depth_error.rmse, 0.375, 1e-6);
  EXPECT_EQ(again[1].depth_error.over_025, 1.0);
  EXPECT_EQ(again[1].depth_error.over_050, 0.0);
  EXPECT_TRUE(again[1].note.empty());
  with_initial.initial_root = run;
  EXPECT_THROW(evaluate_run(files, t, with_initial), RunError);
  // A run that never re-estimates keeps its first map itself.
  const std::vector<QualityRow> plain = evaluate_run(find_run_files(first), t, o);
  ASSERT_EQ(plain.size(), 2u);
  EXPECT_EQ(plain[0].image_state, FileState::missing);
  EXPECT_NEAR(plain[1].depth_error.rmse, 0.375, 1e-6);

  const std::vector<std::string> written = write_report(files, t, rows, o);
  EXPECT_EQ(written.size(), 5u);
  for (const std::string& f : written)
    if (f.size() > 4 && f.substr(f.size() - 4) == ".png") {
      EXPECT_FALSE(cv::imread(f).empty()) << f;
    }
  EXPECT_EQ(read_text_file(run + "report/quality.csv"), format_csv(rows));
  std::system(("rm -rf '" + root + "'").c_str());
}

TEST(Report, QualityModeBesideTheExactMode) {
  // One root holding an exact joint run (two iterations) and a quality run (its own bicubic
  // image and first depth map, two iterations).
  const std::string root = make_temp_dir("evalmodes"), gt = root + "/gt/", run = root + "/result/";
  const Output out(run);
  out.make_dirs("bigSR/view081/L1/3.0/joint/depth/");
  out.make_dirs("bigSR/view081/quality/depth/");
  Output(gt).make_dirs("");
  const cv::Mat truth8 = test_image(cv::Size(64, 48), 9);
  cv::Mat truth;
  truth8.convertTo(truth, CV_32FC3);
  const cv::Mat disparity(48, 64, CV_32F, cv::Scalar(0.25f));
  write(gt + truth_colour_pfm, truth);
  write(gt + truth_disparity_pfm, disparity);
  const std::string joint = run + "bigSR/view081/L1/3.0/joint/", q = run + "bigSR/view081/quality/";
  for (int it : {0, 1}) {
    write(joint + strformat("sr%02d.ppm", it), truth8 + cv::Scalar::all(8 - 4 * it));
    write(joint + strformat("depth/depth%02d.pfm", it), disparity + 0.5f);
    write(joint + strformat("depth/depth%02d.pgm", it), depth_to_grey(disparity, -1, 1, Geometry()));
    write(q + strformat("sr%02d.ppm", it), truth8 + cv::Scalar::all(2 - it));
    write(q + strformat("depth/depth%02d.pgm", it), depth_to_grey(disparity, -1, 1, Geometry()));
    write(q + strformat("depth/depth%02d.pfm", it), disparity + (it == 0 ? 0.3f : 0.0f));
  }
  write(q + "bicubic.ppm", truth8 + cv::Scalar::all(16));
  write(q + "depthmapbig.pfm", disparity - 0.6f);
  write(q + "depthmapbig.pgm", depth_to_grey(disparity, -1, 1, Geometry()));

  const Truth t = read_truth(gt);
  EvalOptions o;
  o.border = 4;
  const RunFiles files = find_run_files(run);
  ASSERT_EQ(files.sets.size(), 2u);
  EXPECT_EQ(files.sets[0].label, "L1/3.0/joint");
  EXPECT_EQ(files.sets[1].label, "quality");
  EXPECT_EQ(files.sets[1].iterations, (std::vector<int>{0, 1}));
  const std::vector<QualityRow> rows = evaluate_run(files, t, o);
  // bicubic (the quality run's, as the root holds none), initial, 2 exact, initial and 2 quality.
  ASSERT_EQ(rows.size(), 7u);
  EXPECT_EQ(rows[0].image, "bigSR/view081/quality/bicubic.ppm");
  EXPECT_NEAR(rows[0].psnr, 20 * std::log10(255.0 / 16), 1e-9);
  EXPECT_EQ(rows[1].depth_state, FileState::not_kept);  // the exact run rewrote its first map
  EXPECT_EQ(rows[4].stage, "initial");
  EXPECT_EQ(rows[4].set, "quality");
  EXPECT_NEAR(rows[4].depth_error.rmse, 0.6, 1e-6);
  EXPECT_EQ(rows[6].set, "quality");
  EXPECT_NEAR(rows[6].psnr, 20 * std::log10(255.0 / 1), 1e-9);

  const std::string table = format_mode_table(rows);
  // Rows: header, then bicubic, initial and final per mode.
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 7 + 1) << table;  // + the note line
  EXPECT_NE(table.find("final sr01  exact"), std::string::npos) << table;
  EXPECT_NE(table.find("final sr01  quality"), std::string::npos) << table;
  EXPECT_NE(table.find(strformat("%.2f", 20 * std::log10(255.0 / 4))), std::string::npos) << table;
  EXPECT_NE(table.find("48.13"), std::string::npos) << table;  // quality's final: off by 1
  EXPECT_NE(table.find("0.600"), std::string::npos) << table;  // quality's first depth map
  // Without the quality run there is nothing to set side by side.
  std::vector<QualityRow> exact_only;
  for (const QualityRow& r : rows)
    if (r.set != "quality") exact_only.push_back(r);
  EXPECT_EQ(format_mode_table(exact_only), "");
  std::system(("rm -rf '" + root + "'").c_str());
}
