#include "pictures/timeline.h"

#include "pictures/png_file.h"

#include <cairo.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace {

// Layout, in pixels.
constexpr int kLeft = 86;  // room for the strips' labels and numbers
constexpr int kRight = 16;
constexpr int kTitle = 46;
constexpr int kBandHeader = 24;
constexpr int kStrip = 78;
constexpr int kStripGap = 10;
constexpr int kAxis = 30;  // tick numbers under each band
constexpr int kStrips = 4;
constexpr int kBand = kBandHeader + kStrips * (kStrip + kStripGap) + kAxis;
constexpr unsigned kRangeColour = 0x2A4B8D;  // the values' range in each column

const double kNaN = std::numeric_limits<double>::quiet_NaN();

void SetColour(cairo_t* cr, unsigned rgb) {
  cairo_set_source_rgb(cr, ((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0,
                       (rgb & 0xFF) / 255.0);
}

void Text(cairo_t* cr, double x, double y, const std::string& text, double size,
          bool right_aligned = false, bool bold = false) {
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL,
                         bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, size);
  cairo_text_extents_t extents;
  cairo_text_extents(cr, text.c_str(), &extents);
  cairo_move_to(cr, right_aligned ? x - extents.x_advance : x, y);
  SetColour(cr, 0x000000);
  cairo_show_text(cr, text.c_str());
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, std::fabs(value) >= 1000 ? "%.0f" : "%.4g", value);
  return text;
}

// A step of 1, 2 or 5 times a power of ten that cuts `span` into about
// `parts` pieces.
double NiceStep(double span, int parts) {
  const double raw = span / parts;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double factor : {1.0, 2.0, 5.0}) {
    if (factor * power >= raw) return factor * power;
  }
  return 10.0 * power;
}

// The walk's record-time span, in nanoseconds, and its columns.
struct TimeAxis {
  std::int64_t start = 0;
  double span = 1e9;  // never 0
  int left = kLeft;
  int columns = 1;

  int Column(std::int64_t time) const {
    const double at = static_cast<double>(time - start) / span * (columns - 1);
    return std::clamp(static_cast<int>(std::floor(at)), 0, columns - 1);
  }
};

// One strip: a value per cloud (NaN: none) at each cloud's column, shown as
// the range of the values in each column, and markers drawn over them.
struct Strip {
  std::string label;  // with its unit
  std::vector<double> values;
  std::vector<int> columns;                     // of each value
  std::vector<std::pair<int, unsigned>> marks;  // column and colour
  double low = 0, high = 1;                     // the scale; values beyond are drawn at its ends
};

void DrawStrip(cairo_t* cr, const TimeAxis& axis, int top, const Strip& strip) {
  cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
  SetColour(cr, 0xF2F2F2);
  cairo_rectangle(cr, axis.left, top, axis.columns, kStrip);
  cairo_fill(cr);
  SetColour(cr, 0xB4B4B4);
  cairo_rectangle(cr, axis.left - 0.5, top - 0.5, axis.columns + 1, kStrip + 1);
  cairo_set_line_width(cr, 1);
  cairo_stroke(cr);
  // The range of the values that fall in each column: a long recording
  // keeps its spikes and drops.
  std::vector<double> lowest(axis.columns, kNaN), highest(axis.columns, kNaN);
  for (std::size_t i = 0; i < strip.values.size(); ++i) {
    const double v = strip.values[i];
    if (!std::isfinite(v)) continue;
    const int c = strip.columns[i];
    lowest[c] = std::isnan(lowest[c]) ? v : std::min(lowest[c], v);
    highest[c] = std::isnan(highest[c]) ? v : std::max(highest[c], v);
  }
  const double scale = strip.high > strip.low ? (kStrip - 1) / (strip.high - strip.low) : 0;
  auto y = [&](double v) {
    const double clipped = std::clamp(v, strip.low, strip.high);
    return top + kStrip - 1 - static_cast<int>(std::lround((clipped - strip.low) * scale));
  };
  // Sparse clouds get wider dots, so that a short walk is still seen.
  const int dot = std::clamp(axis.columns / static_cast<int>(strip.values.size() + 1), 1, 3);
  SetColour(cr, kRangeColour);
  for (int c = 0; c < axis.columns; ++c) {
    if (std::isnan(lowest[c])) continue;
    const int y_low = std::min(y(lowest[c]) + dot / 2, top + kStrip - 1);
    const int y_high = std::max(y(highest[c]) - dot / 2, top);
    const int x = std::min(axis.left + c, axis.left + axis.columns - dot);
    cairo_rectangle(cr, x, y_high, dot, y_low - y_high + 1);
  }
  cairo_fill(cr);
  // Markers last, two columns wide, the whole strip high: never hidden.
  for (const auto& [column, colour] : strip.marks) {
    SetColour(cr, colour);
    const int x = std::min(axis.left + column, axis.left + axis.columns - 2);
    cairo_rectangle(cr, x, top, 2, kStrip);
    cairo_fill(cr);
  }
  cairo_set_antialias(cr, CAIRO_ANTIALIAS_DEFAULT);
  Text(cr, axis.left - 6, top + 11, Number(strip.high), 10, true);
  Text(cr, axis.left - 6, top + kStrip - 1, Number(strip.low), 10, true);
  Text(cr, axis.left - 6, top + kStrip / 2.0 + 4, strip.label, 10, true);
}

