#include "pictures/sweep_image.h"

#include "output_files.h"
#include "pictures/png_file.h"

#include <png.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

namespace {

struct Rgb {
  std::uint8_t r, g, b;
};

const Rgb kNoReturn{0, 0, 0};  // pixels start black: no return fell there
const Rgb kNotFinite{128, 128, 128};
const unsigned kMostRingRows = 1024;

// Viridis, perceptually uniform, as a polynomial fit of matplotlib's table:
// channel k is the sum of kViridis[i][k] t^i.
const double kViridis[7][3] = {{0.2777273272234177, 0.005407344544966578, 0.3340998053353061},
                               {0.1050930431085774, 1.404613529898575, 1.384590162594685},
                               {-0.3308618287255563, 0.214847559468213, 0.09509516302823659},
                               {-4.634230498983486, -5.799100973351585, -19.33244095627987},
                               {6.228269936347081, 14.17993336680509, 56.69055260068105},
                               {4.776384997670288, -13.74514537774601, -65.35303263337234},
                               {-5.435455855934631, 4.645852612178535, 26.3124352495832}};

// lround(v x 255) for v in [0, 1] without a library call: for the
// non-negative x here, truncation is floor and x minus it is exact.
std::uint8_t ChannelByte(double v) {
  const double x = v * 255.0;
  const auto whole = static_cast<unsigned>(x);
  return static_cast<std::uint8_t>(whole + (x - whole >= 0.5 ? 1 : 0));
}

// The three channels at t (clamped to the scale), each still to be clamped.
void ViridisChannels(double t, double channel[3]) {
  t = std::clamp(t, 0.0, 1.0);
  // The three channels' Horner steps side by side: three independent chains
  // instead of one three times as long, with the same operations each.
  double r = kViridis[6][0], g = kViridis[6][1], b = kViridis[6][2];
  for (int i = 5; i >= 0; --i) {
    r = kViridis[i][0] + t * r;
    g = kViridis[i][1] + t * g;
    b = kViridis[i][2] + t * b;
  }
  channel[0] = r;
  channel[1] = g;
  channel[2] = b;
}

Rgb Viridis(double t) {
  double channel[3];
  ViridisChannels(t, channel);
  return {ChannelByte(std::clamp(channel[0], 0.0, 1.0)),
          ChannelByte(std::clamp(channel[1], 0.0, 1.0)),
          ChannelByte(std::clamp(channel[2], 0.0, 1.0))};
}

// The colours of t[0] and t[1] at once, two lanes of the same IEEE operations
// in the same order as Viridis(), so the bytes are the same. (A -0 clamped to
// +0 changes no sum: c + t x v is c either way.)
void ViridisTwo(const double* t, Rgb* out) {
#if defined(__SSE2__)
  const __m128d zero = _mm_setzero_pd(), one = _mm_set1_pd(1.0);
  const __m128d x = _mm_max_pd(_mm_min_pd(_mm_loadu_pd(t), one), zero);
  __m128d channel[3];
  for (int k = 0; k < 3; ++k) channel[k] = _mm_set1_pd(kViridis[6][k]);
  for (int i = 5; i >= 0; --i) {
    for (int k = 0; k < 3; ++k) {
      channel[k] = _mm_add_pd(_mm_set1_pd(kViridis[i][k]), _mm_mul_pd(x, channel[k]));
    }
  }
  std::uint8_t bytes[3][2];
  for (int k = 0; k < 3; ++k) {
    const __m128d v = _mm_mul_pd(_mm_max_pd(_mm_min_pd(channel[k], one), zero), _mm_set1_pd(255.0));
    const __m128i whole = _mm_cvttpd_epi32(v);
    const __m128d up = _mm_cmpge_pd(_mm_sub_pd(v, _mm_cvtepi32_pd(whole)), _mm_set1_pd(0.5));
    const int round_up = _mm_movemask_pd(up);
    std::int32_t lanes[4];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), whole);
    for (int lane = 0; lane < 2; ++lane) {
      bytes[k][lane] = static_cast<std::uint8_t>(lanes[lane] + ((round_up >> lane) & 1));
    }
  }
  for (int lane = 0; lane < 2; ++lane) out[lane] = {bytes[0][lane], bytes[1][lane], bytes[2][lane]};
