// The quality mode: adjointness of the sub-pixel model, the depth sweep on a plane at a
// fractional disparity, the solver, thread-count independence, and the command line (mode
// option, output layout beside an exact run).
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <set>

#include "errors.h"
#include "execution.h"
#include "geometry_file.h"
#include "quality_depth.h"
#include "quality_model.h"
#include "quality_solver.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

// Smooth, detailed colour texture of the centre view's plane (0..255).
cv::Vec3f texture(double y, double x) {
  const double a = std::sin(0.31 * x + 0.7 * std::sin(0.05 * y)) + std::cos(0.23 * y - 0.4 * std::sin(0.07 * x));
  const double b = std::sin(0.11 * (x + y)) * std::cos(0.17 * y);
  return cv::Vec3f(static_cast<float>(128 + 60 * a), static_cast<float>(120 + 50 * b + 30 * a),
                   static_cast<float>(130 - 40 * a + 40 * b));
}

// Views and masks of a scene: every view pixel is the mean over its box of colour(y, x, w),
// the colour that a line of sight through centre-view position (y, x) shows in the view
// with direction w (supersampled 6 x 6); channels follow a mosaic by the parity of
// (k, n, view), no sample where k + n is even.
template <class Colour>
void render_views(const Geometry& g, Colour&& colour, std::vector<cv::Mat>& views,
                  std::vector<cv::Mat>& masks) {
  views.assign(view_count, cv::Mat());
  masks.assign(view_count, cv::Mat());
  const double ys = g.yscale(), xs = g.xscale();
  for (int i = 0; i < view_count; ++i) {
    const ViewDirection w = view_direction_of(i, g);
    views[i] = cv::Mat::zeros(g.low_y, g.low_x, CV_8UC3);
    masks[i] = cv::Mat(g.low_y, g.low_x, CV_8UC1, cv::Scalar(no_sample));
    for (int k = 0; k < g.low_y; ++k)
      for (int n = 0; n < g.low_x; ++n) {
        if ((k + n) % 2 == 0) continue;
        const int t = (k + 2 * n + i) % 3;
        double s = 0;
        for (int a = 0; a < 6; ++a)
          for (int b = 0; b < 6; ++b)
            s += colour(k * ys + ((a + 0.5) / 6 - 0.5) * ys, n * xs + ((b + 0.5) / 6 - 0.5) * xs, w)[t];
        masks[i].at<uchar>(k, n) = static_cast<uchar>(t);
        views[i].at<cv::Vec3b>(k, n)[t] = cv::saturate_cast<uchar>(s / 36);
      }
  }
}

// A fronto-parallel plane at disparity d showing the texture.
void render_plane(const Geometry& g, double d, std::vector<cv::Mat>& views, std::vector<cv::Mat>& masks) {
  render_views(g, [&](double y, double x, const ViewDirection& w) { return texture(y - d * w.wy, x - d * w.wx); },
               views, masks);
}

// The texture as the centre view's full grid holds it (pixel means).
cv::Mat render_truth(const Geometry& g) {
  cv::Mat u(g.high_y, g.high_x, CV_32FC3);
  for (int y = 0; y < g.high_y; ++y)
    for (int x = 0; x < g.high_x; ++x) {
      cv::Vec3f s(0, 0, 0);
      for (int a = 0; a < 4; ++a)
        for (int b = 0; b < 4; ++b) s += texture(y + (a + 0.5) / 4 - 0.5, x + (b + 0.5) / 4 - 0.5);
      u.at<cv::Vec3f>(y, x) = s / 16.0f;
    }
  return u;
}

cv::Mat random_float(int rows, int cols, int type, unsigned seed, float lo, float hi) {
  cv::Mat m(rows, cols, type);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(lo, hi);
  // Every channel of every pixel: a float iterator over a multi-channel image visits pixels.
  cv::Mat flat = m.reshape(1);
  for (auto it = flat.begin<float>(); it != flat.end<float>(); ++it) *it = dist(rng);
  return m;
}

struct ThreadCount {
  explicit ThreadCount(int n) : saved(execution().threads) { execution().threads = n; }
  ~ThreadCount() { execution().threads = saved; }
  int saved;
};

}  // namespace

