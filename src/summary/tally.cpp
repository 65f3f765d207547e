// Tallies each cloud the walk hands over into its topic's numbers: what its
// metadata says at once, and what its points say once every chunk of them
// has been read.
#include "cloud/cloud_fields.h"
#include "cloud/field_values.h"
#include "summary/summary.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

namespace {

// A chunk of about this many bytes of points: small enough that two threads
// share a cloud evenly, large enough that taking one costs nothing.
constexpr std::uint64_t kChunkBytes = std::uint64_t{256} * 1024;

const char* const kRingNames[] = {"ring", "channel", "laser_id", "line"};
const char* const kTimeNames[] = {"time",       "t",           "timestamp",
                                  "time_stamp", "offset_time", "time_offset"};
const char* const kTimePairBases[] = {"time", "timestamp", "t", "time_stamp"};
const char* const kVelocityNames[] = {"velocity", "vx", "vrad", "doppler", "radial_velocity"};
const char* const kColourNames[] = {"rgb", "rgba"};

template <std::size_t N>
bool HasAnyName(const std::vector<sensor_msgs::PointField>& fields, const char* const (&names)[N]) {
  for (const sensor_msgs::PointField& field : fields) {
    for (const char* name : names) {
      if (field.name == name) return true;
    }
  }
  return false;
}

bool HasName(const std::vector<sensor_msgs::PointField>& fields, const std::string& name) {
  for (const sensor_msgs::PointField& field : fields) {
    if (field.name == name) return true;
  }
  return false;
}

bool HasTimePairNames(const std::vector<sensor_msgs::PointField>& fields) {
  for (const char* base : kTimePairBases) {
    if (HasName(fields, std::string(base) + "_sec") &&
        HasName(fields, std::string(base) + "_nsec")) {
      return true;
    }
  }
  return false;
}

bool IsLidarLike(const TopicTally& topic) {
  return topic.kind != "radar" && topic.kind != "camera";
}

std::size_t TopicOf(SummaryTally& tally, const CloudSeen& seen) {
  const auto [at, added] = tally.topic_at.emplace(seen.topic, tally.topics.size());
  if (added) {
    TopicTally topic;
    topic.topic = seen.topic;
    topic.kind = SensorKind(seen.cloud->fields);
    topic.first_index = seen.index;
    topic.fields = seen.cloud->fields;
    for (const MemberMatch& member : seen.layout.members) {
      if (member.field < 0) topic.unmatched.push_back(member.name);
    }
    tally.topics.push_back(std::move(topic));
  }
  return at->second;
}

template <typename Item>
void CountInOrder(std::vector<std::pair<Item, int>>& counts, const Item& item) {
  for (auto& [seen, count] : counts) {
    if (seen == item) {
      ++count;
      return;
    }
  }
  counts.emplace_back(item, 1);
}

// What every cloud contributes, malformed or not.
void TallyMetadata(TopicTally& topic, const CloudSeen& seen) {
  const sensor_msgs::PointCloud2& cloud = *seen.cloud;
  ++topic.clouds;
  topic.last_index = seen.index;
  if (std::find(topic.types.begin(), topic.types.end(), seen.type) == topic.types.end()) {
    topic.types.push_back(seen.type);
  }
  CountInOrder(topic.frame_ids, cloud.header.frame_id);
  if (!seen.layout.inconsistency.empty()) ++topic.malformed;
  if (cloud.height > 1) ++topic.organized_clouds;
  if (cloud.is_bigendian != 0) ++topic.bigendian_clouds;
  if (cloud.is_dense == 0) ++topic.dense_flag_false;
  topic.layouts.insert(LayoutKey(cloud));
  const auto stamp = static_cast<std::int64_t>(cloud.header.stamp.toNSec());
  topic.stamps.push_back(stamp);
  topic.seqs.push_back(cloud.header.seq);
  topic.indices.push_back(seen.index);
  topic.latencies.push_back(static_cast<std::int64_t>(seen.recorded.toNSec()) - stamp);
  topic.recorded.push_back(static_cast<std::int64_t>(seen.recorded.toNSec()));
  topic.cloud_points.push_back(static_cast<std::uint32_t>(
      std::min<std::uint64_t>(std::uint64_t{cloud.width} * cloud.height, UINT32_MAX)));
  topic.cloud_malformed.push_back(!seen.layout.inconsistency.empty());
  topic.invalid_percent.push_back(std::numeric_limits<float>::quiet_NaN());
}

// Notes the field of the first cloud that has one.
void NoteField(FieldTally& tally, const ReadableField& field) {
  if (!tally.field.empty()) return;
  tally.field = field.name;
  tally.datatype = field.datatype;
}

void AddExtremes(FieldTally& tally, const CloudValues& values) {
  tally.min = std::min(tally.min, values.min);
  tally.max = std::max(tally.max, values.max);
}

void AddPositions(TopicTally& topic, const PositionTally& positions, std::uint8_t is_dense) {
  topic.nonfinite_points += positions.nonfinite;
  topic.zero_points += positions.zero;
  topic.range_squared_min = std::min(topic.range_squared_min, positions.low);
  topic.range_squared_max = std::max(topic.range_squared_max, positions.high);
  if (positions.nonfinite > 0 && is_dense == 1) ++topic.dense_flag_wrong;
}

void AddTime(TimeTally& time, const CloudValues& values, bool any_points) {
  if (any_points && values.all_zero) ++time.zero_clouds;
  if (values.min > values.max) return;
  AddExtremes(time, values);
  time.spans.push_back(values.max - values.min);
}

// The longest run of empty sectors around the circle, and where it starts
// (the first such run from sector 0 on).
void LargestGap(const std::bitset<360>& sectors, int& gap, int& start) {
  gap = 0;
  start = 0;
  if (sectors.none()) {
    gap = 360;
    return;
  }
  for (int first = 0; first < 360; ++first) {
    if (sectors[first] || !sectors[(first + 359) % 360]) continue;
    int length = 0;
    while (!sectors[(first + length) % 360]) ++length;
    if (length > gap) {
      gap = length;
      start = first;
    }
  }
}

// The last point's time (point width x height - 1).
double LastPointTime(const sensor_msgs::PointCloud2& cloud, const TimeSource& time) {
  const std::uint8_t* point = cloud.data.data() + std::size_t{cloud.height - 1} * cloud.row_step +
                              std::size_t{cloud.width - 1} * cloud.point_step;
  double value = ReadAsDouble(point, time.field);
  if (time.nanoseconds) {
    const double nanoseconds_part = ReadAsDouble(point, *time.nanoseconds) * 1e-9;
    value += nanoseconds_part;
  }
  return value;
}

bool SameCloud(const sensor_msgs::PointCloud2& a, const sensor_msgs::PointCloud2& b) {
  return a.width == b.width && a.height == b.height && a.point_step == b.point_step &&
         a.row_step == b.row_step && a.fields == b.fields && !a.data.empty() &&
         a.data.size() == b.data.size() &&
         std::memcmp(a.data.data(), b.data.data(), a.data.size()) == 0;
}

// Compared as the cloud comes, so that only the cloud being tallied is held.
void NoteRepeat(TopicTally& topic, const CloudSeen& seen) {
  if (topic.previous && SameCloud(*seen.cloud, *topic.previous)) {
    if (topic.repeated_clouds++ == 0) topic.repeated_first_index = seen.index;
  }
  topic.previous = seen.cloud;
}

RingOrderScratch& ScratchOf(SummaryTally& tally, int lane) {
  auto& scratch = tally.scratch[static_cast<std::size_t>(lane)];
  if (!scratch) scratch = std::make_unique<RingOrderScratch>();
  return *scratch;
}

}  // namespace

