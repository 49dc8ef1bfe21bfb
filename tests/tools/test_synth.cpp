// The renderer against view extraction: samples land where the extraction reads them, a flat
// scene looks the same from every view, and parallax follows the program's disparity model;
// and the generator's truth files against the truth it renders.
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <set>
#include <vector>

#include "lib/render.h"
#include "PSF.h"
#include "execution.h"
#include "lib/scene.h"
#include "lib/truth_files.h"
#include "lib/white.h"
#include "test_support.h"
#include "viewCreate.h"

namespace {

// A value per (view, lenslet, channel) that differs between neighbours; never 0.
cv::Vec3f code(int i, int r, int c) {
  cv::Vec3f v;
  for (int ch = 0; ch < 3; ++ch) v[ch] = static_cast<float>((i * 31 + r * 7 + c * 3 + ch * 50) % 250 + 1);
  return v;
}

struct Extracted {
  std::vector<cv::Mat> views = std::vector<cv::Mat>(view_count);
  std::vector<cv::Mat> masks = std::vector<cv::Mat>(view_count);
};

Extracted extract(const cv::Mat& rgb, const cv::Mat& raw, const Geometry& g) {
  Extracted e;
  viewCreate vc(rgb, raw, g);
  vc.extract_viewandmask(raw, e.views.data(), e.masks.data());
  return e;
}

// A scene of one fronto-parallel layer over a background.
Scene two_planes(double d_front, const Shape& front_shape, const Texture& front, double d_back,
                 const Texture& back) {
  Layer b;
  b.d0 = d_back;
  b.texture = back;
  Layer f;
  f.d0 = d_front;
  f.shape = front_shape;
  f.texture = front;
  return Scene({b, f}, 7);
}

Texture flat(double v) {
  Texture t;
  t.a = t.b = cv::Vec3d(v, v, v);
  t.grain = 0;
  return t;
}

RenderOptions options_for(const Geometry& g) {
  RenderOptions o;
  o.raw_size = raw_size_for(g);
  return o;
}

}  // namespace

TEST(Synth, EverySampleIsReadBackAtItsViewPixelAndChannel) {
  // The built-in grid, and a unit's grid turned the other way, stretched and shifted.
  Geometry unit = small_geometry(12, 10);
  unit.theta = -0.0015;
  unit.pitch_x *= 1.0005;
  unit.origin_x += 5.3;
  unit.origin_y -= 2.6;
  for (const Geometry& g : {small_geometry(12, 10), unit}) {
  cv::Mat colour(raw_size_for(g), CV_32FC3, cv::Scalar::all(0));
  place_samples(g, colour, code);
  cv::Mat rgb, raw;
  quantise_exposure(colour, options_for(g), rgb, raw);
  const Extracted e = extract(rgb, raw, g);

  int checked = 0;
  for (int i = 0; i < view_count; ++i) {
    for (int r = 0; r < g.lens_rows; ++r) {
      for (int c = 0; c < g.lens_cols; ++c) {
        const int py = cvRound(g.lenslet_row(r, c)) + view_sample_dy(i);
        const int px = cvRound(g.lenslet_col(r, c)) + view_sample_dx(i);
        const int limit_rows = raw.rows - (r % 2), limit_cols = raw.cols - (r % 2);
        const int n = Geometry::lenslet_view_col(r, c);
        const int mask = e.masks[i].at<uchar>(r, n);
        if (py < 0 || py >= limit_rows || px < 0 || px >= limit_cols) {
          EXPECT_EQ(mask, no_sample) << "view " << i << " lenslet " << r << "," << c;
          continue;
        }
        const int ch = mosaic_channel(py, px);
        ASSERT_EQ(mask, ch) << "view " << i << " lenslet " << r << "," << c;
        ASSERT_EQ(e.views[i].at<cv::Vec3b>(r, n)[ch], code(i, r, c)[ch])
            << "view " << i << " lenslet " << r << "," << c;
        // The colour image holds the sample's full colour.
        const cv::Vec3b full = rgb.at<cv::Vec3b>(py, px);
        for (int k = 0; k < 3; ++k) ASSERT_EQ(full[k], code(i, r, c)[k]);
        ++checked;
      }
    }
  }
  // Only the border lenslets of some views fall outside.
  EXPECT_GT(checked, view_count * g.lens_rows * g.lens_cols * 3 / 4);
  }
}