// <A u, y> = <u, A^t y> for random u, y and a disparity map with a step (occlusion).
TEST(QualityModel, AdjointPassesTheDotProductTest) {
  const Geometry g = small_geometry(14, 12);
  std::vector<cv::Mat> views(view_count), masks(view_count);
  for (int i = 0; i < view_count; ++i) {
    views[i] = random_image(cv::Size(g.low_x, g.low_y), CV_8UC3, 10 + i);
    masks[i] = random_image(cv::Size(g.low_x, g.low_y), CV_8UC1, 200 + i) / 86;  // 0..3
  }
  cv::Mat depth(g.high_y, g.high_x, CV_32F, cv::Scalar(0.4f));
  depth(cv::Rect(g.high_x / 3, 0, g.high_x / 3, g.high_y)).setTo(1.3f);
  depth(cv::Rect(0, g.high_y / 2, g.high_x, g.high_y / 2)) -= 1.7f;
  SubpixelModel m(g, views.data(), masks.data());
  m.set_depth(depth);
  const cv::Mat u = random_float(g.high_y, g.high_x, CV_32FC3, 7, -1, 1);
  std::vector<cv::Mat> y(view_count), au;
  for (int i = 0; i < view_count; ++i) y[i] = random_float(g.low_y, g.low_x, CV_32F, 300 + i, -1, 1);
  m.apply(u, au);
  cv::Mat aty;
  m.apply_adjoint(y, aty);
  double lhs = 0, norm = 0;
  for (int i = 0; i < view_count; ++i) {
    lhs += au[i].dot(y[i]);
    norm += cv::norm(au[i], cv::NORM_L1);
  }
  const double rhs = u.dot(aty);
  ASSERT_GT(norm, 100.0);  // most samples are used
  EXPECT_NEAR(lhs, rhs, 1e-5 * norm);
}

// A constant image projects to that constant at every kept sample; samples whose box leaves
// the grid give nothing.
TEST(QualityModel, BoxMeanKeepsConstantsAndDropsSamplesOffTheGrid) {
  const Geometry g = small_geometry(10, 8);
  std::vector<cv::Mat> views, masks;
  render_plane(g, 0.0, views, masks);
  SubpixelModel m(g, views.data(), masks.data());
  m.set_depth(cv::Mat(g.high_y, g.high_x, CV_32F, cv::Scalar(2.0f)));
  std::vector<cv::Mat> out;
  m.apply(cv::Mat(g.high_y, g.high_x, CV_32FC3, cv::Scalar::all(50)), out);
  int kept = 0, dropped = 0;
  for (int i = 0; i < view_count; ++i)
    for (int k = 0; k < g.low_y; ++k)
      for (int n = 0; n < g.low_x; ++n) {
        if (masks[i].at<uchar>(k, n) == no_sample) {
          EXPECT_EQ(out[i].at<float>(k, n), 0.0f);
          continue;
        }
        const float v = out[i].at<float>(k, n);
        if (v == 0.0f) ++dropped;
        else { ++kept; EXPECT_NEAR(v, 50.0f, 1e-3f) << i << " " << k << " " << n; }
      }
  EXPECT_GT(kept, dropped);
  EXPECT_GT(dropped, 0);  // view 0 shifts 8 columns: its first samples look off the grid
}

// Every kept sample is the area-weighted mean of the pixels its box covers, the end pixels
// counted by the share of them inside, at fractional disparities and with an occlusion.
TEST(QualityModel, SamplesAreBoxMeansWithFractionalEnds) {
  const Geometry g = small_geometry(10, 8);
  std::vector<cv::Mat> views, masks;
  render_plane(g, 0.0, views, masks);
  cv::Mat depth(g.high_y, g.high_x, CV_32F, cv::Scalar(0.37f));
  depth(cv::Rect(g.high_x / 2, 0, g.high_x / 2, g.high_y)).setTo(-1.21f);
  SubpixelModel m(g, views.data(), masks.data());
  m.set_depth(depth);
  const cv::Mat u = random_float(g.high_y, g.high_x, CV_32FC3, 11, 0, 255);
  std::vector<cv::Mat> out;
  m.apply(u, out);
  const double ys = g.yscale(), xs = g.xscale();
  auto overlap = [](double lo, double hi, int j) { return std::max(0.0, std::min(hi, j + 0.5) - std::max(lo, j - 0.5)); };
  int checked = 0;
  for (int i = 0; i < view_count; i += 7)
    for (int k = 0; k < g.low_y; ++k)
      for (int n = 0; n < g.low_x; ++n) {
        const int t = masks[i].at<uchar>(k, n);
        const float got = out[i].at<float>(k, n);
        if (t == no_sample || got == 0.0f) continue;
        const double d = m.view_disparity(i).at<float>(k, n);
        const double cy = k * ys - d * m.direction(i).wy, cx = n * xs - d * m.direction(i).wx;
        double s = 0;
        for (int y = 0; y < g.high_y; ++y)
          for (int x = 0; x < g.high_x; ++x)
            s += overlap(cy - ys / 2, cy + ys / 2, y) * overlap(cx - xs / 2, cx + xs / 2, x) * u.at<cv::Vec3f>(y, x)[t];
        EXPECT_NEAR(got, s / (ys * xs), 1e-3) << i << " " << k << " " << n;
        ++checked;
      }
  EXPECT_GT(checked, 100);
}

