#include "sweep_image.h"

#include "output_files.h"

#include <png.h>
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

// Viridis, perceptually uniform, as a polynomial fit of matplotlib's table.
Rgb Viridis(double t) {
  t = std::clamp(t, 0.0, 1.0);
  const double c[7][3] = {{0.2777273272234177, 0.005407344544966578, 0.3340998053353061},
                          {0.1050930431085774, 1.404613529898575, 1.384590162594685},
                          {-0.3308618287255563, 0.214847559468213, 0.09509516302823659},
                          {-4.634230498983486, -5.799100973351585, -19.33244095627987},
                          {6.228269936347081, 14.17993336680509, 56.69055260068105},
                          {4.776384997670288, -13.74514537774601, -65.35303263337234},
                          {-5.435455855934631, 4.645852612178535, 26.3124352495832}};
  double rgb[3];
  for (int k = 0; k < 3; ++k) {
    double v = c[6][k];
    for (int i = 5; i >= 0; --i) v = c[i][k] + t * v;
    rgb[k] = std::clamp(v, 0.0, 1.0);
  }
  const auto byte = [](double v) { return static_cast<std::uint8_t>(std::lround(v * 255.0)); };
  return {byte(rgb[0]), byte(rgb[1]), byte(rgb[2])};
}

// The report's horizontal angle: degrees from +y, positive towards +x.
double Azimuth(const PointCloudXYZIRT& p) {
  return static_cast<double>(atan2f(p.x, p.y) * 180.0f) / 3.141592653;
}