void DrawTimeTicks(cairo_t* cr, const TimeAxis& axis, int bottom) {
  const double seconds = axis.span / 1e9;
  const double step = NiceStep(seconds, std::max(2, axis.columns / 140));
  cairo_set_line_width(cr, 1);
  for (int tick = 0; tick * step <= seconds + 1e-9; ++tick) {
    const double t = tick * step;
    const double x = axis.left + std::floor(t / seconds * (axis.columns - 1)) + 0.5;
    SetColour(cr, 0x7A7A7A);
    cairo_move_to(cr, x, bottom);
    cairo_line_to(cr, x, bottom + 5);
    cairo_stroke(cr);
    Text(cr, x - 8, bottom + 17, Number(t), 10);
  }
  Text(cr, 12, bottom + 17, "time, s", 10);
}

double PercentileCap(std::vector<double> values, double fraction) {
  values.erase(
      std::remove_if(values.begin(), values.end(), [](double v) { return !std::isfinite(v); }),
      values.end());
  if (values.empty()) return kNaN;
  const auto at = static_cast<std::ptrdiff_t>(fraction * static_cast<double>(values.size() - 1));
  std::nth_element(values.begin(), values.begin() + at, values.end());
  return values[static_cast<std::size_t>(at)];
}

// The four strips of one topic.
std::vector<Strip> TopicStrips(const TopicTally& topic, const TimeAxis& axis) {
  std::vector<Strip> strips(kStrips);
  Strip& interval = strips[0];
  Strip& points = strips[1];
  Strip& invalid = strips[2];
  Strip& latency = strips[3];
  interval.label = "interval ms";
  points.label = "points";
  invalid.label = "invalid %";
  latency.label = "latency ms";
  const std::optional<double> period = StampPeriodNs(topic);
  double points_max = 0, latency_low = 0, latency_high = 0;
  for (std::size_t i = 0; i < topic.stamps.size(); ++i) {
    const int column = axis.Column(topic.recorded[i]);
    for (Strip& strip : strips) strip.columns.push_back(column);
    double delta = kNaN;
    if (i > 0) {
      const std::int64_t d = topic.stamps[i] - topic.stamps[i - 1];
      delta = static_cast<double>(d) / 1e6;
      if (d <= 0) interval.marks.emplace_back(column, kBackwardMarker);
      if (period && static_cast<double>(d) > 1.5 * *period) {
        interval.marks.emplace_back(column, kGapMarker);
      }
    }
    interval.values.push_back(delta);
    const bool malformed = topic.cloud_malformed[i];
    points.values.push_back(malformed ? kNaN : topic.cloud_points[i]);
    if (malformed || topic.cloud_points[i] == 0) points.marks.emplace_back(column, kEmptyMarker);
    points_max = std::max<double>(points_max, malformed ? 0 : topic.cloud_points[i]);
    invalid.values.push_back(topic.invalid_percent[i]);
    latency.values.push_back(static_cast<double>(topic.latencies[i]) / 1e6);
    latency_low = std::min(latency_low, latency.values.back());
    latency_high = std::max(latency_high, latency.values.back());
  }
  // Intervals from 0 to three periods: a gap runs off the top, and its
  // marker says where.
  interval.high = period ? 3 * *period / 1e6 : 1;
  if (!period) {
    const double highest = PercentileCap(interval.values, 1.0);
    interval.high = std::isfinite(highest) && highest > 0 ? highest : 1;
  }
  // Room above the highest value, so that it does not sit on the frame.
  points.high = points_max > 0 ? NiceStep(points_max * 1.2, 4) * 4 : 1;
  invalid.high = 100;
  latency.low = latency_low < 0 ? -NiceStep(-latency_low * 1.2, 2) * 2 : 0;
  latency.high = latency_high > 0 ? NiceStep(latency_high * 1.2, 4) * 4 : latency.low + 1;
  return strips;
}

std::string Seconds(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", value);
  return text;
}

