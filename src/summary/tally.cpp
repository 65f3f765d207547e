// Tallies each cloud the walk hands over into its topic's numbers, reading
// every point's fields from the message's own buffer.
#include "cloud/cloud_fields.h"
#include "cloud/field_values.h"
#include "summary/summary.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <type_traits>

namespace {

// Ring numbers from here up to kSmallestRing + kSmallRings - 1 are noted in
// a byte each; that holds every 8- and 16-bit ring. Others go into a set of at
// most kMostOtherRings numbers, so that driver bytes read as a ring cannot
// grow the tally without bound.
constexpr std::int64_t kSmallestRing = -32768;
constexpr std::int64_t kSmallRings = 98304;
constexpr std::size_t kMostOtherRings = 65536;

const char* const kRingNames[] = {"ring", "channel", "laser_id", "line"};
const char* const kTimeNames[] = {"time",       "t",           "timestamp",
                                  "time_stamp", "offset_time", "time_offset"};
// Without one of those, a point's time may be whole seconds and nanoseconds
// in two integer fields, BASE_sec and BASE_nsec.
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

bool IsIntegerDatatype(std::uint8_t datatype) {
  return datatype >= sensor_msgs::PointField::INT8 && datatype <= sensor_msgs::PointField::UINT32;
}

TopicTally& TopicOf(SummaryTally& tally, const CloudSeen& seen) {
  const auto [at, added] = tally.topic_at.emplace(seen.topic, tally.topics.size());
  if (added) {
    TopicTally topic;
    topic.topic = seen.topic;
    topic.kind = SensorKind(seen.cloud.fields);
    topic.first_index = seen.index;
    topic.fields = seen.cloud.fields;
    for (const MemberMatch& member : seen.layout.members) {
      if (member.field < 0) topic.unmatched.push_back(member.name);
    }
    tally.topics.push_back(std::move(topic));
  }
  return tally.topics[at->second];
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
  const sensor_msgs::PointCloud2& cloud = seen.cloud;
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
  topic.indices.push_back(seen.index);
  topic.latencies.push_back(static_cast<std::int64_t>(seen.recorded.toNSec()) - stamp);
  topic.recorded.push_back(static_cast<std::int64_t>(seen.recorded.toNSec()));
  topic.cloud_points.push_back(static_cast<std::uint32_t>(
      std::min<std::uint64_t>(std::uint64_t{cloud.width} * cloud.height, UINT32_MAX)));
  topic.cloud_malformed.push_back(!seen.layout.inconsistency.empty());
  topic.invalid_percent.push_back(std::numeric_limits<float>::quiet_NaN());
}

std::optional<ReadableField> Readable(const sensor_msgs::PointCloud2& cloud, const char* name) {
  const sensor_msgs::PointField* field = FirstFieldNamed(cloud, name);
  if (field == nullptr) return std::nullopt;
  return AsReadable(cloud, *field);
}

// The first of `names` that the cloud has a field of, when that field is
// readable; no fall-back to the next name.
template <std::size_t N>
std::optional<ReadableField> ReadableByPriority(const sensor_msgs::PointCloud2& cloud,
                                                const char* const (&names)[N]) {
  for (const char* name : names) {
    if (FirstFieldNamed(cloud, name) != nullptr) return Readable(cloud, name);
  }
  return std::nullopt;
}

// Where a cloud's per-point time is: one field, or the seconds and the
// nanoseconds of a pair.
struct TimeSource {
  std::string name;  // as the summary names it
  ReadableField field;
  std::optional<ReadableField> nanoseconds;  // set for a pair
};

// The first single time name the cloud has decides (no time when that field
// is unreadable); without one, the first base with both pair names does
// (no time unless both are readable integers).
std::optional<TimeSource> TimeSourceOf(const sensor_msgs::PointCloud2& cloud) {
  for (const char* name : kTimeNames) {
    if (FirstFieldNamed(cloud, name) == nullptr) continue;
    const auto field = Readable(cloud, name);
    if (!field) return std::nullopt;
    return TimeSource{field->name, *field, std::nullopt};
  }
  for (const char* base : kTimePairBases) {
    const std::string sec_name = std::string(base) + "_sec",
                      nsec_name = std::string(base) + "_nsec";
    const sensor_msgs::PointField* sec = FirstFieldNamed(cloud, sec_name);
    const sensor_msgs::PointField* nsec = FirstFieldNamed(cloud, nsec_name);
    if (sec == nullptr || nsec == nullptr) continue;
    const auto seconds = AsReadable(cloud, *sec), nanoseconds = AsReadable(cloud, *nsec);
    if (!seconds || !nanoseconds || !IsIntegerDatatype(seconds->datatype) ||
        !IsIntegerDatatype(nanoseconds->datatype)) {
      return std::nullopt;
    }
    return TimeSource{sec_name + "+" + nsec_name, *seconds, *nanoseconds};
  }
  return std::nullopt;
}

// Positions: points with NaN or Inf, points at the origin, and the extremes
// of the squared range of the others.
struct PositionTally {
  std::uint64_t nonfinite = 0;
  std::uint64_t zero = 0;
  double low = std::numeric_limits<double>::infinity();
  double high = -std::numeric_limits<double>::infinity();