#else
  out[0] = Viridis(t[0]);
  out[1] = Viridis(t[1]);
#endif
}

// Viridis by cells of the scale, where one colour provably covers a whole
// cell: each channel's polynomial is monotone over the cell (its derivative
// keeps one sign, as the bound on the second derivative shows), the colours
// at the cell's two ends (widened a little, so that a value rounded into the
// cell is inside) are the same, and neither end lies within 1e-7 of a byte's
// rounding threshold, far beyond the error of evaluating the polynomial. In
// the other cells each value is coloured by Viridis() itself.
struct ColourTable {
  static constexpr unsigned kCells = 65536;
  Rgb colour[kCells];
  bool uniform[kCells];
};

double ViridisDerivative(double t, int channel) {
  double d = 6 * kViridis[6][channel];
  for (int i = 5; i >= 1; --i) d = i * kViridis[i][channel] + t * d;
  return d;
}

// Whether t's channels are far from where their bytes round the other way.
bool FarFromRounding(double t) {
  double channel[3];
  ViridisChannels(t, channel);
  for (const double v : channel) {
    const double x = std::clamp(v, 0.0, 1.0) * 255.0;
    if (std::fabs(x - std::floor(x) - 0.5) < 1e-7) return false;
  }
  return true;
}

ColourTable MakeColourTable() {
  ColourTable table{};
  double second_derivative_bound[3] = {0, 0, 0};
  for (int k = 0; k < 3; ++k) {
    for (int i = 2; i <= 6; ++i)
      second_derivative_bound[k] += i * (i - 1) * std::fabs(kViridis[i][k]);
  }
  const double cells = ColourTable::kCells;
  for (unsigned cell = 0; cell < ColourTable::kCells; ++cell) {
    const double a = (cell - 1e-6) / cells, b = (cell + 1 + 1e-6) / cells;
    const double lo = std::clamp(a, 0.0, 1.0), hi = std::clamp(b, 0.0, 1.0);
    bool monotone = true;
    for (int k = 0; k < 3; ++k) {
      const double da = ViridisDerivative(lo, k), db = ViridisDerivative(hi, k);
      const double change = 1.01 * second_derivative_bound[k] * (hi - lo) + 1e-9;
      monotone = monotone && da * db > 0 && std::min(std::fabs(da), std::fabs(db)) > change;
    }
    const Rgb first = Viridis(a), last = Viridis(b);
    table.colour[cell] = first;
    table.uniform[cell] = monotone && std::memcmp(&first, &last, sizeof first) == 0 &&
                          FarFromRounding(a) && FarFromRounding(b);
  }
  return table;
}

const ColourTable& Colours() {
  static const ColourTable table = MakeColourTable();
  return table;
}

// The report's horizontal angle: degrees from +y, positive towards +x.
double Azimuth(const PointCloudXYZIRT& p) {
  return static_cast<double>(atan2f(p.x, p.y) * 180.0f) / 3.141592653;
}

// The picture column of a finite point's azimuth: column k is centred on
// -180 + k x 360 / width degrees, and +180 folds onto -180.
std::size_t ExactAzimuthColumn(const PointCloudXYZIRT& p, unsigned width) {
  const double a = std::clamp(Azimuth(p), -180.0, 180.0);
  const auto column = static_cast<std::size_t>(std::floor((a + 180.0) / 360.0 * width + 0.5));
  return column == width ? 0 : column;  // 0 to width, where width is column 0 again
}