std::unique_ptr<CloudTally> StartCloudTally(SummaryTally& tally, const CloudSeen& seen) {
  ++tally.clouds;
  const std::size_t at = TopicOf(tally, seen);
  TopicTally& topic = tally.topics[at];
  TallyMetadata(topic, seen);
  if (!seen.layout.inconsistency.empty()) return nullptr;
  if (IsLidarLike(topic)) NoteRepeat(topic, seen);
  const sensor_msgs::PointCloud2& cloud = *seen.cloud;
  if (!topic.readable) {
    topic.readable = true;
    topic.readable_fields = cloud.fields;
  }
  auto job = std::make_unique<CloudTally>();
  job->cloud = seen.cloud;
  job->topic = at;
  job->index = seen.index;
  job->plan = PlanPass(cloud, IsLidarLike(topic));
  const PointPlan& plan = job->plan;
  if (plan.ring) {
    NoteField(topic.ring, *plan.ring);
    topic.ring.integer = topic.ring.integer &&
                         plan.ring->datatype != sensor_msgs::PointField::FLOAT32 &&
                         plan.ring->datatype != sensor_msgs::PointField::FLOAT64;
    for (std::size_t lane = 0; lane < 2; ++lane) {
      if (!topic.ring.lanes[lane]) topic.ring.lanes[lane] = std::make_unique<RingNumbers>();
      job->rings[lane] = topic.ring.lanes[lane].get();
    }
  }
  if (plan.time)
    NoteField(topic.time, {plan.time->name, plan.time->field.offset, plan.time->field.datatype});
  if (plan.intensity) NoteField(topic.intensity, *plan.intensity);
  for (int lane = 0; lane < 2; ++lane) job->scratch[lane] = &ScratchOf(tally, lane);
  const std::uint64_t points = std::uint64_t{cloud.width} * cloud.height;
  job->chunk_points = std::max<std::uint64_t>(1, kChunkBytes / std::max(1u, cloud.point_step));
  job->chunks.resize(PointsFitData(cloud) ? (points + job->chunk_points - 1) / job->chunk_points
                                          : 0);
  return job;
}

bool TallyNextChunk(CloudTally& cloud, int lane) {
  const std::size_t chunk = cloud.next.fetch_add(1);
  if (chunk >= cloud.chunks.size()) return false;
  const std::uint64_t begin = chunk * cloud.chunk_points;
  TallyChunk(*cloud.cloud, cloud.plan, begin, begin + cloud.chunk_points,
             cloud.rings[static_cast<std::size_t>(lane)],
             *cloud.scratch[static_cast<std::size_t>(lane)], cloud.chunks[chunk]);
  return true;
}

