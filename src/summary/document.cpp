// Turns the tally into the summary's JSON document: medians, gaps, units,
// the stamp's place in the sweep, whole sweeps, and the consumers and
// problems they point to.
#include "summary/rules.h"
#include "summary/summary.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <optional>

using nlohmann::ordered_json;

namespace {

constexpr std::size_t kMostGapIndices = 20;
constexpr std::size_t kMostPartialIndices = 20;
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

bool IsLidarLike(const TopicTally& topic) {
  return topic.kind != "radar" && topic.kind != "camera";
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
// Clouds lost between those a publisher numbered: when nine steps in ten of
// header.seq are +1 (a counting publisher), what the larger steps skip.
ordered_json SeqLost(const TopicTally& topic) {
  if (topic.seqs.size() < 2) return nullptr;
  long long ones = 0, lost = 0;
  for (std::size_t i = 1; i < topic.seqs.size(); ++i) {
    const std::int64_t step =
        static_cast<std::int64_t>(topic.seqs[i]) - static_cast<std::int64_t>(topic.seqs[i - 1]);
    if (step == 1) ++ones;
    if (step > 1) lost += step - 1;
  }
  if (10 * ones < 9 * static_cast<long long>(topic.seqs.size() - 1)) return nullptr;
  return lost;
}

ordered_json StampsJson(const TopicTally& topic) {
  const std::vector<std::size_t> stamped = StampedClouds(topic);
  std::vector<std::int64_t> deltas;
  for (std::size_t i = 1; i < stamped.size(); ++i) {
    deltas.push_back(topic.stamps[stamped[i]] - topic.stamps[stamped[i - 1]]);
  }
  const std::optional<double> period_ns = StampPeriodNs(topic);
  long long gaps = 0, backward = 0, repeated = 0, short_deltas = 0;
  ordered_json gap_indices = ordered_json::array();
  std::vector<double> deviations;  // of the positive deltas from the period, in ns
  for (std::size_t i = 0; i < deltas.size(); ++i) {
    if (deltas[i] < 0) ++backward;
    if (deltas[i] == 0) ++repeated;
    if (period_ns && static_cast<double>(deltas[i]) > 1.5 * *period_ns) {
      ++gaps;
      if (gap_indices.size() < kMostGapIndices) {
        gap_indices.push_back(topic.indices[stamped[i + 1]]);
      }
    }
    if (period_ns && deltas[i] > 0) {
      deviations.push_back(std::fabs(static_cast<double>(deltas[i]) - *period_ns));
      if (static_cast<double>(deltas[i]) < 0.5 * *period_ns) ++short_deltas;
    }
  }
  std::optional<double> period, rate, jitter;
  if (period_ns) {
    period = *period_ns / 1e9;
    rate = 1.0 / *period;
    jitter = *Median(deviations) / 1e9;
  }
  return {{"first", StampSeconds(topic.stamps.front())},
          {"last", StampSeconds(topic.stamps.back())},
          {"period_median", OrNull(period)},
          {"rate_hz", OrNull(rate)},
          {"gaps", gaps},
          {"backward", backward},
          {"repeated", repeated},
          {"zero", topic.stamps.size() - stamped.size()},
          {"gap_indices", gap_indices},
          {"jitter", OrNull(jitter)},
          {"short", short_deltas},
          {"seq_lost", SeqLost(topic)}};
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

ordered_json RingJson(const RingTally& tally) {
  if (tally.field.empty()) return nullptr;
  const RingNumbers ring = MergedRingNumbers(tally);
  const long long distinct = DistinctRings(ring);
  const auto extremes = RingExtremes(ring);
  ordered_json missing = nullptr, missing_count = nullptr;
  if (tally.integer && extremes && extremes->second - extremes->first <= kMostRingSpanForMissing) {
    missing = ordered_json::array();
    long long count = 0;
    for (std::int64_t number = extremes->first; number <= extremes->second; ++number) {
      if (RingSeen(ring, number)) continue;
      if (missing.size() < kMostMissingRings) missing.push_back(number);
      ++count;
    }
    missing_count = count;
  }
  return {{"field", tally.field},
          {"datatype", DatatypeName(tally.datatype)},
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

// A cloud's first and last point time in seconds from its stamp, when it has
// them: times are offsets from the stamp when relative, instants otherwise
// (then a cloud without a stamp has none).
struct CloudOffsets {
  bool known = false;
  double first = 0, last = 0;
};

CloudOffsets OffsetsOf(const CloudPoints& cloud, const TimeUnit& unit, bool relative) {
  CloudOffsets offsets;
  if (!cloud.time || (!relative && cloud.stamp == 0)) return offsets;
  offsets.known = true;
  offsets.first = cloud.time_min * unit.seconds;
  offsets.last = cloud.time_max * unit.seconds;
  if (!relative) {
    offsets.first -= StampSeconds(cloud.stamp);
    offsets.last -= StampSeconds(cloud.stamp);
  }
  return offsets;
}

// Where the stamp lies against the medians of the first and last offsets.
const char* StampAt(double first, double last) {
  const double tolerance = std::max(0.1 * (last - first), 0.001);
  if (std::fabs(first) <= tolerance) return "start";
  if (std::fabs(last) <= tolerance) return "end";
  if (std::fabs((first + last) / 2) <= tolerance) return "middle";
  if (first < 0 && last > 0) return "inside";
  if (first > 0) return "before";
  return "after";
}

// The keys of the stamp's place and of the point times' content, in the
// order they follow `relative`.
void AddTimeContent(const TopicTally& topic, const TimeUnit* unit, bool relative,
                    ordered_json& time) {
  time["offsets"] = nullptr;
  time["stamp_at"] = nullptr;
  for (const char* key : {"constant_clouds", "overlaps", "overlap_max", "overlap_first_index",
                          "last_not_latest", "unordered_clouds"}) {
    time[key] = nullptr;
  }
  if (!IsLidarLike(topic)) return;
  long long constant = 0, last_not_latest = 0, unordered = 0;
  for (const CloudPoints& cloud : topic.readable_clouds) {
    constant += cloud.time_constant;
    last_not_latest += cloud.last_not_latest;
    unordered += cloud.unordered;
  }
  time["constant_clouds"] = constant;
  time["last_not_latest"] = last_not_latest;
  if (!topic.ring.field.empty()) time["unordered_clouds"] = unordered;
  if (unit == nullptr) return;

  std::vector<double> firsts, lasts;
  long long overlaps = 0;
  double overlap_max = 0;
  int overlap_first = 0;
  CloudOffsets before;  // of the readable cloud before, when it has offsets and a stamp
  std::int64_t before_stamp = 0;
  for (const CloudPoints& cloud : topic.readable_clouds) {
    const CloudOffsets offsets = OffsetsOf(cloud, *unit, relative);
    if (offsets.known) {
      firsts.push_back(offsets.first);
      lasts.push_back(offsets.last);
    }
    const bool chained = offsets.known && cloud.stamp != 0;
    if (chained && before.known) {
      const double overlap =
          (StampSeconds(before_stamp) + before.last) - (StampSeconds(cloud.stamp) + offsets.first);
      if (overlap > 0.001) {
        if (overlaps++ == 0) overlap_first = cloud.index;
        overlap_max = std::max(overlap_max, overlap);
      }
    }
    before = chained ? offsets : CloudOffsets();
    before_stamp = cloud.stamp;
  }
  if (firsts.empty()) return;
  const double first = *Median(firsts), last = *Median(lasts);
  time["offsets"] = {{"first_median", first}, {"last_median", last}};
  time["stamp_at"] = StampAt(first, last);
  time["overlaps"] = overlaps;
  time["overlap_max"] = overlaps > 0 ? ordered_json(overlap_max) : nullptr;
  time["overlap_first_index"] = overlaps > 0 ? ordered_json(overlap_first) : nullptr;
}

ordered_json TimeJson(const TopicTally& topic, const ordered_json& period) {
  const TimeTally& time = topic.time;
  if (time.field.empty()) return nullptr;
  const std::optional<double> span = Median(time.spans);
  const TimeUnit* unit = UnitOf(span, period);
  ordered_json relative = nullptr;
  if (unit != nullptr) {
    relative = std::max(std::fabs(time.min), std::fabs(time.max)) * unit->seconds < 1000;
  }
  ordered_json json = {{"field", time.field},
                       {"datatype", DatatypeName(time.datatype)},
                       {"min", Extreme(time.min)},
                       {"max", Extreme(time.max)},
                       {"span_median", OrNull(span)},
                       {"zero_clouds", time.zero_clouds},
                       {"unit", unit != nullptr ? unit->name : "unknown"},
                       {"relative", relative}};
  AddTimeContent(topic, unit, unit != nullptr && relative.get<bool>(), json);
  return json;
}

ordered_json IntensityJson(const FieldTally& intensity) {
  if (intensity.field.empty()) return nullptr;
  return {{"field", intensity.field},
          {"datatype", DatatypeName(intensity.datatype)},
          {"min", Extreme(intensity.min)},
          {"max", Extreme(intensity.max)}};
}

template <typename T>
ordered_json Spread(const std::vector<T>& values) {
  return {{"min", *std::min_element(values.begin(), values.end())},
          {"median", *Median(values)},
          {"max", *std::max_element(values.begin(), values.end())}};
}

// Whole sweeps: the sectors their valid points cover, against the topic's
// usual sweep. A sensor that sees all around is judged by its coverage,
// one with many points by their number; sparse and narrow ones by neither.
ordered_json SweepJson(const TopicTally& topic, TopicFacts& facts) {
  std::vector<const CloudPoints*> sweeps;
  for (const CloudPoints& cloud : topic.readable_clouds) {
    if (cloud.sweep) sweeps.push_back(&cloud);
  }
  if (sweeps.empty()) return nullptr;
  std::vector<int> coverage;
  std::vector<std::uint64_t> valid;
  int gap = -1, gap_index = 0;
  for (const CloudPoints* cloud : sweeps) {
    coverage.push_back(cloud->coverage);
    valid.push_back(cloud->valid);
    if (cloud->gap > gap) {
      gap = cloud->gap;
      gap_index = cloud->index;
    }
  }
  const double coverage_median = *Median(coverage);
  const double valid_median = *Median(valid);
  long long partial = 0;
  ordered_json partial_indices = ordered_json::array();
  for (const CloudPoints* cloud : sweeps) {
    const bool narrower = coverage_median >= 300 && cloud->coverage <= coverage_median - 2;
    const bool fewer =
        valid_median >= 1000 && static_cast<double>(cloud->valid) < 0.9 * valid_median;
    if (!narrower && !fewer) continue;
    if (partial++ == 0) {
      facts.partial_index = cloud->index;
      facts.partial_coverage = cloud->coverage;
      facts.partial_valid = cloud->valid;
      facts.partial_gap = cloud->gap;
      facts.partial_gap_start = cloud->gap_start;
    }
    if (partial_indices.size() < kMostPartialIndices) partial_indices.push_back(cloud->index);
  }
  return {{"coverage_deg", Spread(coverage)}, {"valid_points", Spread(valid)},
          {"largest_gap_deg", gap},           {"largest_gap_index", gap_index},
          {"partial_clouds", partial},        {"partial_indices", partial_indices}};
}

ordered_json TopicJson(const SummaryTally& tally, const TopicTally& topic) {
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
  json["time"] = TimeJson(topic, json["stamps"]["period_median"]);
  json["intensity"] = IntensityJson(topic.intensity);
  TopicFacts facts;
  const bool lidar_like = IsLidarLike(topic);
  json["sweep"] = lidar_like ? SweepJson(topic, facts) : nullptr;
  json["repeated_clouds"] = lidar_like ? ordered_json(topic.repeated_clouds) : nullptr;
  facts.repeated_first_index = topic.repeated_first_index;
  json["consumers"] = ConsumersJson(topic, json);
  json["frames"] = FramesJson(tally, topic, facts);
  json["imu"] = ImuOfTopicJson(tally, topic, json, facts);
  json["problems"] = ProblemsJson(json, facts);
  return json;
}

}  // namespace

std::string DatatypeName(std::uint8_t datatype) {
  static const char* const kNames[] = {nullptr, "INT8",   "UINT8",   "INT16",  "UINT16",
                                       "INT32", "UINT32", "FLOAT32", "FLOAT64"};
  if (datatype >= 1 && datatype <= 8) return kNames[datatype];
  return std::to_string(datatype);
}

ordered_json SummaryDocument(const SummaryTally& tally) {
  ordered_json topics = ordered_json::array();
  for (const TopicTally& topic : tally.topics) topics.push_back(TopicJson(tally, topic));
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
          {"silent_cloud_topics", silent},
          {"lidar_not_clouds", LidarNotCloudsJson(tally)},
          {"tf", TfJson(tally.context)},
          {"imu_topics", ImuTopicsJson(tally.context)}};
}