// The report's azimuth in degrees without a call to atan2f: the Taylor
// series of the angle folded into [-pi/8, pi/8], within 2e-8 rad of the true
// angle (the first term left out). Azimuth() itself is within about 3e-5
// degrees of the true angle (atan2f's ulp near pi and the rounding of its
// product with 180 in float), so the two differ by far less than
// kAzimuthErrorDegrees. Not for x = y = 0.
constexpr double kAzimuthErrorDegrees = 2e-4;
double ApproximateAzimuth(float x, float y) {
  constexpr double kPi = 3.14159265358979323846;
  const double ax = std::fabs(static_cast<double>(x)), ay = std::fabs(static_cast<double>(y));
  const bool swapped = ax > ay;            // the angle from +y is then pi/2 less the one from +x
  double t = swapped ? ay / ax : ax / ay;  // in [0, 1]
  const bool above = t > 0.41421356237309503;  // tan(pi/8)
  if (above) t = (t - 1.0) / (t + 1.0);        // atan(t) = pi/4 + atan of this
  const double t2 = t * t;
  const double series =
      t *
      (1.0 +
       t2 * (-1.0 / 3 +
             t2 * (1.0 / 5 +
                   t2 * (-1.0 / 7 +
                         t2 * (1.0 / 9 + t2 * (-1.0 / 11 + t2 * (1.0 / 13 + t2 * (-1.0 / 15))))))));
  double angle = above ? kPi / 4 + series : series;
  if (swapped) angle = kPi / 2 - angle;
  if (y < 0) angle = kPi - angle;
  if (x < 0) angle = -angle;
  return angle * 180.0 / 3.141592653;  // as Azimuth() divides
}

// The same column without atan2f and with multiplications for the two
// divisions. Unless the point lies within `margin` columns of a column's
// edge or near +-180 degrees, the column is the exact one; there the exact
// way decides.
std::size_t AzimuthColumn(const PointCloudXYZIRT& p, unsigned width, double columns_per_degree,
                          double margin) {
  if (margin >= 0.25 || (p.x == 0 && p.y == 0)) return ExactAzimuthColumn(p, width);
  const double a = ApproximateAzimuth(p.x, p.y);
  const double at = (a + 180.0) * columns_per_degree + 0.5;
  const double whole = std::floor(at);
  if (std::fabs(a) > 179.99 || at - whole < margin || at - whole > 1 - margin) {
    return ExactAzimuthColumn(p, width);
  }
  const auto column = static_cast<std::size_t>(whole);
  return column == width ? 0 : column;
}