TEST(Synth, WhiteExposureShowsMicroImagesAtTheGridsCentres) {
  Geometry g;
  g.sensor_rows = 800;
  g.sensor_cols = 1000;
  g.lens_rows = 66;
  g.lens_cols = 71;
  g.theta = -0.0012;
  g.origin_x = 4.2;
  WhiteOptions o;
  o.bits = 10;
  o.black = 64;
  const cv::Mat w = render_white(g, o);
  ASSERT_EQ(w.type(), CV_16UC1);
  ASSERT_EQ(w.size(), g.sensor_size());
  double lo, hi;
  cv::minMaxLoc(w, &lo, &hi);
  EXPECT_EQ(lo, 64);  // the gaps between micro-images
  EXPECT_LE(hi, 1023);

  // Lit pixels of the micro-image of lenslet (r, c) (of green filters: one response), and
  // their light-weighted centre.
  auto lit = [&](int r, int c, double& cy, double& cx) {
    const int y0 = static_cast<int>(g.centre_row(r, c)), x0 = static_cast<int>(g.centre_col(r, c));
    double s = 0, sy = 0, sx = 0;
    int count = 0;
    for (int y = y0 - 8; y <= y0 + 8; ++y)
      for (int x = x0 - 8; x <= x0 + 8; ++x) {
        if (mosaic_channel(y, x) != 1 || std::hypot(y - g.centre_row(r, c), x - g.centre_col(r, c)) > 7) continue;
        const double v = w.at<unsigned short>(y, x) - 64.0;
        count += v > 0;
        s += v, sy += v * y, sx += v * x;
      }
    cy = sy / s;
    cx = sx / s;
    return count;
  };
  double cy, cx;
  const int middle = lit(33, 35, cy, cx);
  EXPECT_NEAR(cy, g.centre_row(33, 35), 0.1);
  EXPECT_NEAR(cx, g.centre_col(33, 35), 0.1);
  // In the corner the second aperture clips the micro-image and pulls its centroid inwards.
  const int corner = lit(62, 68, cy, cx);
  EXPECT_LT(corner, middle * 0.85);
  EXPECT_LT(cy, g.centre_row(62, 68) - 0.5);
  EXPECT_LT(cx, g.centre_col(62, 68) - 0.5);
  o.cats_eye = 0;
  const cv::Mat unclipped = render_white(g, o);
  EXPECT_GT(cv::norm(unclipped, w, cv::NORM_L1), 0);
}

TEST(Synth, FlatSceneAtZeroDisparityLooksTheSameFromEveryView) {
  const Geometry g = small_geometry(12, 10);
  Texture busy;
  busy.kind = Texture::noise;
  busy.scale = 4;
  busy.grain = 0.3;
  Shape disc;
  disc.kind = Shape::disc;
  disc.cy = 20;
  disc.cx = 20;
  disc.radius = 8;
  const RenderOptions o = options_for(g);

  const Exposure flat0 = render_exposure(two_planes(0, disc, flat(200), 0, busy), g, o);
  const Extracted e = extract(flat0.rgb, flat0.raw, g);
  const Exposure deep = render_exposure(two_planes(1.5, disc, flat(200), -1, busy), g, o);
  const Extracted p = extract(deep.rgb, deep.raw, g);

  // Compare every view with the centre view's full-colour sample at the same view pixel.
  const int dy = view_sample_dy(center_view), dx = view_sample_dx(center_view);
  int differing_with_parallax = 0, compared = 0;
  for (int r = 0; r < g.lens_rows; ++r) {
    for (int c = 0; c < g.lens_cols; ++c) {
      const int py = cvRound(g.lenslet_row(r, c)) + dy, px = cvRound(g.lenslet_col(r, c)) + dx;
      if (py < 0 || px < 0 || py >= flat0.rgb.rows - 1 || px >= flat0.rgb.cols - 1) continue;
      const int n = Geometry::lenslet_view_col(r, c);
      for (int i = 0; i < view_count; ++i) {
        const int t = e.masks[i].at<uchar>(r, n);
        if (t == no_sample) continue;
        ASSERT_EQ(e.views[i].at<cv::Vec3b>(r, n)[t], flat0.rgb.at<cv::Vec3b>(py, px)[t])
            << "view " << i << " lenslet " << r << "," << c;
        ++compared;
        const int tp = p.masks[i].at<uchar>(r, n);
        if (p.views[i].at<cv::Vec3b>(r, n)[tp] != deep.rgb.at<cv::Vec3b>(py, px)[tp]) ++differing_with_parallax;
      }
    }
  }
  EXPECT_GT(compared, 1000);
  // The same comparison sees the parallax of a deep scene.
  EXPECT_GT(differing_with_parallax, compared / 4);
}

