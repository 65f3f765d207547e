// The health summary: per cloud topic, what a consumer of the recording will
// meet (stamps, latency, invalid points, ring and time fields, layouts),
// tallied over every point of every cloud the walk reports, then written as
// one JSON document, as '#' lines, and as the problems found.
#pragma once

#include "cloud/cloud_check.h"
#include "context/context.h"
#include "summary/point_pass.h"

#include <ros/time.h>
#include <sensor_msgs/PointCloud2.h>
#include <nlohmann/json_fwd.hpp>

#include <boost/shared_ptr.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
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

// The ring numbers are noted by each of the two threads that read points,
// apart, and merged when the document is written.
struct RingTally : FieldTally {
  bool integer = true;  // every ring field seen has an integer datatype
  std::array<std::unique_ptr<RingNumbers>, 2> lanes;
};

struct TimeTally : FieldTally {
  std::vector<double> spans;  // max - min within each cloud with a finite value
  int zero_clouds = 0;        // non-empty clouds whose values are all 0
};

// What a cloud whose points could be read gives the checks of whole sweeps
// and point times. Times are the values of the cloud's own time field, in
// its unit, which the topic's stamp period tells only at the end.
struct CloudPoints {
  int index = 0;
  std::int64_t stamp = 0;  // ns
  bool time = false;       // it has a readable time field with a finite value
  double time_min = 0, time_max = 0;
  bool time_constant = false;    // two or more finite times, all the same, not 0
  bool last_not_latest = false;  // a point's time exceeds the last point's
  bool unordered = false;        // times run backwards along rings (over 1 %)
  bool sweep = false;            // non-empty, with readable x, y and z, of a lidar
  int coverage = 0;              // one-degree sectors holding a valid point
  std::uint64_t valid = 0;       // finite points away from the origin
  int gap = 0;                   // the longest run of empty sectors, around the circle
  int gap_start = 0;             // its first sector
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
  std::vector<sensor_msgs::PointField> fields;           // of the first cloud
  std::vector<std::string> unmatched;                    // record members PCL cannot match in it
  bool readable = false;                                 // a cloud's points could be read
  std::vector<sensor_msgs::PointField> readable_fields;  // of the first such cloud

  // Per cloud, in walk order: header stamp, report index, record time minus
  // stamp, all in exact nanoseconds.
  std::vector<std::int64_t> stamps;
  std::vector<std::uint32_t> seqs;  // header.seq
  std::vector<int> indices;
  std::vector<std::int64_t> latencies;
  // Per cloud, for the timeline: record time (ns), width x height, whether
  // it is malformed, and its share of non-finite and zero points in % (NaN
  // when its points could not be read).
  std::vector<std::int64_t> recorded;
  std::vector<std::uint32_t> cloud_points;
  std::vector<bool> cloud_malformed;
  std::vector<float> invalid_percent;
  std::vector<CloudPoints> readable_clouds;  // in walk order

  std::uint64_t nonfinite_points = 0;
  std::uint64_t zero_points = 0;
  int dense_flag_wrong = 0;
  int dense_flag_false = 0;
  double range_squared_min = std::numeric_limits<double>::infinity();
  double range_squared_max = -std::numeric_limits<double>::infinity();

  RingTally ring;
  TimeTally time;
  FieldTally intensity;

  // Clouds that repeat the topic's readable cloud before byte for byte.
  int repeated_clouds = 0;
  int repeated_first_index = 0;
  boost::shared_ptr<const sensor_msgs::PointCloud2> previous;  // that cloud
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

// A topic of lidar data recorded in another form than PointCloud2.
struct LidarNotClouds {
  std::string topic;
  std::string type;
  std::string form;  // "packets", "livox-custom" or "compressed"
  std::uint64_t messages;
};

struct SummaryTally {
  std::string bag;                // the first bag
  std::vector<std::string> bags;  // every bag of the walk
  bool complete = true;           // false when the walk stopped on a damaged message
  std::string incomplete;         // ... or why a bag walked whole was not whole
  bool topics_requested = false;
  int walk_clouds = 0;             // the clouds of the walk, selected or not
  int clouds = 0;                  // the clouds tallied: the selected ones
  std::vector<TopicTally> topics;  // in order of each topic's first cloud
  std::map<std::string, std::size_t> topic_at;
  std::vector<OtherTopic> other_topics;
  std::vector<SilentTopic> silent_topics;
  std::vector<LidarNotClouds> lidar_not_clouds;  // by topic and type
  ContextTally context;                          // TF and IMU
  // Scratch memory of the two threads that read points.
  std::array<std::unique_ptr<RingOrderScratch>, 2> scratch;
};

// One cloud as the walk hands it over.
struct CloudSeen {
  int index;
  const std::string& topic;
  const std::string& type;
  ros::Time recorded;
  boost::shared_ptr<const sensor_msgs::PointCloud2> cloud;
  const CloudLayout& layout;
};

// A cloud's tally while its points are read: in chunks, which the walk's
// thread and a second one may take in turn (lane 0 and lane 1). Every chunk
// must be read before it is finished, and one cloud's tally is finished
// before the next one starts.
struct CloudTally {
  boost::shared_ptr<const sensor_msgs::PointCloud2> cloud;
  std::size_t topic = 0;
  int index = 0;
  PointPlan plan;
  std::uint64_t chunk_points = 0;
  std::vector<ChunkTally> chunks;
  std::atomic<std::size_t> next{0};  // the next chunk to read
  std::array<RingNumbers*, 2> rings{};
  std::array<RingOrderScratch*, 2> scratch{};
};

// Tallies what the cloud's metadata says; returns the tally of its points,
// or nullptr when they cannot be read.
std::unique_ptr<CloudTally> StartCloudTally(SummaryTally& tally, const CloudSeen& seen);
// Reads the next chunk of points on the thread of `lane`; false when none
// is left.
bool TallyNextChunk(CloudTally& cloud, int lane);
// Adds the cloud's points to its topic once every chunk has been read.
void FinishCloudTally(SummaryTally& tally, CloudTally& cloud);
// The whole tally of one cloud on the calling thread.
void TallyCloud(SummaryTally& tally, const CloudSeen& seen);

// The ring numbers both threads saw on a topic.
RingNumbers MergedRingNumbers(const RingTally& ring);
// The lowest and highest ring number seen, and how many numbers were seen.
std::optional<std::pair<std::int64_t, std::int64_t>> RingExtremes(const RingNumbers& numbers);
long long DistinctRings(const RingNumbers& numbers);

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

// The document as lines starting with '#', on stdout; `incomplete` says why
// the recording was not whole when it was walked to its end.
void PrintSummaryText(const nlohmann::ordered_json& document, const std::string& incomplete = "");

// The code of a recording with a silent cloud topic, for --fail-on.
constexpr const char* kSilentTopicsCode = "silent-topics";
// ... and of one holding lidar data in another form than clouds.
constexpr const char* kLidarNotCloudsCode = "lidar-not-clouds";
// --fail-on consumer:KEY fails a run where that consumer cannot read a
// lidar topic as is.
constexpr const char* kConsumerCodePrefix = "consumer:";

// The problem codes, in the order problems are listed, then the code of
// silent cloud topics, then the consumers' codes.
const std::vector<std::string>& ProblemCodes();

// Whether any topic of the document has one of `codes` ("any": any problem).
bool HasListedProblem(const nlohmann::ordered_json& document, const std::set<std::string>& codes);