  void Add(double x, double y, double z) {
    if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z)) {
      ++nonfinite;
    } else if (x == 0 && y == 0 && z == 0) {
      ++zero;
    } else {
      const double squared = x * x + y * y + z * z;
      low = std::min(low, squared);
      high = std::max(high, squared);
    }
  }
  void Merge(const PositionTally& other) {
    nonfinite += other.nonfinite;
    zero += other.zero;
    low = std::min(low, other.low);
    high = std::max(high, other.high);
  }
};

struct Position {
  ReadableField x, y, z;
  bool floats;  // all three FLOAT32
};

// Float positions, the usual case, without a branch a point: a float squared
// in double precision neither overflows nor underflows, so the squared range
// alone says whether a point is finite (it is then finite) and whether it is
// at the origin (it is then 0). Returns false when a point is infinite, whose
// squared range is then counted among the extremes; the caller then tallies
// the run exactly instead.
bool TallyFloatPositions(const PointRun& run, const Position& at, PositionTally& tally) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  const std::uint32_t x_at = at.x.offset, y_at = at.y.offset, z_at = at.z.offset;
  double low[2] = {kInfinity, kInfinity}, high[2] = {-kInfinity, -kInfinity};
  std::uint64_t nonfinite = 0, zero = 0;
  ForEachPointInLanes(run, [&](auto lane, const std::uint8_t* point) {
    const double x = LoadValue<float>(point + x_at);
    const double y = LoadValue<float>(point + y_at);
    const double z = LoadValue<float>(point + z_at);
    const double squared = x * x + y * y + z * z;
    nonfinite += !(squared <= std::numeric_limits<double>::max());
    zero += squared == 0;
    const double away = squared == 0 ? kInfinity : squared;
    low[lane] = away < low[lane] ? away : low[lane];  // NaN compares false: left out
    high[lane] = squared > high[lane] ? squared : high[lane];
  });
  const double highest = std::max(high[0], high[1]);
  if (highest == kInfinity) return false;
  tally.nonfinite += nonfinite;
  tally.zero += zero;
  const double lowest = std::min(low[0], low[1]);
  tally.low = std::min(tally.low, lowest);
  // Points at the origin raised `high` to 0; without a point away from it
  // there is no range.
  if (lowest != kInfinity) tally.high = std::max(tally.high, highest);
  return true;
}

void TallyPositions(const PointRun& run, const Position& at, PositionTally& tally) {
  if (at.floats && TallyFloatPositions(run, at, tally)) return;
  ForEachPoint(run, [&](const std::uint8_t* point) {
    tally.Add(ReadAsDouble(point, at.x), ReadAsDouble(point, at.y), ReadAsDouble(point, at.z));
  });
}

// The extremes of a field's values in one datatype. NaN compares false, so
// it is left out without a test; an infinity is not, which the caller checks.
template <typename T>
struct Extremes {
  T low = std::numeric_limits<T>::has_infinity ? std::numeric_limits<T>::infinity()
                                               : std::numeric_limits<T>::max();
  T high = std::numeric_limits<T>::has_infinity ? -std::numeric_limits<T>::infinity()
                                                : std::numeric_limits<T>::lowest();
  bool nonzero = false;