// View disparities: the nearer surface wins where two reach one view pixel.
TEST(QualityModel, ViewDisparityKeepsTheNearestSurface) {
  const Geometry g = small_geometry(16, 14);
  cv::Mat depth(g.high_y, g.high_x, CV_32F, cv::Scalar(-1.0f));
  const cv::Rect front(g.high_x / 2, 0, g.high_x / 2, g.high_y);
  depth(front).setTo(1.5f);
  const cv::Mat z = view_disparity_map(depth, 0, g);  // view 0 looks from the left
  // The front surface moves right by 1.5 * 4 = 6 columns, the back left by 4: the front's
  // left edge (column high_x / 2) lands near high_x / 2 + 6, hiding the back beside it.
  const int n_edge = static_cast<int>((g.high_x / 2 + 6) / g.xscale());
  const int k = g.low_y / 2;
  EXPECT_EQ(z.at<float>(k, n_edge + 1), 1.5f);
  EXPECT_EQ(z.at<float>(k, n_edge - 3), -1.0f);
  double lo, hi;
  cv::minMaxLoc(z, &lo, &hi);
  EXPECT_EQ(lo, -1.0);
  EXPECT_EQ(hi, 1.5);
}

// A plane at a fractional disparity is found to within a small share of a ladder step,
// whether candidates are scored against the estimate or by the views' agreement.
TEST(QualityDepth, PlaneAtFractionalDisparityIsRecovered) {
  const Geometry g = small_geometry(30, 26);
  const cv::Rect inner(12, 12, g.high_x - 24, g.high_y - 24);
  for (double d : {0.37, -0.83}) {
    std::vector<cv::Mat> views, masks;
    render_plane(g, d, views, masks);
    const cv::Mat truth = render_truth(g);
    SubpixelModel m(g, views.data(), masks.data());
    const cv::Mat base = cv::Mat::zeros(g.high_y, g.high_x, CV_32F);
    QualityParams p;
    for (SweepMatch match : {SweepMatch::estimate, SweepMatch::consistency}) {
      m.set_depth(base);
      cv::Mat depth;
      int reported = 0;
      sweep_depth(m, truth, base, disparity_ladder(-2.0, 2.0, 0.1), p, match, depth,
                  [&](int n) { reported = n; });
      EXPECT_EQ(reported, 41);
      cv::Mat err = cv::abs(depth(inner) - d);
      EXPECT_LT(cv::mean(err)[0], 0.03) << "plane at " << d << ", match " << static_cast<int>(match);
      EXPECT_LT(cv::countNonZero(err > 0.1), inner.area() / 50) << "plane at " << d;
    }
    // Re-estimation around a map that is off by 0.2 comes back to the plane.
    cv::Mat off = cv::Mat(g.high_y, g.high_x, CV_32F, cv::Scalar(d + 0.2));
    m.set_depth(off);
    cv::Mat again;
    sweep_depth(m, truth, off, disparity_ladder(-0.3, 0.3, 0.05), p, SweepMatch::estimate, again, [](int) {});
    EXPECT_LT(cv::mean(cv::abs(again(inner) - d))[0], 0.03) << "plane at " << d;
  }
}

