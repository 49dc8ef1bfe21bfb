// Pinned quality: a short joint run on the golden sample, measured by plenosr-eval against the
// sample's truth, must keep the gains the present algorithm makes, with a margin. Fast and
// reference paths agreeing cannot catch a change that makes both worse; this can.
//   quality_pinned SAMPLE_DIR WORK_DIR
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

std::string sample_dir, work_dir;

// One row of quality.csv by its stage name ("bicubic", "initial", "sr00", ...).
struct Figures {
  double psnr = 0, ssim = 0, rmse = 0, over_025 = 0, over_050 = 0;
  bool image = false, depth = false;
};

std::map<std::string, Figures> read_quality(const std::string& csv) {
  std::map<std::string, Figures> rows;
  std::istringstream in(csv);
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string t; f.size() < 11 && std::getline(fields, t, ',');) f.push_back(t);
    if (f.size() < 11) continue;
    Figures r;
    r.image = f[3] == "ok";
    r.depth = f[7] == "ok";
    if (r.image) {
      r.psnr = std::stod(f[4]);
      r.ssim = std::stod(f[5]);
    }
    if (r.depth) {
      r.rmse = std::stod(f[8]);
      r.over_025 = std::stod(f[9]);
      r.over_050 = std::stod(f[10]);
    }
    rows[f[0]] = r;
  }
  return rows;
}

std::string q(const std::string& s) { return "'" + s + "'"; }

TEST(Quality, ShortJointRunKeepsItsGains) {
  const std::string run = work_dir + "/joint", first = work_dir + "/first";
  ASSERT_EQ(run_command("rm -rf " + q(work_dir) + " && mkdir -p " + q(work_dir) + " && ln -s " +
                        q(sample_dir + "/raw") + " " + q(work_dir + "/raw")),
            0);
  std::string out, err;
  const std::string program = "cd " + q(work_dir) + " && " PLENOSR_BIN " --no-wait -q --threads 2 ";
  ASSERT_EQ(run_command(program + "--outer 0 --float-depth -o first", &out, &err), 0) << err;
  ASSERT_EQ(run_command(program + "--outer 3 --inner 2 -o joint", &out, &err), 0) << err;
  ASSERT_EQ(run_command(std::string(PLENOSR_TOOLS_DIR) + "/plenosr-eval " + q(run) + " " +
                        q(sample_dir + "/gt") + " --initial " + q(first), &out, &err),
            0)
      << err;
  std::cout << out;
  auto rows = read_quality(read_text_file(run + "/report/quality.csv"));
  ASSERT_TRUE(rows.count("bicubic") && rows.count("initial") && rows.count("sr02")) << out;
  const Figures bicubic = rows["bicubic"], initial = rows["initial"], last = rows["sr02"];
  ASSERT_TRUE(bicubic.image && initial.depth && last.image && last.depth) << out;

  // Bounds the present algorithm meets with a margin; measured values in the comments.
  EXPECT_GT(bicubic.psnr, 19.5);                              // 20.47 dB
  EXPECT_GT(last.psnr - bicubic.psnr, 2.5);                   // +3.38 dB (23.85)
  EXPECT_GT(last.ssim - bicubic.ssim, 0.2);                   // 0.473 -> 0.788
  EXPECT_LT(initial.rmse, 0.32);                              // 0.257
  EXPECT_LT(initial.over_050, 0.04);                          // 2.4 %
  EXPECT_LT(last.rmse, 0.28);                                 // 0.226
  EXPECT_LT(last.over_050, 0.03);                             // 1.4 %
  EXPECT_LT(last.over_025, initial.over_025 - 0.01);          // 15.5 % against 18.1 %
  // Every outer iteration improves the image.
  EXPECT_GT(rows["sr00"].psnr, bicubic.psnr);
  EXPECT_GT(rows["sr01"].psnr, rows["sr00"].psnr);
  EXPECT_GT(last.psnr, rows["sr01"].psnr);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc != 3) {
    std::cerr << "usage: quality_pinned SAMPLE_DIR WORK_DIR\n";
    return 2;
  }
  sample_dir = argv[1];
  work_dir = argv[2];
  return RUN_ALL_TESTS();
}