  void Add(T value) {
    low = value < low ? value : low;
    high = value > high ? value : high;
    nonzero |= value != 0;  // NaN is not 0
  }
  void Merge(const Extremes& other) {
    low = other.low < low ? other.low : low;
    high = other.high > high ? other.high : high;
    nonzero |= other.nonzero;
  }
};

template <typename T>
CloudValues ValuesIn(const PointRun& run, const ReadableField& field) {
  const std::uint32_t offset = field.offset;
  Extremes<T> lanes[2];
  ForEachPointInLanes(run, [&](auto lane, const std::uint8_t* point) {
    lanes[lane].Add(LoadValue<T>(point + offset));
  });
  Extremes<T> all;
  for (const Extremes<T>& lane : lanes) all.Merge(lane);
  CloudValues values;
  values.all_zero = !all.nonzero;
  if (!(all.low <= all.high)) return values;  // only NaN
  values.min = static_cast<double>(all.low);
  values.max = static_cast<double>(all.high);
  if (std::isfinite(values.min) && std::isfinite(values.max)) return values;
  // An infinity among the values: the extremes of the finite ones, exactly.
  values.min = std::numeric_limits<double>::infinity();
  values.max = -values.min;
  ForEachPoint(run, [&](const std::uint8_t* point) {
    const double value = static_cast<double>(LoadValue<T>(point + field.offset));
    if (!std::isfinite(value)) return;
    values.min = std::min(values.min, value);
    values.max = std::max(values.max, value);
  });
  return values;
}

CloudValues ValuesOf(const PointRun& run, const ReadableField& field) {
  CloudValues values;
  WithFieldType(field.datatype, [&](auto type) { values = ValuesIn<decltype(type)>(run, field); });
  return values;
}

// Times of a seconds and nanoseconds pair, sec + nsec x 1e-9: always finite.
CloudValues PairValuesOf(const PointRun& run, const ReadableField& seconds,
                         const ReadableField& nanoseconds) {
  CloudValues values;
  ForEachPoint(run, [&](const std::uint8_t* point) {
    const double nanoseconds_part = ReadAsDouble(point, nanoseconds) * 1e-9;
    const double value = ReadAsDouble(point, seconds) + nanoseconds_part;
    values.min = std::min(values.min, value);
    values.max = std::max(values.max, value);
    values.all_zero = values.all_zero && value == 0;
  });
  return values;
}

CloudValues TimeValuesOf(const PointRun& run, const TimeSource& time) {
  if (time.nanoseconds) return PairValuesOf(run, time.field, *time.nanoseconds);
  return ValuesOf(run, time.field);
}

// A float ring truncated towards zero, within the range of 64 bits.
std::int64_t RingNumber(double value) {
  constexpr double kLimit = 9223372036854774784.0;  // the largest double below 2^63
  return static_cast<std::int64_t>(std::clamp(std::trunc(value), -kLimit, kLimit));
}

// A ring number outside the fast path of 8- and 16-bit rings.
void NoteRingNumber(RingTally& ring, std::int64_t number) {
  ring.min = std::min(ring.min, static_cast<double>(number));
  ring.max = std::max(ring.max, static_cast<double>(number));
  const std::int64_t at = number - kSmallestRing;
  if (at >= 0 && at < kSmallRings) {
    ring.small[at] = 1;
  } else if (ring.others.size() < kMostOtherRings) {
    ring.others.insert(number);
  } else if (ring.others.count(number) == 0) {
    ring.others_capped = true;
  }
}

template <typename T>
void NoteRingNumbersIn(RingTally& ring, const PointRun& run, const ReadableField& field) {
  const std::uint32_t offset = field.offset;
  if constexpr (std::is_floating_point_v<T>) {
    ForEachPoint(run, [&](const std::uint8_t* point) {
      const T value = LoadValue<T>(point + field.offset);
      if (std::isfinite(value)) NoteRingNumber(ring, RingNumber(value));
    });
  } else if constexpr (sizeof(T) <= 2) {
    // Every 8- and 16-bit number has its place in `small`: a plain store.
    std::uint8_t* const small = ring.small.data() - kSmallestRing;
    ForEachPoint(run, [small, offset](const std::uint8_t* point) {
      small[LoadValue<T>(point + offset)] = 1;
    });
  } else {
    ForEachPoint(run, [&](const std::uint8_t* point) {
      NoteRingNumber(ring, LoadValue<T>(point + field.offset));
    });
  }
}