TEST(Synth, ParallaxFollowsTheDisparityModel) {
  // A white disc at disparity 2 over black: its centroid in view i moves by
  // (2 vy / 1.73205080757 * yscale / xscale, 2 vx) full-resolution pixels.
  const Geometry g = small_geometry(30, 26);
  Shape disc;
  disc.kind = Shape::disc;
  disc.cy = g.high_y / 2.0;
  disc.cx = g.high_x / 2.0;
  disc.radius = 14;
  const double d = 2.0;
  const Scene scene = two_planes(d, disc, flat(250), -1, flat(0));
  const Exposure x = render_exposure(scene, g, options_for(g));
  const Extracted e = extract(x.rgb, x.raw, g);

  auto centroid = [&](int i) {
    double sy = 0, sx = 0, sw = 0;
    for (int k = 0; k < g.low_y; ++k)
      for (int n = 0; n < g.low_x; ++n) {
        const int t = e.masks[i].at<uchar>(k, n);
        if (t == no_sample) continue;
        const double w = e.views[i].at<cv::Vec3b>(k, n)[t];
        sy += w * k * g.yscale();
        sx += w * n * g.xscale();
        sw += w;
      }
    return cv::Vec2d(sy / sw, sx / sw);
  };
  const cv::Vec2d c0 = centroid(center_view);
  EXPECT_NEAR(c0[0], disc.cy, 1.0);
  EXPECT_NEAR(c0[1], disc.cx, 1.0);
  for (int i : {0, 8, 36, 44, 72, 80}) {
    const cv::Vec2d ci = centroid(i);
    const double want_y = d * view_offset_y(i) / vertical_divisor * g.yscale() / g.xscale();
    const double want_x = d * view_offset_x(i);
    EXPECT_NEAR(ci[0] - c0[0], want_y, 1.0) << "view " << i;
    EXPECT_NEAR(ci[1] - c0[1], want_x, 1.0) << "view " << i;
  }
}

TEST(Synth, TruthAndNoiseAreDeterministicAndAsAsked) {
  const Geometry g = small_geometry(12, 10);
  const Scene scene = make_scene("layers", 3, g);
  RenderOptions o = options_for(g);
  const Exposure clean = render_exposure(scene, g, o);

  // The visible layer's disparity, the front disc's at the disc centre.
  std::set<float> levels;
  for (int y = 0; y < g.high_y; ++y)
    for (int x = 0; x < g.high_x; ++x) levels.insert(clean.truth_disparity.at<float>(y, x));
  EXPECT_EQ(levels, (std::set<float>{-1.25f, 0.25f, 1.5f}));
  EXPECT_EQ(clean.truth_disparity.at<float>(g.high_y / 2, static_cast<int>(0.6 * g.high_x)), 1.5f);

  o.noise_sigma = 10;
  o.seed = 5;
  const Exposure a = render_exposure(scene, g, o), b = render_exposure(scene, g, o);
  EXPECT_TRUE(same_bytes(a.rgb, b.rgb));
  EXPECT_TRUE(same_bytes(a.raw, b.raw));
  const int threads = execution().threads;
  execution().threads = 1;
  const Exposure single = render_exposure(scene, g, o);
  execution().threads = threads;
  EXPECT_TRUE(same_bytes(a.rgb, single.rgb));
  EXPECT_TRUE(same_bytes(a.truth_colour, single.truth_colour));
  o.seed = 6;
  const Exposure other = render_exposure(scene, g, o);
  EXPECT_FALSE(same_bytes(a.raw, other.raw));

  // Noise of the asked deviation, centred, wherever it cannot saturate.
  double sum = 0, sum2 = 0;
  long count = 0;
  for (int y = 0; y < a.rgb.rows; ++y)
    for (int x = 0; x < a.rgb.cols; ++x)
      for (int ch = 0; ch < 3; ++ch) {
        const int c = clean.rgb.at<cv::Vec3b>(y, x)[ch];
        if (c < 50 || c > 205) continue;
        const double diff = a.rgb.at<cv::Vec3b>(y, x)[ch] - c;
        sum += diff;
        sum2 += diff * diff;
        ++count;
      }
  ASSERT_GT(count, 10000);
  EXPECT_NEAR(sum / count, 0.0, 0.3);
  EXPECT_NEAR(std::sqrt(sum2 / count), 10.0, 0.5);
  // The mosaic is the colour image's filter channel, noise included.
  for (int y = 0; y < a.raw.rows; ++y)
    for (int x = 0; x < a.raw.cols; ++x)
      ASSERT_EQ(a.raw.at<uchar>(y, x), a.rgb.at<cv::Vec3b>(y, x)[mosaic_channel(y, x)]);
}