// Detail finer than one view can hold (a view has one sample per 2.26 columns and 3.77
// rows): the views' agreement finds its plane from an estimate that lost the detail, as the
// first estimate has, where matching against that estimate is lured to wrong disparities.
TEST(QualityDepth, ViewsAgreeOnDetailOneViewCannotHold) {
  const Geometry g = small_geometry(30, 26);
  const double d = 0.6;
  auto fine = [](double y, double x) {
    const double a = std::sin(2 * CV_PI * (0.3 * x + 0.04 * y)) + std::sin(2 * CV_PI * (0.05 * x - 0.2 * y));
    return cv::Vec3f(static_cast<float>(128 + 50 * a), static_cast<float>(120 - 40 * a), 100.0f);
  };
  std::vector<cv::Mat> views, masks;
  render_views(g, [&](double y, double x, const ViewDirection& w) { return fine(y - d * w.wy, x - d * w.wx); },
               views, masks);
  cv::Mat truth(g.high_y, g.high_x, CV_32FC3), estimate;
  for (int y = 0; y < g.high_y; ++y)
    for (int x = 0; x < g.high_x; ++x) truth.at<cv::Vec3f>(y, x) = fine(y, x);
  cv::blur(truth, estimate, cv::Size(5, 5));
  SubpixelModel m(g, views.data(), masks.data());
  const cv::Mat base = cv::Mat::zeros(g.high_y, g.high_x, CV_32F);
  m.set_depth(base);
  const cv::Rect inner(12, 12, g.high_x - 24, g.high_y - 24);
  int wrong[2];
  for (SweepMatch match : {SweepMatch::estimate, SweepMatch::consistency}) {
    cv::Mat depth;
    sweep_depth(m, estimate, base, disparity_ladder(-2.0, 2.0, 0.1), QualityParams(), match, depth, [](int) {});
    wrong[static_cast<int>(match)] = cv::countNonZero(cv::abs(depth(inner) - d) > 0.25);
  }
  EXPECT_LT(wrong[1], inner.area() / 20);
  EXPECT_GT(wrong[0], inner.area() / 2);
}

// Two planes meet at a vertical edge, the nearer on the left. Windows that straddle the
// edge pull the pixels beside it to the nearer plane; shiftable windows keep the edge near
// its place.
TEST(QualityDepth, ShiftableWindowsKeepTheNearerSurfaceOffItsBackground) {
  const Geometry g = small_geometry(40, 50);
  const double front = 1.0, back = -0.5;
  const double edge = 0.5 * g.high_x;
  auto colour = [&](double y, double x, const ViewDirection& w) {
    const double fx = x - front * w.wx;
    if (fx < edge) return texture(y - front * w.wy, fx);
    return texture(y - back * w.wy + 37, x - back * w.wx + 53);
  };
  std::vector<cv::Mat> views, masks;
  render_views(g, colour, views, masks);
  cv::Mat estimate(g.high_y, g.high_x, CV_32FC3), truth(g.high_y, g.high_x, CV_32F);
  for (int y = 0; y < g.high_y; ++y)
    for (int x = 0; x < g.high_x; ++x) {
      estimate.at<cv::Vec3f>(y, x) = colour(y, x, ViewDirection());
      truth.at<float>(y, x) = static_cast<float>(x < edge ? front : back);
    }
  SubpixelModel m(g, views.data(), masks.data());
  const cv::Mat base = cv::Mat::zeros(g.high_y, g.high_x, CV_32F);
  m.set_depth(base);
  const cv::Rect inner(12, 12, g.high_x - 24, g.high_y - 24);
  int wrong[2];
  for (int shift : {0, 1}) {
    QualityParams p;
    p.shift_window = shift * p.window_radius;
    for (SweepMatch match : {SweepMatch::estimate, SweepMatch::consistency}) {
      cv::Mat depth;
      sweep_depth(m, estimate, base, disparity_ladder(-1.5, 1.5, 0.1), p, match, depth, [](int) {});
      const int bad = cv::countNonZero(cv::abs(depth(inner) - truth(inner)) > 0.25);
      if (match == SweepMatch::consistency) wrong[shift] = bad;
      else EXPECT_LT(bad, inner.height * 8) << "shift " << shift;  // a band of 8 columns
    }
  }
  // The views' agreement, blind where some views see the nearer surface, spreads it farther
  // without shifting.
  EXPECT_LT(wrong[1], wrong[0] / 2);
  EXPECT_LT(wrong[1], inner.height * 12);
}

// The solver lowers the energy and brings a blurred start towards the truth; the result has
// the same bytes for 1 and 3 threads.
TEST(QualitySolver, ImprovesAndDoesNotDependOnThreads) {
  const Geometry g = small_geometry(24, 20);
  const double d = 0.6;
  std::vector<cv::Mat> views, masks;
  render_plane(g, d, views, masks);
  const cv::Mat truth = render_truth(g);
  SubpixelModel m(g, views.data(), masks.data());
  m.set_depth(cv::Mat(g.high_y, g.high_x, CV_32F, cv::Scalar(d)));
  cv::Mat start;
  cv::blur(truth, start, cv::Size(7, 7));
  QualityParams p;
  p.tv_weight = 0.2;
  const QualityEnergy before = quality_energy(m, start, p);
  const cv::Rect inner(10, 10, g.high_x - 20, g.high_y - 20);
  const double err_before = cv::norm(start(inner), truth(inner));
  cv::Mat results[2];
  int run = 0;
  for (int threads : {1, 3}) {
    ThreadCount tc(threads);
    cv::Mat u = start.clone();
    int last = 0;
    const QualityEnergy after = solve_quality(m, u, p, 10, [&](int n) { last = n; });
    EXPECT_EQ(last, 10);
    EXPECT_LT(after.total(), 0.5 * before.total());
    EXPECT_LT(cv::norm(u(inner), truth(inner)), 0.6 * err_before);
    results[run++] = u;
  }
  EXPECT_TRUE(same_bytes(results[0], results[1]));
}