void NoteRingNumbers(RingTally& ring, const PointRun& run, const ReadableField& field) {
  WithFieldType(field.datatype,
                [&](auto type) { NoteRingNumbersIn<decltype(type)>(ring, run, field); });
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

// What a cloud whose points can be read contributes. Each run of points is
// read by every field's pass while it sits in the cache.
void TallyPoints(TopicTally& topic, const sensor_msgs::PointCloud2& cloud,
                 const TimeAndIntensity& values) {
  const std::uint64_t points = std::uint64_t{cloud.width} * cloud.height;
  topic.points_total += points;
  topic.points_min = std::min(topic.points_min, points);
  topic.points_max = std::max(topic.points_max, points);
  if (points == 0) ++topic.empty_clouds;

  const auto x = Readable(cloud, "x"), y = Readable(cloud, "y"), z = Readable(cloud, "z");
  std::optional<Position> position;
  if (x && y && z) {
    const bool floats = x->datatype == sensor_msgs::PointField::FLOAT32 &&
                        y->datatype == x->datatype && z->datatype == x->datatype;
    position = Position{*x, *y, *z, floats};
  }
  const auto ring = ReadableByPriority(cloud, kRingNames);
  const auto time = TimeSourceOf(cloud);
  const auto intensity = Readable(cloud, "intensity");
  if (ring) {
    NoteField(topic.ring, *ring);
    if (topic.ring.small.empty()) topic.ring.small.assign(kSmallRings, 0);
  }
  if (time) NoteField(topic.time, {time->name, time->field.offset, time->field.datatype});
  if (intensity) NoteField(topic.intensity, *intensity);

  PositionTally positions;
  ForEachPointRun(cloud, [&](const PointRun& run) {
    if (position) TallyPositions(run, *position, positions);
    if (ring) NoteRingNumbers(topic.ring, run, *ring);
  });
  const CloudValues& time_values = values.time;
  const CloudValues& intensity_values = values.intensity;
  if (position) AddPositions(topic, positions, cloud.is_dense);
  if (position && points > 0) {
    topic.invalid_percent.back() =
        static_cast<float>(100.0 * static_cast<double>(positions.nonfinite + positions.zero) /
                           static_cast<double>(points));
  }
  if (ring) {
    topic.ring.integer = topic.ring.integer && ring->datatype != sensor_msgs::PointField::FLOAT32 &&
                         ring->datatype != sensor_msgs::PointField::FLOAT64;
  }
  if (time) AddTime(topic.time, time_values, PointsFitData(cloud));
  if (intensity) AddExtremes(topic.intensity, intensity_values);
}

}  // namespace

void CloudValues::Merge(const CloudValues& other) {
  min = std::min(min, other.min);
  max = std::max(max, other.max);
  all_zero = all_zero && other.all_zero;
}

TimeAndIntensity ReadTimeAndIntensity(const sensor_msgs::PointCloud2& cloud) {
  const auto time = TimeSourceOf(cloud);
  const auto intensity = Readable(cloud, "intensity");
  TimeAndIntensity values;
  ForEachPointRun(cloud, [&](const PointRun& run) {
    if (time) values.time.Merge(TimeValuesOf(run, *time));
    if (intensity) values.intensity.Merge(ValuesOf(run, *intensity));
  });
  return values;
}

void TallyCloud(SummaryTally& tally, const CloudSeen& seen) {
  ++tally.clouds;
  TopicTally& topic = TopicOf(tally, seen);
  TallyMetadata(topic, seen);
  if (!seen.layout.inconsistency.empty()) return;
  if (seen.values != nullptr) {
    TallyPoints(topic, seen.cloud, *seen.values);
  } else {
    TallyPoints(topic, seen.cloud, ReadTimeAndIntensity(seen.cloud));
  }
}

bool RingSeen(const RingTally& ring, std::int64_t number) {
  const std::int64_t at = number - kSmallestRing;
  if (at >= 0 && at < kSmallRings) return !ring.small.empty() && ring.small[at] != 0;
  return ring.others.count(number) != 0;
}

std::optional<std::pair<std::int64_t, std::int64_t>> RingExtremes(const RingTally& ring) {
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

long long DistinctRings(const RingTally& ring) {
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