TEST(Synth, SamplesAgreeWithTheBlurredTruthAtTheirViewPositions) {
  // A smooth plane at disparity 1: view i (vy = 0) at view pixel (k, n) sees the truth blurred
  // by the view box, at full-resolution (k * yscale, n * xscale - vx).
  const Geometry g = small_geometry(24, 20);
  Layer L;
  L.d0 = 1.0;
  L.texture.kind = Texture::noise;
  L.texture.scale = 12;
  L.texture.grain = 0;
  const Exposure x = render_exposure(Scene({L}, 11), g, options_for(g));
  const Extracted e = extract(x.rgb, x.raw, g);
  cv::Mat blurred;
  PSF(x.truth_colour, blurred, g.xscale(), g.yscale());

  for (int i = 36; i <= 44; ++i) {
    double sum = 0, worst = 0;
    int count = 0;
    for (int k = 2; k < g.low_y - 2; ++k)
      for (int n = 3; n < g.low_x - 3; ++n) {
        const int t = e.masks[i].at<uchar>(k, n);
        if (t == no_sample) continue;
        const double fy = k * g.yscale(), fx = n * g.xscale() - view_offset_x(i);
        const int iy = static_cast<int>(fy), ix = static_cast<int>(std::floor(fx));
        const double wy = fy - iy, wx = fx - ix;
        auto at = [&](int yy, int xx) { return static_cast<double>(blurred.at<cv::Vec3f>(yy, xx)[t]); };
        const double want = (at(iy, ix) * (1 - wx) + at(iy, ix + 1) * wx) * (1 - wy) +
                            (at(iy + 1, ix) * (1 - wx) + at(iy + 1, ix + 1) * wx) * wy;
        const double err = std::fabs(e.views[i].at<cv::Vec3b>(k, n)[t] - want);
        sum += err;
        worst = std::max(worst, err);
        ++count;
      }
    ASSERT_GT(count, 100);
    EXPECT_LT(sum / count, 1.0) << "view " << i;
    EXPECT_LT(worst, 4.0) << "view " << i;
  }
}

// What plenosr-synth writes is the truth it rendered: the float files bit for bit (the
// layers' disparities -1.25, 0.25 and 1.5 included), the pictures as their 8-bit forms.
TEST(SynthFiles, TruthFilesHoldTheRenderedTruthExactly) {
  const std::string dir = make_temp_dir("synthfiles");
  std::string out, err;
  ASSERT_EQ(run_command(std::string(PLENOSR_TOOLS_DIR) + "/plenosr-synth --draft --seed 3 " + dir, &out, &err), 0)
      << err;
  const Geometry g;
  RenderOptions o;
  o.seed = 3;
  o.set_draft();
  cv::Mat colour, disparity;
  render_truth(make_scene("layers", 3, g), g, o, colour, disparity);

  const std::string gt = dir + "/gt/";
  EXPECT_TRUE(same_bytes(cv::imread(gt + truth_colour_pfm, cv::IMREAD_UNCHANGED), colour));
  const cv::Mat d = cv::imread(gt + truth_disparity_pfm, cv::IMREAD_UNCHANGED);
  EXPECT_TRUE(same_bytes(d, disparity));
  EXPECT_EQ(std::set<float>(d.begin<float>(), d.end<float>()), (std::set<float>{-1.25f, 0.25f, 1.5f}));
  cv::Mat colour8;
  colour.convertTo(colour8, CV_8UC3);
  EXPECT_TRUE(same_bytes(cv::imread(gt + truth_colour_png, cv::IMREAD_UNCHANGED), colour8));
  EXPECT_TRUE(same_bytes(cv::imread(gt + truth_disparity_png, cv::IMREAD_UNCHANGED), colour_disparity(disparity)));
  std::system(("rm -rf '" + dir + "'").c_str());
}