bool IsFinite(const PointCloudXYZIRT& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

// Which row each point belongs to, or -1: its ring, or an elevation bin.
struct RowPlan {
  std::vector<int> row_of_point;
  unsigned rows = 0;
  std::string first_row;  // for the legend: what row 0 means
  std::string last_row;
};

RowPlan RowsByRing(const pcl::PointCloud<PointCloudXYZIRT>& cloud) {
  std::uint16_t lowest = std::numeric_limits<std::uint16_t>::max(), highest = 0;
  for (const auto& p : cloud.points) {
    lowest = std::min(lowest, p.ring);
    highest = std::max(highest, p.ring);
  }
  RowPlan plan;
  plan.rows = highest - lowest + 1u;
  plan.first_row = "ring " + std::to_string(lowest);
  plan.last_row = "ring " + std::to_string(highest);
  for (const auto& p : cloud.points) plan.row_of_point.push_back(p.ring - lowest);
  return plan;
}

RowPlan RowsByElevation(const pcl::PointCloud<PointCloudXYZIRT>& cloud, unsigned bins) {
  double lowest = std::numeric_limits<double>::infinity(), highest = -lowest;
  std::vector<double> elevation(cloud.points.size(), std::nan(""));
  for (std::size_t i = 0; i < cloud.points.size(); ++i) {
    const auto& p = cloud.points[i];
    if (!IsFinite(p) || (p.x == 0 && p.y == 0 && p.z == 0)) continue;
    elevation[i] = std::atan2(p.z, std::hypot(p.x, p.y)) * 180.0 / M_PI;
    lowest = std::min(lowest, elevation[i]);
    highest = std::max(highest, elevation[i]);
  }
  RowPlan plan;
  plan.rows = bins;
  char text[64];
  std::snprintf(text, sizeof text, "elevation %.2f deg", std::isfinite(lowest) ? lowest : 0.0);
  plan.first_row = text;
  std::snprintf(text, sizeof text, "elevation %.2f deg", std::isfinite(highest) ? highest : 0.0);
  plan.last_row = text;
  const double span = highest > lowest ? highest - lowest : 1.0;
  for (double e : elevation) {
    if (std::isnan(e)) {
      plan.row_of_point.push_back(-1);
      continue;
    }
    const int row = static_cast<int>((e - lowest) / span * bins);
    plan.row_of_point.push_back(std::min(row, static_cast<int>(bins) - 1));
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

struct Picture {
  unsigned width, height;
  std::vector<Rgb> pixels;
  std::vector<float> nearest;  // range of the return shown, per pixel
};

// Every finite point at its ring (or elevation) and azimuth, nearest first;
// a non-finite point, which has no azimuth, at its order among its row's
// points, shown grey only where no finite return fell.
void Paint(Picture& picture, const pcl::PointCloud<PointCloudXYZIRT>& cloud, const RowPlan& rows,
           const ImageOptions& options) {
  std::vector<std::size_t> points_in_row(rows.rows, 0), seen_in_row(rows.rows, 0);
  for (int row : rows.row_of_point) {
    if (row >= 0) ++points_in_row[row];
  }
  const double scale =
      options.max_range > options.min_range ? 1.0 / (options.max_range - options.min_range) : 1.0;
  for (std::size_t i = 0; i < cloud.points.size(); ++i) {
    const int row = rows.row_of_point[i];
    if (row < 0) continue;
    const std::size_t order = seen_in_row[row]++;
    const PointCloudXYZIRT& p = cloud.points[i];
    std::size_t column;
    if (IsFinite(p)) {
      // Column k is centred on -180 + k x 360 / width degrees; +180 folds onto -180.
      const double a = std::clamp(Azimuth(p), -180.0, 180.0);
      column = static_cast<std::size_t>(std::floor((a + 180.0) / 360.0 * picture.width + 0.5)) %
               picture.width;
    } else {
      column = order * picture.width / points_in_row[row];
    }
    const std::size_t at = static_cast<std::size_t>(row) * picture.width + column;
    if (!IsFinite(p)) {
      if (std::isinf(picture.nearest[at])) picture.pixels[at] = kNotFinite;
      continue;
    }
    const float range = std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z);
    if (range < picture.nearest[at]) {
      picture.nearest[at] = range;
      picture.pixels[at] = Viridis((range - options.min_range) * scale);
    }
  }
}

std::string WritePng(const std::string& path, const Picture& picture,
                     const std::vector<std::pair<std::string, std::string>>& text) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return path + ": " + std::strerror(errno);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (png == nullptr || info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    return path + ": libpng failed to write it";
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, picture.width, picture.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  std::vector<png_text> chunks(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    chunks[i].compression = PNG_TEXT_COMPRESSION_NONE;
    chunks[i].key = const_cast<char*>(text[i].first.c_str());
    chunks[i].text = const_cast<char*>(text[i].second.c_str());
  }
  png_set_text(png, info, chunks.data(), static_cast<int>(chunks.size()));
  png_write_info(png, info);
  for (unsigned row = 0; row < picture.height; ++row) {
    png_write_row(png, reinterpret_cast<png_const_bytep>(&picture.pixels[row * picture.width]));
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return std::fclose(file) == 0 ? "" : path + ": " + std::strerror(errno);
}

}  // namespace

std::string WriteSweepImage(const ImageOptions& options, const SweepImageInput& input,
                            bool& by_elevation) {
  const pcl::PointCloud<PointCloudXYZIRT>& cloud = *input.cloud;
  // An empty cloud is one black row; it says nothing about its ring.
  by_elevation = !cloud.points.empty() && !RingUsable(cloud, input.ring_matched);
  RowPlan rows;
  if (by_elevation) {
    rows = RowsByElevation(cloud, options.elevation_rows);
  } else if (!cloud.points.empty()) {
    rows = RowsByRing(cloud);
  }
  Picture picture{options.columns, std::max(rows.rows, 1u), {}, {}};
  picture.pixels.assign(std::size_t{picture.width} * picture.height, kNoReturn);
  picture.nearest.assign(picture.pixels.size(), std::numeric_limits<float>::infinity());
  Paint(picture, cloud, rows, options);

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
      {"Points", std::to_string(cloud.points.size())},
      {"Scale", scale},
      {"Rows", "top: " + rows.first_row + ", bottom: " + rows.last_row},
      {"Columns",
       "azimuth from -180 degrees (left edge) round to +180, measured from +y, "
       "positive towards +x"}};
  return WritePng(options.dir + "/" + CloudFileName(input.index, input.topic, input.stamp, "png"),
                  picture, text);
}