// The solver's weights at u give the regulariser's gradient there (total variation and the
// squared-gradient term together), checked against central differences of its value.
TEST(QualitySolver, RegulariserWeightsGiveItsGradient) {
  const cv::Mat u = random_float(6, 7, CV_32FC3, 5, 0, 60);
  QualityParams p;
  p.tv_weight = 0.7;
  p.smooth_weight = 0.3;
  p.chroma_weight = 3;
  cv::Mat w, grad;
  regulariser_value(u, p, &w);
  regulariser_apply(u, w, static_cast<float>(p.chroma_weight), grad);
  const float h = 0.05f;
  for (int y = 0; y < u.rows; ++y)
    for (int x = 0; x < u.cols; ++x)
      for (int c = 0; c < 3; ++c) {
        cv::Mat up = u.clone(), down = u.clone();
        up.at<cv::Vec3f>(y, x)[c] += h;
        down.at<cv::Vec3f>(y, x)[c] -= h;
        const double numeric = (regulariser_value(up, p, nullptr) - regulariser_value(down, p, nullptr)) / (2 * h);
        EXPECT_NEAR(grad.at<cv::Vec3f>(y, x)[c], numeric, 2e-3 * (1 + std::fabs(numeric))) << y << " " << x << " " << c;
      }
}

// The sweep gives the same bytes for any thread count.
TEST(QualityDepth, SameBytesForAnyThreadCount) {
  const Geometry g = small_geometry(20, 16);
  std::vector<cv::Mat> views, masks;
  render_plane(g, 0.45, views, masks);
  const cv::Mat truth = render_truth(g);
  SubpixelModel m(g, views.data(), masks.data());
  cv::Mat base(g.high_y, g.high_x, CV_32F, cv::Scalar(0.0f));
  base(cv::Rect(0, 0, g.high_x / 2, g.high_y)).setTo(0.5f);
  m.set_depth(base);
  QualityParams p;
  for (SweepMatch match : {SweepMatch::estimate, SweepMatch::consistency}) {
    cv::Mat out[3];
    int j = 0;
    for (int threads : {1, 2, 5}) {
      ThreadCount tc(threads);
      sweep_depth(m, truth, base, disparity_ladder(-1.0, 1.0, 0.1), p, match, out[j++], [](int) {});
    }
    EXPECT_TRUE(same_bytes(out[0], out[1]));
    EXPECT_TRUE(same_bytes(out[0], out[2]));
  }
}

// Every tuning value has one option of its own, its default lies in its range, and a value
// just outside the range (or a fraction where a whole number is due) is refused.
TEST(QualityParamsTable, DefaultsInRangeAndEdgesChecked) {
  const QualityParams defaults;
  EXPECT_NO_THROW(check_quality_params(defaults));
  std::set<std::string> names;
  for (const QualityParamInfo& info : quality_param_table()) {
    EXPECT_TRUE(names.insert(info.option).second) << info.option;
    EXPECT_EQ(std::string(info.option).rfind("q-", 0), 0u) << info.option;
    for (double v : {info.lo - 1e-9 * (1 + std::fabs(info.lo)) - (info.whole ? 1 : 0),
                     info.hi + 1e-9 * (1 + std::fabs(info.hi)) + (info.whole ? 1 : 0)}) {
      QualityParams p;
      p.*info.field = v;
      EXPECT_THROW(check_quality_params(p), RunError) << info.option << " = " << v;
    }
    QualityParams edge;
    edge.*info.field = info.hi;
    EXPECT_NO_THROW(check_quality_params(edge)) << info.option;
    if (info.whole) {
      QualityParams p;
      p.*info.field = info.lo + 0.5;
      EXPECT_THROW(check_quality_params(p), RunError) << info.option;
    }
  }
}