bool IsFinite(const PointCloudXYZIRT& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

// What row 0 and the last row of a picture stand for, for the legend.
struct RowPlan {
  unsigned rows = 0;
  std::string first_row;
  std::string last_row;
};

// Each point's row, its ring less the lowest ring, into work.row_of_point.
RowPlan RowsByRing(const pcl::PointCloud<PointCloudXYZIRT>& cloud, ImageWorkspace& work) {
  std::uint16_t lowest = std::numeric_limits<std::uint16_t>::max(), highest = 0;
  for (const auto& p : cloud.points) {
    lowest = std::min(lowest, p.ring);
    highest = std::max(highest, p.ring);
  }
  RowPlan plan;
  plan.rows = highest - lowest + 1u;
  plan.first_row = "ring " + std::to_string(lowest);
  plan.last_row = "ring " + std::to_string(highest);
  work.row_of_point.resize(cloud.points.size());
  for (std::size_t i = 0; i < cloud.points.size(); ++i) {
    work.row_of_point[i] = cloud.points[i].ring - lowest;
  }
  return plan;
}

// Each point's elevation bin, or -1 for points without one.
RowPlan RowsByElevation(const pcl::PointCloud<PointCloudXYZIRT>& cloud, unsigned bins,
                        ImageWorkspace& work) {
  double lowest = std::numeric_limits<double>::infinity(), highest = -lowest;
  work.elevation.assign(cloud.points.size(), std::nan(""));
  for (std::size_t i = 0; i < cloud.points.size(); ++i) {
    const auto& p = cloud.points[i];
    if (!IsFinite(p) || (p.x == 0 && p.y == 0 && p.z == 0)) continue;
    work.elevation[i] = std::atan2(p.z, std::hypot(p.x, p.y)) * 180.0 / M_PI;
    lowest = std::min(lowest, work.elevation[i]);
    highest = std::max(highest, work.elevation[i]);
  }
  RowPlan plan;
  plan.rows = bins;
  char text[64];
  std::snprintf(text, sizeof text, "elevation %.2f deg", std::isfinite(lowest) ? lowest : 0.0);
  plan.first_row = text;
  std::snprintf(text, sizeof text, "elevation %.2f deg", std::isfinite(highest) ? highest : 0.0);
  plan.last_row = text;
  const double span = highest > lowest ? highest - lowest : 1.0;
  work.row_of_point.resize(cloud.points.size());
  for (std::size_t i = 0; i < cloud.points.size(); ++i) {
    const double e = work.elevation[i];
    work.row_of_point[i] = std::isnan(e) ? -1
                                         : std::min(static_cast<int>((e - lowest) / span * bins),
                                                    static_cast<int>(bins) - 1);
  }
  return plan;
}

// Rows by ring need rings that differ, and not so many ring numbers between
// the lowest and the highest that the picture would be mostly empty rows (a
// ring taken from driver bytes can span 0 to 65535).
bool RingUsable(const pcl::PointCloud<PointCloudXYZIRT>& cloud, bool ring_matched) {
  if (!ring_matched || cloud.points.empty()) return false;
  const auto [lowest, highest] = std::minmax_element(
      cloud.points.begin(), cloud.points.end(),
      [](const PointCloudXYZIRT& a, const PointCloudXYZIRT& b) { return a.ring < b.ring; });
  const unsigned span = highest->ring - lowest->ring + 1u;
  return span > 1 && span <= kMostRingRows;
}

// The range of the nearest finite return in every pixel, and which pixels
// only non-finite points fell on. A non-finite point has no azimuth: it goes
// to the column of its order among its row's points.
void Paint(unsigned width, const pcl::PointCloud<PointCloudXYZIRT>& cloud, const RowPlan& rows,
           ImageWorkspace& work) {
  work.points_in_row.assign(rows.rows, 0);
  work.seen_in_row.assign(rows.rows, 0);
  for (int row : work.row_of_point) {
    if (row >= 0) ++work.points_in_row[row];
  }
  const std::size_t pixels = std::size_t{width} * std::max(rows.rows, 1u);
  work.nearest.assign(pixels, std::numeric_limits<float>::infinity());
  work.only_nonfinite.assign(pixels, 0);
  const double columns_per_degree = width / 360.0;
  // How near a column's edge the approximate azimuth leaves the choice to
  // the exact one, in columns.
  const double margin = kAzimuthErrorDegrees * columns_per_degree + 1e-6;
  for (std::size_t i = 0; i < cloud.points.size(); ++i) {
    const int row = work.row_of_point[i];
    if (row < 0) continue;
    const std::size_t order = work.seen_in_row[row]++;
    const PointCloudXYZIRT& p = cloud.points[i];
    if (!IsFinite(p)) {
      const std::size_t column = order * width / work.points_in_row[row];
      work.only_nonfinite[static_cast<std::size_t>(row) * width + column] = 1;
      continue;
    }
    const std::size_t column = AzimuthColumn(p, width, columns_per_degree, margin);
    float& nearest = work.nearest[static_cast<std::size_t>(row) * width + column];
    nearest = std::min(nearest, std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z));
  }
}

