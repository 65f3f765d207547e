// The health summary: per cloud topic, what a consumer of the recording will
// meet (stamps, latency, invalid points, ring and time fields, layouts),
// tallied over every point of every cloud the walk reports, then written as
// one JSON document, as '#' lines, and as the problems found.
#pragma once

#include "cloud/cloud_check.h"

#include <ros/time.h>
#include <sensor_msgs/PointCloud2.h>
#include <nlohmann/json_fwd.hpp>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

// The values of one field over a topic's clouds.
struct FieldTally {
  std::string field;  // of the first cloud that has the field; empty: no cloud has
  std::uint8_t datatype = 0;
  double min = std::numeric_limits<double>::infinity();  // over the finite values
  double max = -std::numeric_limits<double>::infinity();
};

// min and max of a ring tally cover only the numbers outside `small`.
struct RingTally : FieldTally {
  bool integer = true;              // every ring field seen has an integer datatype
  std::vector<std::uint8_t> small;  // 1 for each number seen, from kSmallestRing on
  std::set<std::int64_t> others;    // numbers seen outside the bitmap, up to kMostOtherRings
  bool others_capped = false;       // more numbers were seen than `others` holds
};

struct TimeTally : FieldTally {
  std::vector<double> spans;  // max - min within each cloud with a finite value
  int zero_clouds = 0;        // non-empty clouds whose values are all 0
};

struct TopicTally {
  std::string topic;
  std::string kind;                // of sensor, from the first cloud's field names
  std::vector<std::string> types;  // in order of appearance
  int clouds = 0;
  int first_index = 0;
  int last_index = 0;
  int malformed = 0;
  std::vector<std::pair<std::string, int>> frame_ids;  // in order of appearance

  // Points of the clouds that are not malformed.
  std::uint64_t points_total = 0;
  std::uint64_t points_min = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t points_max = 0;
  int empty_clouds = 0;

  int organized_clouds = 0;
  int bigendian_clouds = 0;
  std::set<std::string> layouts;
  std::vector<sensor_msgs::PointField> fields;  // of the first cloud
  std::vector<std::string> unmatched;           // record members PCL cannot match in it

  // Per cloud, in walk order: header stamp, report index, record time minus
  // stamp, all in exact nanoseconds.
  std::vector<std::int64_t> stamps;
  std::vector<int> indices;
  std::vector<std::int64_t> latencies;
  // Per cloud, for the timeline: record time (ns), width x height, whether
  // it is malformed, and its share of non-finite and zero points in % (NaN
  // when its points could not be read).
  std::vector<std::int64_t> recorded;
  std::vector<std::uint32_t> cloud_points;
  std::vector<bool> cloud_malformed;
  std::vector<float> invalid_percent;

  std::uint64_t nonfinite_points = 0;
  std::uint64_t zero_points = 0;
  int dense_flag_wrong = 0;
  int dense_flag_false = 0;
  double range_squared_min = std::numeric_limits<double>::infinity();
  double range_squared_max = -std::numeric_limits<double>::infinity();

  RingTally ring;
  TimeTally time;
  FieldTally intensity;
};

// A connection of the bag that is not a cloud, merged per topic and type.
struct OtherTopic {
  std::string topic;
  std::string type;
  std::uint64_t messages;
};

// A cloud topic of the recording that holds no message: a driver that never
// published, or a QoS the recorder could not match.
struct SilentTopic {
  std::string topic;
  std::string type;
  bool qos_stored = false;  // the recording keeps the publishers' offered QoS
  std::string offered_qos;  // ... in words
};

struct SummaryTally {
  std::string bag;                // the first bag
  std::vector<std::string> bags;  // every bag of the walk
  bool complete = true;           // false when the walk stopped on a damaged message
  bool topics_requested = false;
  int walk_clouds = 0;             // the clouds of the walk, selected or not
  int clouds = 0;                  // the clouds tallied: the selected ones
  std::vector<TopicTally> topics;  // in order of each topic's first cloud
  std::map<std::string, std::size_t> topic_at;
  std::vector<OtherTopic> other_topics;
  std::vector<SilentTopic> silent_topics;
};

