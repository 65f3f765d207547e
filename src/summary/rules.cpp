// Turns the tally into the summary's JSON document: medians, gaps, units and
// the problems they point to.
#include "summary/summary.h"
#include "text_format.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <optional>

using nlohmann::ordered_json;

namespace {

constexpr std::size_t kMostGapIndices = 20;
constexpr std::size_t kMostMissingRings = 64;
constexpr std::int64_t kMostRingSpanForMissing = 4096;

ordered_json OrNull(const std::optional<double>& value) {
  return value ? ordered_json(*value) : ordered_json(nullptr);
}

// A finite tallied minimum or maximum, or null when nothing was tallied.
ordered_json Extreme(double value) { return std::isfinite(value) ? ordered_json(value) : nullptr; }

// Seconds as ros::Time::toSec gives them, from exact nanoseconds. Computed
// here, since ros::Time throws for a stamp whose nanoseconds field overflows
// into seconds past 32 bits (a damaged header).
double StampSeconds(std::int64_t nanoseconds) {
  const std::int64_t seconds = nanoseconds / 1000000000;
  return static_cast<double>(seconds) +
         1e-9 * static_cast<double>(nanoseconds - seconds * 1000000000);
}

const char* const kDatatypeNames[] = {nullptr, "INT8",   "UINT8",   "INT16",  "UINT16",
                                      "INT32", "UINT32", "FLOAT32", "FLOAT64"};

std::string DatatypeName(std::uint8_t datatype) {
  if (datatype >= 1 && datatype <= 8) return kDatatypeNames[datatype];
  return std::to_string(datatype);
}

ordered_json FieldsJson(const std::vector<sensor_msgs::PointField>& fields) {
  ordered_json list = ordered_json::array();
  for (const sensor_msgs::PointField& field : fields) {
    list.push_back({{"name", field.name},
                    {"offset", field.offset},
                    {"datatype", DatatypeName(field.datatype)},
                    {"count", field.count}});
  }
  return list;
}

ordered_json PointsJson(const TopicTally& topic) {
  const bool any = topic.clouds > topic.malformed;
  return {{"total", topic.points_total},
          {"min", any ? ordered_json(topic.points_min) : nullptr},
          {"max", any ? ordered_json(topic.points_max) : nullptr},
          {"empty_clouds", topic.empty_clouds}};
}

// Over the clouds with a set stamp only: deltas between consecutive ones,
// so a zeroed sweep between two good ones leaves one gap at the later.
ordered_json StampsJson(const TopicTally& topic) {
  const std::vector<std::size_t> stamped = StampedClouds(topic);
  std::vector<std::int64_t> deltas;
  for (std::size_t i = 1; i < stamped.size(); ++i) {
    deltas.push_back(topic.stamps[stamped[i]] - topic.stamps[stamped[i - 1]]);
  }
  const std::optional<double> period_ns = StampPeriodNs(topic);
  long long gaps = 0, backward = 0, repeated = 0;
  ordered_json gap_indices = ordered_json::array();
  for (std::size_t i = 0; i < deltas.size(); ++i) {
    if (deltas[i] < 0) ++backward;
    if (deltas[i] == 0) ++repeated;
    if (period_ns && static_cast<double>(deltas[i]) > 1.5 * *period_ns) {
      ++gaps;
      if (gap_indices.size() < kMostGapIndices) {
        gap_indices.push_back(topic.indices[stamped[i + 1]]);
      }
    }
  }
  std::optional<double> period, rate;
  if (period_ns) {
    period = *period_ns / 1e9;
    rate = 1.0 / *period;
  }
  return {{"first", StampSeconds(topic.stamps.front())},
          {"last", StampSeconds(topic.stamps.back())},
          {"period_median", OrNull(period)},
          {"rate_hz", OrNull(rate)},
          {"gaps", gaps},
          {"backward", backward},
          {"repeated", repeated},
          {"zero", topic.stamps.size() - stamped.size()},
          {"gap_indices", gap_indices}};
}

// Over the clouds with a set stamp only; all null without one.
ordered_json LatencyJson(const TopicTally& topic) {
  std::vector<std::int64_t> latencies;
  for (const std::size_t i : StampedClouds(topic)) latencies.push_back(topic.latencies[i]);
  if (latencies.empty()) return {{"min", nullptr}, {"median", nullptr}, {"max", nullptr}};
  const auto [low, high] = std::minmax_element(latencies.begin(), latencies.end());
  return {{"min", static_cast<double>(*low) / 1e9},
          {"median", *Median(latencies) / 1e9},
          {"max", static_cast<double>(*high) / 1e9}};
}

ordered_json RangeJson(const TopicTally& topic) {
  return {{"min", Extreme(std::sqrt(topic.range_squared_min))},
          {"max", Extreme(std::sqrt(topic.range_squared_max))}};
}

ordered_json RingJson(const RingTally& ring) {
  if (ring.field.empty()) return nullptr;
  const long long distinct = DistinctRings(ring);
  const auto extremes = RingExtremes(ring);
  ordered_json missing = nullptr, missing_count = nullptr;
  if (ring.integer && extremes && extremes->second - extremes->first <= kMostRingSpanForMissing) {
    missing = ordered_json::array();
    long long count = 0;
    for (std::int64_t number = extremes->first; number <= extremes->second; ++number) {
      if (RingSeen(ring, number)) continue;
      if (missing.size() < kMostMissingRings) missing.push_back(number);
      ++count;
    }
    missing_count = count;
  }
  return {{"field", ring.field},
          {"datatype", DatatypeName(ring.datatype)},
          {"min", extremes ? ordered_json(extremes->first) : nullptr},
          {"max", extremes ? ordered_json(extremes->second) : nullptr},
          {"distinct", distinct},
          {"distinct_exact", !ring.others_capped},
          {"missing", missing},
          {"missing_count", missing_count}};
}

struct TimeUnit {
  const char* name;
  double seconds;    // of one unit
  double low, high;  // span / period ratios that mean this unit
};

const TimeUnit kTimeUnits[] = {
    {"s", 1, 0.2, 2}, {"ms", 1e-3, 200, 2000}, {"us", 1e-6, 2e5, 2e6}, {"ns", 1e-9, 2e8, 2e9}};

// The unit a sweep's time span has against the stamp period, or nullptr.
const TimeUnit* UnitOf(const std::optional<double>& span, const ordered_json& period) {
  if (!span || *span == 0 || period.is_null() || period.get<double>() == 0) return nullptr;
  const double ratio = *span / period.get<double>();
  for (const TimeUnit& unit : kTimeUnits) {
    if (ratio >= unit.low && ratio <= unit.high) return &unit;
  }
  return nullptr;
}

ordered_json TimeJson(const TimeTally& time, const ordered_json& period) {
  if (time.field.empty()) return nullptr;
  const std::optional<double> span = Median(time.spans);
  const TimeUnit* unit = UnitOf(span, period);
  ordered_json relative = nullptr;
  if (unit != nullptr) {
    relative = std::max(std::fabs(time.min), std::fabs(time.max)) * unit->seconds < 1000;
  }
  return {{"field", time.field},
          {"datatype", DatatypeName(time.datatype)},
          {"min", Extreme(time.min)},
          {"max", Extreme(time.max)},
          {"span_median", OrNull(span)},
          {"zero_clouds", time.zero_clouds},
          {"unit", unit != nullptr ? unit->name : "unknown"},
          {"relative", relative}};
}

ordered_json IntensityJson(const FieldTally& intensity) {
  if (intensity.field.empty()) return nullptr;
  return {{"field", intensity.field},
          {"datatype", DatatypeName(intensity.datatype)},
          {"min", Extreme(intensity.min)},
          {"max", Extreme(intensity.max)}};
}

// --- Problems, in the order of ProblemCodes() --------------------------------

struct ProblemRule {
  const char* code;
  // The problem's text, or "" when the topic does not have it.
  std::string (*find)(const ordered_json& topic);
};

long long Count(const ordered_json& value) { return value.get<long long>(); }

std::string ListOf(const ordered_json& values) {
  std::string list;
  for (const auto& value : values) {
    list +=
        (list.empty() ? "" : ", ") + (value.is_string() ? value.get<std::string>() : value.dump());
  }
  return list;
}

// Radar targets and camera pixels have no rings and no per-point times to
// miss.
bool IsLidarLike(const ordered_json& topic) {
  return topic["kind"] != "radar" && topic["kind"] != "camera";
}

const ProblemRule kProblemRules[] = {
    {"malformed",
     [](const ordered_json& t) {
       const long long n = Count(t["malformed"]);
       if (n == 0) return std::string();
       return Plural(n, "cloud's", "clouds'") +
              " metadata does not fit the data: those clouds' points cannot be read";
     }},
    {"empty-clouds",
     [](const ordered_json& t) {
       const long long n = Count(t["points"]["empty_clouds"]);
       if (n == 0) return std::string();
       return Plural(n, "cloud", "clouds") + " without points: sweeps with no points";
     }},
    {"stamp-gaps",
     [](const ordered_json& t) {
       const ordered_json& s = t["stamps"];
       const long long n = Count(s["gaps"]);
       if (n == 0) return std::string();
       return Format(
           "%s longer than 1.5 x the %s period, the first before cloud %d: "
           "dropped sweeps or a stalled driver",
           Plural(n, "stamp gap", "stamp gaps").c_str(),
           Duration(s["period_median"].get<double>()).c_str(), s["gap_indices"][0].get<int>());
     }},
    {"stamp-backward",
     [](const ordered_json& t) {
       const long long n = Count(t["stamps"]["backward"]);
       if (n == 0) return std::string();
       return Plural(n, "stamp goes", "stamps go") +
              " back in time: odometry stacks clear their buffers (\"loop back\")";
     }},
    {"stamp-repeated",
     [](const ordered_json& t) {
       const long long n = Count(t["stamps"]["repeated"]);
       if (n == 0) return std::string();
       return Plural(n, "stamp repeats", "stamps repeat") +
              " the one before: two clouds claim the same instant";
     }},
    {"stamp-zero",
     [](const ordered_json& t) {
       const long long n = Count(t["stamps"]["zero"]);
       if (n == 0) return std::string();
       return Plural(n, "cloud", "clouds") +
              " with header.stamp 0: the driver never set header.stamp: TF lookups, "
              "synchronisation and deskewing fail for those clouds";
     }},
    {"clock-offset",
     [](const ordered_json& t) {
       const ordered_json& latency = t["latency"]["median"];
       if (latency.is_null() || std::fabs(latency.get<double>()) <= 1) return std::string();
       const double median = latency.get<double>();
       return Format(
           "stamps lie %s %s the record time (median): stamps from another clock "
           "than the recorder's: sensor sync is off",
           Duration(std::fabs(median)).c_str(), median > 0 ? "before" : "after");
     }},
    {"nonfinite-points",
     [](const ordered_json& t) {
       const long long n = Count(t["invalid"]["nonfinite_points"]);
       if (n == 0) return std::string();
       return Plural(n, "point", "points") +
              " with NaN or Inf in x, y or z: NaN/Inf points to filter";
     }},
    {"dense-flag-wrong",
     [](const ordered_json& t) {
       const long long n = Count(t["invalid"]["dense_flag_wrong"]);
       if (n == 0) return std::string();
       return Plural(n, "cloud", "clouds") +
              " with is_dense 1 and NaN/Inf points: is_dense promises no NaN but there are some";
     }},
    {"not-dense",
     [](const ordered_json& t) {
       const long long n = Count(t["invalid"]["dense_flag_false"]);
       if (n == 0) return std::string();
       return Plural(n, "cloud", "clouds") +
              " with is_dense 0: consumers that require dense clouds stop (\"Point cloud is not in "
              "dense format, please remove NaN points first!\")";
     }},
    {"zero-points",
     [](const ordered_json& t) {
       const long long n = Count(t["invalid"]["zero_points"]);
       if (n == 0) return std::string();
       return Plural(n, "point", "points") + " at x = y = z = 0: no-return points at the origin";
     }},
    {"unmatched",
     [](const ordered_json& t) {
       if (t["unmatched"].empty()) return std::string();
       return "no matching field for " + ListOf(t["unmatched"]) +
              ": PCL fills those record members with zero or neighbouring bytes (the warnings)";
     }},
    {"no-ring",
     [](const ordered_json& t) {
       if (!t["ring"].is_null() || !IsLidarLike(t)) return std::string();
       return std::string(
           "no ring field (ring, channel, laser_id or line): ring-based consumers stop (\"Point "
           "cloud ring channel not available, please configure your point cloud data!\")");
     }},
    {"missing-rings",
     [](const ordered_json& t) {
       const ordered_json& r = t["ring"];
       if (r.is_null() || r["missing_count"].is_null() || Count(r["missing_count"]) == 0) {
         return std::string();
       }
       const long long n = Count(r["missing_count"]);
       return Format(
           "%s between %lld and %lld never seen (%s%s): dead channels, or a ring "
           "numbering fault",
           Plural(n, "ring number", "ring numbers").c_str(), Count(r["min"]), Count(r["max"]),
           ListOf(r["missing"]).c_str(),
           n > static_cast<long long>(r["missing"].size()) ? ", ..." : "");
     }},
    {"no-time",
     [](const ordered_json& t) {
       if (!t["time"].is_null() || !IsLidarLike(t)) return std::string();
       return std::string(
           "no per-point time field (time, t, timestamp, time_stamp, offset_time or "
           "time_offset): no deskewing possible (\"Point cloud timestamp not available, deskew "
           "function disabled, system will drift significantly!\")");
     }},
    {"time-zero",
     [](const ordered_json& t) {
       const ordered_json& time = t["time"];
       if (time.is_null() || Count(time["zero_clouds"]) == 0) return std::string();
       return Plural(Count(time["zero_clouds"]), "cloud has", "clouds have") +
              " per-point times all 0: time present but all zero in some sweeps";
     }},
    {"time-unit",
     [](const ordered_json& t) {
       const ordered_json& time = t["time"];
       const ordered_json& period = t["stamps"]["period_median"];
       if (time.is_null() || period.is_null() || time["unit"] == "s") return std::string();
       const std::string unit = time["unit"];
       const std::string span = time["span_median"].is_null()
                                    ? std::string("no finite value")
                                    : Format("%g", time["span_median"].get<double>());
       return Format(
           "per-point times span %s a sweep against a %.3f ms period, %s: consumers "
           "that read float seconds get %s",
           span.c_str(), period.get<double>() * 1e3,
           unit == "unknown" ? "in no known unit" : ("so in " + unit).c_str(),
           unit == "unknown" ? "nonsense" : unit.c_str());
     }},
    {"time-absolute",
     [](const ordered_json& t) {
       const ordered_json& time = t["time"];
       if (time.is_null() || time["relative"] != false) return std::string();
       return Format(
           "per-point times reach %g %s: per-point times are absolute, not offsets "
           "within the sweep",
           std::max(std::fabs(time["min"].get<double>()), std::fabs(time["max"].get<double>())),
           time["unit"].get<std::string>().c_str());
     }},
    {"layout-changes",
     [](const ordered_json& t) {
       const long long n = Count(t["layouts"]);
       if (n <= 1) return std::string();
       return std::to_string(n) + " layouts: the driver's layout changed during the recording";
     }},
    {"bigendian",
     [](const ordered_json& t) {
       const long long n = Count(t["bigendian_clouds"]);
       if (n == 0) return std::string();
       return Plural(n, "cloud", "clouds") +
              " with is_bigendian set: the flag is set; values are taken as stored";
     }},
};

ordered_json ProblemsJson(const ordered_json& topic) {
  ordered_json problems = ordered_json::array();
  for (const ProblemRule& rule : kProblemRules) {
    const std::string text = rule.find(topic);
    if (!text.empty()) problems.push_back({{"code", rule.code}, {"text", text}});
  }
  return problems;
}

ordered_json TopicJson(const TopicTally& topic) {
  ordered_json frame_ids = ordered_json::object();
  for (const auto& [frame_id, count] : topic.frame_ids) frame_ids[frame_id] = count;
  ordered_json json = {{"topic", topic.topic},
                       {"kind", topic.kind},
                       {"types", topic.types},
                       {"clouds", topic.clouds},
                       {"first_index", topic.first_index},
                       {"last_index", topic.last_index},
                       {"malformed", topic.malformed},
                       {"frame_ids", frame_ids},
                       {"points", PointsJson(topic)},
                       {"organized_clouds", topic.organized_clouds},
                       {"bigendian_clouds", topic.bigendian_clouds},
                       {"layouts", topic.layouts.size()},
                       {"fields", FieldsJson(topic.fields)},
                       {"unmatched", topic.unmatched},
                       {"stamps", StampsJson(topic)},
                       {"latency", LatencyJson(topic)},
                       {"invalid",
                        {{"nonfinite_points", topic.nonfinite_points},
                         {"zero_points", topic.zero_points},
                         {"dense_flag_wrong", topic.dense_flag_wrong},
                         {"dense_flag_false", topic.dense_flag_false}}},
                       {"range", RangeJson(topic)}};
  json["ring"] = RingJson(topic.ring);
  json["time"] = TimeJson(topic.time, json["stamps"]["period_median"]);
  json["intensity"] = IntensityJson(topic.intensity);
  json["problems"] = ProblemsJson(json);
  return json;
}

}  // namespace