// Colours every pixel once, from its nearest range: viridis, grey where only
// non-finite points fell, black where nothing did.
void Colour(const ImageOptions& options, ImageWorkspace& work) {
  const double scale =
      options.max_range > options.min_range ? 1.0 / (options.max_range - options.min_range) : 1.0;
  work.pixels.resize(work.nearest.size() * 3);
  // Black and grey first, and where the returns are, with their scale value.
  // Returns whose cell has one colour take it from the table; the others
  // are coloured below.
  const ColourTable& table = Colours();
  work.returns.clear();
  work.scale_values.clear();
  for (std::size_t at = 0; at < work.nearest.size(); ++at) {
    const float range = work.nearest[at];
    if (range < std::numeric_limits<float>::infinity()) {
      const double t = (range - options.min_range) * scale;
      const auto cell =
          std::min(static_cast<unsigned>(std::clamp(t, 0.0, 1.0) * ColourTable::kCells),
                   ColourTable::kCells - 1);
      if (table.uniform[cell]) {
        std::memcpy(&work.pixels[at * 3], &table.colour[cell], 3);
        continue;
      }
      work.returns.push_back(at);
      work.scale_values.push_back(t);
      continue;
    }
    const Rgb colour = work.only_nonfinite[at] != 0 ? kNotFinite : kNoReturn;
    std::memcpy(&work.pixels[at * 3], &colour, 3);
  }
  // Then the returns' colours, two at a time.
  const std::size_t count = work.returns.size();
  Rgb two[2];
  for (std::size_t i = 0; i + 1 < count; i += 2) {
    ViridisTwo(&work.scale_values[i], two);
    std::memcpy(&work.pixels[work.returns[i] * 3], &two[0], 3);
    std::memcpy(&work.pixels[work.returns[i + 1] * 3], &two[1], 3);
  }
  if (count % 2 == 1) {
    const Rgb last = Viridis(work.scale_values[count - 1]);
    std::memcpy(&work.pixels[work.returns[count - 1] * 3], &last, 3);
  }
}

}  // namespace

bool SweepRowsByElevation(const pcl::PointCloud<PointCloudXYZIRT>& cloud, bool ring_matched) {
  // An empty cloud is one black row; it says nothing about its ring.
  return !cloud.points.empty() && !RingUsable(cloud, ring_matched);
}

void PaintSweep(const ImageOptions& options, const SweepImageInput& input, ImageWorkspace& work) {
  const pcl::PointCloud<PointCloudXYZIRT>& cloud = *input.cloud;
  RowPlan rows;
  work.row_of_point.clear();
  if (input.by_elevation) {
    rows = RowsByElevation(cloud, options.elevation_rows, work);
  } else if (!cloud.points.empty()) {
    rows = RowsByRing(cloud, work);
  }
  Paint(options.columns, cloud, rows, work);
  work.height = std::max(rows.rows, 1u);
  work.points = cloud.points.size();
  work.rows_legend = "top: " + rows.first_row + ", bottom: " + rows.last_row;
}

std::string WriteSweepPng(const ImageOptions& options, const SweepImageInput& input,
                          ImageWorkspace& work) {
  Colour(options, work);
  char scale[200];
  std::snprintf(scale, sizeof scale,
                "range %g m to %g m on viridis (dark blue near, yellow far); black: no return; "
                "grey: not finite",
                options.min_range, options.max_range);
  char stamp[40];
  std::snprintf(stamp, sizeof stamp, "%u.%09u", input.stamp.sec, input.stamp.nsec);
  const std::vector<std::pair<std::string, std::string>> text = {
      {"Title", input.topic + " cloud " + std::to_string(input.index)},
      {"Software", "bag_cloud_dump"},
      {"Stamp", stamp},
      {"Points", std::to_string(work.points)},
      {"Scale", scale},
      {"Rows", work.rows_legend},
      {"Columns",
       "azimuth from -180 degrees (left edge) round to +180, measured from +y, "
       "positive towards +x"}};
  const std::size_t row_bytes = std::size_t{options.columns} * 3;
  return WriteRgbPng(
      options.dir + "/" + CloudFileName(input.index, input.topic, input.stamp, "png"),
      options.columns, work.height, [&](unsigned row) { return &work.pixels[row * row_bytes]; },
      text);
}