// The extremes of one field's finite values in one cloud, and whether every
// value is 0.
struct CloudValues {
  double min = std::numeric_limits<double>::infinity();
  double max = -std::numeric_limits<double>::infinity();
  bool all_zero = true;

  void Merge(const CloudValues& other);
};

// A cloud's per-point time and intensity values, when it has those fields.
struct TimeAndIntensity {
  CloudValues time, intensity;
};

// Reads them from a cloud whose points can be read (the layout found no
// inconsistency). The walk calls this while the cloud is still in its core's
// cache and leaves the rest of the tally to the other core.
TimeAndIntensity ReadTimeAndIntensity(const sensor_msgs::PointCloud2& cloud);

// One cloud as the walk hands it over.
struct CloudSeen {
  int index;
  const std::string& topic;
  const std::string& type;
  ros::Time recorded;
  const sensor_msgs::PointCloud2& cloud;
  const CloudLayout& layout;
  const TimeAndIntensity* values = nullptr;  // read already, or nullptr
};

void TallyCloud(SummaryTally& tally, const CloudSeen& seen);

// Whether a point had this ring number, the lowest and highest number seen,
// and how many numbers were seen.
bool RingSeen(const RingTally& ring, std::int64_t number);
std::optional<std::pair<std::int64_t, std::int64_t>> RingExtremes(const RingTally& ring);
long long DistinctRings(const RingTally& ring);

// Mean of the two middle values for an even count, in double precision;
// nothing for no values.
template <typename T>
std::optional<double> Median(std::vector<T> values) {
  if (values.empty()) return std::nullopt;
  const std::size_t middle = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + middle, values.end());
  const auto upper = static_cast<double>(values[middle]);
  if (values.size() % 2 == 1) return upper;
  const auto lower =
      static_cast<double>(*std::max_element(values.begin(), values.begin() + middle));
  return (lower + upper) / 2;
}

// The positions in walk order of a topic's clouds whose stamp is set: a
// stamp of 0 is a driver that never set it, not an instant.
// (Inline: the timeline module uses them without linking the tally.)
inline std::vector<std::size_t> StampedClouds(const TopicTally& topic) {
  std::vector<std::size_t> stamped;
  for (std::size_t i = 0; i < topic.stamps.size(); ++i) {
    if (topic.stamps[i] != 0) stamped.push_back(i);
  }
  return stamped;
}

// The median of a topic's positive deltas between consecutive set stamps,
// in nanoseconds: the period its gaps are measured against (deltas over 1.5
// times it).
inline std::optional<double> StampPeriodNs(const TopicTally& topic) {
  const std::vector<std::size_t> stamped = StampedClouds(topic);
  std::vector<std::int64_t> positive;
  for (std::size_t i = 1; i < stamped.size(); ++i) {
    const std::int64_t delta = topic.stamps[stamped[i]] - topic.stamps[stamped[i - 1]];
    if (delta > 0) positive.push_back(delta);
  }
  return Median(positive);
}

// The kind of sensor a cloud's field names tell: "radar", "camera", "lidar"
// or "unknown".
std::string SensorKind(const std::vector<sensor_msgs::PointField>& fields);

// The whole summary as one JSON document, problems included.
nlohmann::ordered_json SummaryDocument(const SummaryTally& tally);

// The document as lines starting with '#', on stdout.
void PrintSummaryText(const nlohmann::ordered_json& document);

// The code of a recording with a silent cloud topic, for --fail-on.
constexpr const char* kSilentTopicsCode = "silent-topics";

// The problem codes, in the order problems are listed, then the code of
// silent cloud topics.
const std::vector<std::string>& ProblemCodes();

// Whether any topic of the document has one of `codes` ("any": any problem).
bool HasListedProblem(const nlohmann::ordered_json& document, const std::set<std::string>& codes);