ordered_json SummaryDocument(const SummaryTally& tally) {
  ordered_json topics = ordered_json::array();
  for (const TopicTally& topic : tally.topics) topics.push_back(TopicJson(topic));
  ordered_json others = ordered_json::array();
  for (const OtherTopic& other : tally.other_topics) {
    others.push_back({{"topic", other.topic}, {"type", other.type}, {"messages", other.messages}});
  }
  ordered_json silent = ordered_json::array();
  for (const SilentTopic& topic : tally.silent_topics) {
    silent.push_back(
        {{"topic", topic.topic},
         {"type", topic.type},
         {"offered_qos", topic.qos_stored ? ordered_json(topic.offered_qos) : nullptr}});
  }
  return {{"bag", tally.bag},
          {"bags", tally.bags},
          {"complete", tally.complete},
          {"topics_requested", tally.topics_requested},
          {"walk_clouds", tally.walk_clouds},
          {"clouds", tally.clouds},
          {"topics", topics},
          {"other_topics", others},
          {"silent_cloud_topics", silent}};
}

const std::vector<std::string>& ProblemCodes() {
  static const std::vector<std::string> codes = [] {
    std::vector<std::string> list;
    for (const ProblemRule& rule : kProblemRules) list.emplace_back(rule.code);
    list.emplace_back(kSilentTopicsCode);
    return list;
  }();
  return codes;
}

bool HasListedProblem(const ordered_json& document, const std::set<std::string>& codes) {
  const bool any = codes.count("any") != 0;
  if ((any || codes.count(kSilentTopicsCode) != 0) && !document["silent_cloud_topics"].empty()) {
    return true;
  }
  for (const ordered_json& topic : document["topics"]) {
    for (const ordered_json& problem : topic["problems"]) {
      if (codes.count("any") != 0 || codes.count(problem["code"].get<std::string>()) != 0) {
        return true;
      }
    }
  }
  return false;
}