// Writes the surface as an RGB PNG with text chunks saying what it shows and
// where the strips are, so that the picture explains itself.
std::string WritePng(const std::string& path, cairo_surface_t* surface,
                     const std::vector<std::pair<std::string, std::string>>& text) {
  cairo_surface_flush(surface);
  const int width = cairo_image_surface_get_width(surface);
  const int height = cairo_image_surface_get_height(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  const unsigned char* argb = cairo_image_surface_get_data(surface);
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * 3);
  // Opaque 32-bit pixels in native order, one word a pixel.
  auto row = [&](unsigned y) {
    for (std::size_t x = 0; x < static_cast<std::size_t>(width); ++x) {
      std::uint32_t pixel;
      std::memcpy(&pixel, argb + static_cast<std::size_t>(y) * stride + 4 * x, 4);
      rgb[3 * x] = (pixel >> 16) & 0xFF;
      rgb[3 * x + 1] = (pixel >> 8) & 0xFF;
      rgb[3 * x + 2] = pixel & 0xFF;
    }
    return rgb.data();
  };
  return WriteRgbPng(path, static_cast<unsigned>(width), static_cast<unsigned>(height), row, text);
}

}  // namespace

namespace {

std::string DrawTimeline(const TimelineOptions& options, const SummaryTally& tally) {
  TimeAxis axis;
  axis.columns = std::max(1, static_cast<int>(options.width) - kLeft - kRight);
  std::int64_t end = 0;
  bool any = false;
  for (const TopicTally& topic : tally.topics) {
    if (topic.recorded.empty()) continue;
    const auto [first, last] = std::minmax_element(topic.recorded.begin(), topic.recorded.end());
    axis.start = any ? std::min(axis.start, *first) : *first;
    end = any ? std::max(end, *last) : *last;
    any = true;
  }
  if (any && end > axis.start) axis.span = static_cast<double>(end - axis.start);
  const int height = kTitle + std::max<int>(1, static_cast<int>(tally.topics.size())) * kBand;
  std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> surface(
      cairo_image_surface_create(CAIRO_FORMAT_RGB24, static_cast<int>(options.width), height),
      cairo_surface_destroy);
  std::unique_ptr<cairo_t, decltype(&cairo_destroy)> context(cairo_create(surface.get()),
                                                             cairo_destroy);
  cairo_t* cr = context.get();
  if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) {
    return std::string("cairo cannot draw it: ") + cairo_status_to_string(cairo_status(cr));
  }
  SetColour(cr, 0xFFFFFF);
  cairo_paint(cr);

  std::string bags;
  for (const std::string& bag : tally.bags) bags += (bags.empty() ? "" : ", ") + bag;
  const double duration = any ? static_cast<double>(end - axis.start) / 1e9 : 0;
  Text(cr, 12, 22, "timeline of " + bags, 15, false, true);
  Text(cr, 12, 39,
       std::to_string(tally.clouds) + " clouds over " + Seconds(duration) +
           " of record time; red: stamp gap over 1.5 periods, purple: stamp back or repeated, "
           "orange: empty or malformed cloud",
       11);
  std::vector<std::pair<std::string, std::string>> text = {
      {"Title", "timeline of " + bags},
      {"Software", "bag_cloud_dump"},
      {"Duration", Seconds(duration)},
      {"Plot", "x " + std::to_string(axis.left) + " to " +
                   std::to_string(axis.left + axis.columns - 1) + " is record time " +
                   std::to_string(axis.start) + " ns plus " + Number(axis.span / 1e9) + " s"}};
  if (!any) Text(cr, kLeft, kTitle + 40, "no point clouds in the walk: nothing to draw", 13);
  int top = kTitle;
  std::string strips_text;  // where each topic's strips are
  for (const TopicTally& topic : tally.topics) {
    const std::optional<double> period = StampPeriodNs(topic);
    Text(cr, axis.left, top + 16,
         topic.topic + "  " + std::to_string(topic.clouds) + " clouds" +
             (period              ? ", " + Number(1e9 / *period) + " Hz"
              : topic.clouds == 1 ? ", one cloud: no intervals"
                                  : ""),
         12, false, true);
    const std::vector<Strip> strips = TopicStrips(topic, axis);
    int strip_top = top + kBandHeader;
    std::string where;
    for (const Strip& strip : strips) {
      DrawStrip(cr, axis, strip_top, strip);
      where += (where.empty() ? "" : ", ") + strip.label + " y " + std::to_string(strip_top) +
               " to " + std::to_string(strip_top + kStrip - 1);
      strip_top += kStrip + kStripGap;
    }
    DrawTimeTicks(cr, axis, strip_top - kStripGap);
    strips_text += (strips_text.empty() ? "" : "; ") + topic.topic + ": " + where;
    top += kBand;
  }
  if (!strips_text.empty()) text.emplace_back("Strips", strips_text);
  return WritePng(options.path, surface.get(), text);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void BagCloudDumpWriteTimeline(
    const TimelineOptions& options, const SummaryTally& tally, std::string& problem) {
  try {
    problem = DrawTimeline(options, tally);
  } catch (const std::exception& e) {  // nothing may unwind into the tool unseen
    problem = e.what();
  }
}