void FinishCloudTally(SummaryTally& tally, CloudTally& job) {
  TopicTally& topic = tally.topics[job.topic];
  const sensor_msgs::PointCloud2& cloud = *job.cloud;
  const PointPlan& plan = job.plan;
  const std::uint64_t points = std::uint64_t{cloud.width} * cloud.height;
  topic.points_total += points;
  topic.points_min = std::min(topic.points_min, points);
  topic.points_max = std::max(topic.points_max, points);
  if (points == 0) ++topic.empty_clouds;

  ChunkTally all;
  for (const ChunkTally& chunk : job.chunks) {
    all.positions.Merge(chunk.positions);
    all.sectors |= chunk.sectors;
    all.time.Merge(chunk.time);
    all.intensity.Merge(chunk.intensity);
  }
  if (plan.position) {
    AddPositions(topic, all.positions, cloud.is_dense);
    if (points > 0) {
      topic.invalid_percent.back() = static_cast<float>(
          100.0 * static_cast<double>(all.positions.nonfinite + all.positions.zero) /
          static_cast<double>(points));
    }
  }
  if (plan.time) AddTime(topic.time, all.time, PointsFitData(cloud));
  if (plan.intensity) AddExtremes(topic.intensity, all.intensity);
  if (!IsLidarLike(topic)) return;

  CloudPoints seen;
  seen.index = job.index;
  seen.stamp = static_cast<std::int64_t>(cloud.header.stamp.toNSec());
  if (plan.time && all.time.finite > 0) {
    seen.time = true;
    seen.time_min = all.time.min;
    seen.time_max = all.time.max;
    seen.time_constant = all.time.finite >= 2 && all.time.min == all.time.max && all.time.min != 0;
    const double last = LastPointTime(cloud, *plan.time);
    seen.last_not_latest = std::isfinite(last) && all.time.max > last;
  }
  if (plan.ring_order) {
    const std::uint64_t backward = BackwardSteps(job.chunks, *job.scratch[0]);
    seen.unordered = backward * 100 > all.time.finite;
  }
  if (plan.azimuth && points > 0) {
    seen.sweep = true;
    seen.coverage = static_cast<int>(all.sectors.count());
    seen.valid = points - all.positions.nonfinite - all.positions.zero;
    LargestGap(all.sectors, seen.gap, seen.gap_start);
  }
  topic.readable_clouds.push_back(seen);
}

void TallyCloud(SummaryTally& tally, const CloudSeen& seen) {
  const std::unique_ptr<CloudTally> job = StartCloudTally(tally, seen);
  if (!job) return;
  while (TallyNextChunk(*job, 0)) {
  }
  FinishCloudTally(tally, *job);
}

RingNumbers MergedRingNumbers(const RingTally& ring) {
  RingNumbers merged;
  for (const auto& lane : ring.lanes) {
    if (!lane) continue;
    if (!lane->small.empty()) {
      if (merged.small.empty()) merged.small.assign(kSmallRings, 0);
      for (std::size_t i = 0; i < merged.small.size(); ++i) merged.small[i] |= lane->small[i];
    }
    merged.others.insert(lane->others.begin(), lane->others.end());
    merged.others_capped = merged.others_capped || lane->others_capped;
    merged.min = std::min(merged.min, lane->min);
    merged.max = std::max(merged.max, lane->max);
  }
  return merged;
}

std::optional<std::pair<std::int64_t, std::int64_t>> RingExtremes(const RingNumbers& ring) {
  std::int64_t low = std::numeric_limits<std::int64_t>::max();
  std::int64_t high = std::numeric_limits<std::int64_t>::min();
  for (std::int64_t at = 0; at < static_cast<std::int64_t>(ring.small.size()); ++at) {
    if (ring.small[at] == 0) continue;
    low = std::min(low, at + kSmallestRing);
    high = std::max(high, at + kSmallestRing);
  }
  if (ring.min <= ring.max) {  // numbers outside the small ones were seen
    low = std::min(low, static_cast<std::int64_t>(ring.min));
    high = std::max(high, static_cast<std::int64_t>(ring.max));
  }
  if (low > high) return std::nullopt;
  return std::make_pair(low, high);
}

long long DistinctRings(const RingNumbers& ring) {
  long long distinct = static_cast<long long>(ring.others.size());
  for (const std::uint8_t seen : ring.small) distinct += seen;
  return distinct;
}

std::string SensorKind(const std::vector<sensor_msgs::PointField>& fields) {
  if (HasAnyName(fields, kVelocityNames)) return "radar";
  const bool ring = HasAnyName(fields, kRingNames);
  const bool time = HasAnyName(fields, kTimeNames) || HasTimePairNames(fields);
  if (HasAnyName(fields, kColourNames) && !ring && !time) return "camera";
  if (ring || time) return "lidar";
  return "unknown";
}
