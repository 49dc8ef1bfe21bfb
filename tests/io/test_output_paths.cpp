// Output names: the texts every run writes and the evaluator looks for, pinned literally.
#include <gtest/gtest.h>

#include "output_paths.h"

TEST(OutputPaths, NamesOfTheRunsFiles) {
  EXPECT_EQ(paths::view_dir(), "bigSR/view081/");
  EXPECT_EQ(paths::bicubic(), "bicubic.ppm");
  EXPECT_EQ(paths::depth_map(), "/bigSR/view081/depthmapbig.pgm");
  EXPECT_EQ(paths::diagnostic("motion60"), "bigSR/view081/motion60.ppm");
  EXPECT_EQ(paths::view_export(0), "view/view000.ppm");
  EXPECT_EQ(paths::view_export(80), "view/view080.ppm");
}

TEST(OutputPaths, ResultDirectoriesByWeightAndMode) {
  EXPECT_EQ(paths::sr_dir(3.0, true), "bigSR/view081/L1/3.0/joint/");
  EXPECT_EQ(paths::sr_dir(1.5, false), "bigSR/view081/L1/1.5/");
  // One decimal, rounded as printf rounds; large weights keep every digit.
  EXPECT_EQ(paths::mu_name(0.25), "0.2");
  EXPECT_EQ(paths::mu_name(1e9), "1000000000.0");
  EXPECT_EQ(paths::sr_dir("3.0", true), paths::sr_dir(3.0, true));
  EXPECT_EQ(paths::sr_log(3.0, true), "bigSR/view081/L1/3.0/joint/normerror.txt");
  EXPECT_EQ(paths::sr_result(3.0, true, 0), "bigSR/view081/L1/3.0/joint/sr00.ppm");
  EXPECT_EQ(paths::sr_depth(3.0, true, 14), "bigSR/view081/L1/3.0/joint/depth/depth14.pgm");
  // From 100 on the index takes three digits.
  EXPECT_EQ(paths::result_name(100), "sr100.ppm");
  EXPECT_EQ(paths::depth_name(7), "depth/depth07.pgm");
}
