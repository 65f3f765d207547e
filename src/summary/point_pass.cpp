// Reads every point's fields straight from the message's buffer, one run of
// points at a time: a run fits the first-level cache, so each field's loop
// over it reads memory once.
#include "summary/point_pass.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

namespace {

constexpr std::size_t kMostOtherRings = 65536;
constexpr double kDegreesPerRadian = 180.0 / M_PI;

const char* const kRingNames[] = {"ring", "channel", "laser_id", "line"};
const char* const kTimeNames[] = {"time",       "t",           "timestamp",
                                  "time_stamp", "offset_time", "time_offset"};
// Without one of those, a point's time may be whole seconds and nanoseconds
// in two integer fields, BASE_sec and BASE_nsec.
const char* const kTimePairBases[] = {"time", "timestamp", "t", "time_stamp"};

bool IsIntegerDatatype(std::uint8_t datatype) {
  return datatype >= sensor_msgs::PointField::INT8 && datatype <= sensor_msgs::PointField::UINT32;
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

// The sector of the last point and the two boundaries it lies between,
// kept in registers while points stay in that sector.
struct SectorGuess {
  int sector = 180;
  double cos_low = 1, sin_low = 0, cos_high = 1, sin_high = 0;

  explicit SectorGuess(int at) { Move(at); }
  void Move(int at) {
    sector = at;
    cos_low = kSectorBounds.cos[at];
    sin_low = kSectorBounds.sin[at];
    cos_high = kSectorBounds.cos[at + 1];
    sin_high = kSectorBounds.sin[at + 1];
  }
  // Notes the sector of a valid point.
  void Note(double x, double y, bool (&seen)[360]) {
    const double margin = 1e-12 * (std::fabs(x) + std::fabs(y));
    const double above = x * cos_low - y * sin_low;
    const double below = x * cos_high - y * sin_high;
    if (!(above > margin && below < -margin)) Move(SectorNear(x, y, sector));
    seen[sector] = true;
  }
};

// Two or four values at once, in vectors of 16 bytes: the compiler turns
// these into the CPU's vector instructions; each lane computes exactly what
// the scalar code would.
using Floats4 = float __attribute__((vector_size(16)));
using Ints4 = std::int32_t __attribute__((vector_size(16)));
using Floats2 = float __attribute__((vector_size(8)));
using Doubles2 = double __attribute__((vector_size(16)));
using Longs2 = std::int64_t __attribute__((vector_size(16)));

// A float field of four consecutive points.
inline Floats4 FourFloats(const std::uint8_t* point, std::size_t step) {
  return Floats4{LoadValue<float>(point), LoadValue<float>(point + step),
                 LoadValue<float>(point + 2 * step), LoadValue<float>(point + 3 * step)};
}

// ... and of two, in double precision.
inline Doubles2 TwoDoubles(const std::uint8_t* point, std::size_t step) {
  return __builtin_convertvector(Floats2{LoadValue<float>(point), LoadValue<float>(point + step)},
                                 Doubles2);
}

// |value|, by clearing the sign bit as std::fabs does.
inline Doubles2 Magnitude(Doubles2 values) {
  return __builtin_bit_cast(
      Doubles2, __builtin_bit_cast(Longs2, values) & std::numeric_limits<std::int64_t>::max());
}

// Float positions, the usual case, two points at a time without a branch
// but where a point leaves the sector of the one before: a float squared in
// double precision neither overflows nor underflows, so the squared range
// alone says whether a point is finite (it is then finite) and whether it
// is at the origin (it is then 0). Valid points also have their sector
// noted, when `sectors` is set. Returns false when a point is infinite,
// whose squared range is then counted among the extremes; the caller then
// tallies the run's positions exactly instead.
bool TallyFloatPoints(const PointRun& run, const Position& at, PositionTally& tally,
                      bool (*sectors)[360], SectorGuess& guess) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  constexpr double kLargest = std::numeric_limits<double>::max();
  const std::uint32_t x_at = at.x.offset, y_at = at.y.offset, z_at = at.z.offset;
  const std::size_t step = run.step;
  Doubles2 lows = Doubles2{} + kInfinity, highs = Doubles2{} - kInfinity;
  Longs2 nonfinites = {}, zeros = {};
  const std::uint8_t* point = run.first;
  std::uint32_t i = 0;
  for (; i + 2 <= run.count; i += 2, point += 2 * step) {
    const Doubles2 x = TwoDoubles(point + x_at, step);
    const Doubles2 y = TwoDoubles(point + y_at, step);
    const Doubles2 z = TwoDoubles(point + z_at, step);
    const Doubles2 squared = x * x + y * y + z * z;
    const Longs2 finite = squared <= kLargest;  // NaN compares false
    const Longs2 zero = squared == 0;
    nonfinites -= ~finite;
    zeros -= zero;
    const Doubles2 away = zero ? Doubles2{} + kInfinity : squared;
    lows = away < lows ? away : lows;
    highs = squared > highs ? squared : highs;
    if (sectors == nullptr) continue;
    const Longs2 valid = finite & ~zero;
    if ((valid[0] | valid[1]) == 0) continue;
    const Doubles2 margin = 1e-12 * (Magnitude(x) + Magnitude(y));
    const Doubles2 above = x * guess.cos_low - y * guess.sin_low;
    const Doubles2 below = x * guess.cos_high - y * guess.sin_high;
    const Longs2 clear = (above > margin) & (below < -margin);
    const Longs2 settled = clear | ~valid;
    if ((settled[0] & settled[1]) != 0) {
      (*sectors)[guess.sector] = true;
      continue;
    }
    for (int lane = 0; lane < 2; ++lane) {
      if (valid[lane] != 0) guess.Note(x[lane], y[lane], *sectors);
    }
  }
  double low = kInfinity, high = -kInfinity;
  std::uint64_t nonfinite = 0, zero = 0;
  for (int lane = 0; lane < 2; ++lane) {
    low = lows[lane] < low ? lows[lane] : low;
    high = highs[lane] > high ? highs[lane] : high;
    nonfinite += static_cast<std::uint64_t>(nonfinites[lane]);
    zero += static_cast<std::uint64_t>(zeros[lane]);
  }
  for (; i < run.count; ++i, point += step) {
    const double x = LoadValue<float>(point + x_at);
    const double y = LoadValue<float>(point + y_at);
    const double z = LoadValue<float>(point + z_at);
    const double squared = x * x + y * y + z * z;
    nonfinite += !(squared <= kLargest);
    zero += squared == 0;
    const double away = squared == 0 ? kInfinity : squared;
    low = away < low ? away : low;  // NaN compares false: left out
    high = squared > high ? squared : high;
    if (sectors != nullptr && squared > 0 && squared <= kLargest) guess.Note(x, y, *sectors);
  }
  if (high == kInfinity) return false;
  tally.nonfinite += nonfinite;
  tally.zero += zero;
  tally.low = std::min(tally.low, low);
  // Points at the origin raised `high` to 0; without a point away from it
  // there is no range.
  if (low != kInfinity) tally.high = std::max(tally.high, high);
  return true;
}

void TallyPositions(const PointRun& run, const Position& at, PositionTally& tally) {
  ForEachPoint(run, [&](const std::uint8_t* point) {
    tally.Add(ReadAsDouble(point, at.x), ReadAsDouble(point, at.y), ReadAsDouble(point, at.z));
  });
}

// Marks the sectors of the run's valid points (finite, not at the origin).
void NoteSectors(const PointRun& run, const Position& at, bool (&seen)[360], SectorGuess& guess) {
  ForEachPoint(run, [&](const std::uint8_t* point) {
    const double x = ReadAsDouble(point, at.x), y = ReadAsDouble(point, at.y),
                 z = ReadAsDouble(point, at.z);
    if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z)) return;
    if (x == 0 && y == 0 && z == 0) return;
    guess.Note(x, y, seen);
  });
}

// Positions, and the sectors of valid points when `sectors` is set.
void TallyPoints(const PointRun& run, const Position& at, PositionTally& tally,
                 bool (*sectors)[360], SectorGuess& guess) {
  if (at.floats) {
    if (TallyFloatPoints(run, at, tally, sectors, guess)) return;
    return TallyPositions(run, at, tally);  // the sectors are noted already
  }
  TallyPositions(run, at, tally);
  if (sectors != nullptr) NoteSectors(run, at, *sectors, guess);
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
  std::uint64_t finite = 0;

  void Add(T value) {
    low = value < low ? value : low;
    high = value > high ? value : high;
    nonzero |= value != 0;  // NaN is not 0
    if constexpr (std::is_floating_point_v<T>) {
      finite += std::isfinite(value);
    } else {
      ++finite;
    }
  }
  void Merge(const Extremes& other) {
    low = other.low < low ? other.low : low;
    high = other.high > high ? other.high : high;
    nonzero |= other.nonzero;
    finite += other.finite;
  }
};

// The extremes of a float field, four values at a time, then the rest.
Extremes<float> FloatExtremes(const PointRun& run, std::uint32_t offset) {
  constexpr float kInfinity = std::numeric_limits<float>::infinity();
  constexpr float kLargest = std::numeric_limits<float>::max();
  const std::size_t step = run.step;
  Floats4 lows = Floats4{} + kInfinity, highs = Floats4{} - kInfinity;
  Ints4 nonzero = {}, finite = {};
  const std::uint8_t* point = run.first + offset;
  std::uint32_t i = 0;
  for (; i + 4 <= run.count; i += 4, point += 4 * step) {
    const Floats4 values = FourFloats(point, step);
    lows = values < lows ? values : lows;  // NaN compares false: left out
    highs = values > highs ? values : highs;
    nonzero |= values != 0;  // NaN is not 0
    finite -= (values >= -kLargest) & (values <= kLargest);
  }
  Extremes<float> all;
  for (int lane = 0; lane < 4; ++lane) {
    all.low = lows[lane] < all.low ? lows[lane] : all.low;
    all.high = highs[lane] > all.high ? highs[lane] : all.high;
    all.nonzero |= nonzero[lane] != 0;
    all.finite += static_cast<std::uint64_t>(finite[lane]);
  }
  for (; i < run.count; ++i, point += step) all.Add(LoadValue<float>(point));
  return all;
}

template <typename T>
CloudValues ValuesIn(const PointRun& run, const ReadableField& field) {
  const std::uint32_t offset = field.offset;
  Extremes<T> all;
  if constexpr (std::is_same_v<T, float>) {
    all = FloatExtremes(run, offset);
  } else {
    Extremes<T> lanes[2];
    ForEachPointInLanes(run, [&](auto lane, const std::uint8_t* point) {
      lanes[lane].Add(LoadValue<T>(point + offset));
    });
    for (const Extremes<T>& lane : lanes) all.Merge(lane);
  }
  CloudValues values;
  values.all_zero = !all.nonzero;
  values.finite = all.finite;
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

// A point's time from a seconds and nanoseconds pair, sec + nsec x 1e-9:
// always finite.
double PairTime(const std::uint8_t* point, const TimeSource& time) {
  const double nanoseconds_part = ReadAsDouble(point, *time.nanoseconds) * 1e-9;
  return ReadAsDouble(point, time.field) + nanoseconds_part;
}

CloudValues PairValuesOf(const PointRun& run, const TimeSource& time) {
  CloudValues values;
  ForEachPoint(run, [&](const std::uint8_t* point) {
    const double value = PairTime(point, time);
    values.min = std::min(values.min, value);
    values.max = std::max(values.max, value);
    values.all_zero = values.all_zero && value == 0;
    ++values.finite;
  });
  return values;
}

CloudValues TimeValuesOf(const PointRun& run, const TimeSource& time) {
  if (time.nanoseconds) return PairValuesOf(run, time);
  return ValuesOf(run, time.field);
}

// A float ring truncated towards zero, within the range of 64 bits.
std::int64_t RingNumber(double value) {
  constexpr double kLimit = 9223372036854774784.0;  // the largest double below 2^63
  return static_cast<std::int64_t>(std::clamp(std::trunc(value), -kLimit, kLimit));
}

// A ring number outside the fast path of 8- and 16-bit rings.
void NoteRingNumber(RingNumbers& ring, std::int64_t number) {
  const std::int64_t at = number - kSmallestRing;
  if (at >= 0 && at < kSmallRings) {
    ring.small[at] = 1;
    return;
  }
  ring.min = std::min(ring.min, static_cast<double>(number));
  ring.max = std::max(ring.max, static_cast<double>(number));
  if (ring.others.size() < kMostOtherRings) {
    ring.others.insert(number);
  } else if (ring.others.count(number) == 0) {
    ring.others_capped = true;
  }
}

template <typename T>
void NoteRingNumbersIn(RingNumbers& ring, const PointRun& run, const ReadableField& field) {
  const std::uint32_t offset = field.offset;
  if constexpr (std::is_floating_point_v<T>) {
    ForEachPoint(run, [&](const std::uint8_t* point) {
      const T value = LoadValue<T>(point + offset);
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
      NoteRingNumber(ring, LoadValue<T>(point + offset));
    });
  }
}

void NoteRingNumbers(RingNumbers& ring, const PointRun& run, const ReadableField& field) {
  if (ring.small.empty()) ring.small.assign(kSmallRings, 0);
  WithFieldType(field.datatype,
                [&](auto type) { NoteRingNumbersIn<decltype(type)>(ring, run, field); });
}

// One point's step along its ring: a backward step when its finite time is
// below the last finite time of the same ring.
inline void StepAlongRing(std::int64_t ring, double time, RingOrderScratch& scratch,
                          ChunkTally& out) {
  double& last = scratch.Last(ring);
  if (std::isnan(last)) {
    out.rings.push_back({ring, time, time});
  } else {
    out.backward += time < last;
  }
  last = time;
}

// The time order along rings of one ring and one time datatype.
template <typename R, typename T>
void RingOrderIn(const PointRun& run, std::uint32_t ring_at, std::uint32_t time_at,
                 RingOrderScratch& scratch, ChunkTally& out) {
  ForEachPoint(run, [&](const std::uint8_t* point) {
    const T time = LoadValue<T>(point + time_at);
    if constexpr (std::is_floating_point_v<T>) {
      if (!std::isfinite(time)) return;
    }
    const R ring = LoadValue<R>(point + ring_at);
    if constexpr (std::is_floating_point_v<R>) {
      if (!std::isfinite(ring)) return;
      StepAlongRing(RingNumber(ring), static_cast<double>(time), scratch, out);
    } else {
      StepAlongRing(static_cast<std::int64_t>(ring), static_cast<double>(time), scratch, out);
    }
  });
}

// The time order along rings.
void RingOrder(const PointRun& run, const ReadableField& ring, const TimeSource& time,
               RingOrderScratch& scratch, ChunkTally& out) {
  if (time.nanoseconds) {
    ForEachPoint(run, [&](const std::uint8_t* point) {
      const double number = ReadAsDouble(point, ring);
      if (!std::isfinite(number)) return;
      StepAlongRing(RingNumber(number), PairTime(point, time), scratch, out);
    });
    return;
  }
  WithFieldType(ring.datatype, [&](auto ring_type) {
    WithFieldType(time.field.datatype, [&](auto time_type) {
      RingOrderIn<decltype(ring_type), decltype(time_type)>(run, ring.offset, time.field.offset,
                                                            scratch, out);
    });
  });
}

}  // namespace

const SectorBounds kSectorBounds;

SectorBounds::SectorBounds() {
  for (int k = 0; k <= 360; ++k) {
    const double angle = (k - 180) * (M_PI / 180);
    cos[k] = std::cos(angle);
    sin[k] = std::sin(angle);
  }
}

int ExactSector(double x, double y) {
  const double degrees = std::atan2(x, y) * kDegreesPerRadian;
  return std::clamp(static_cast<int>(std::floor(degrees + 180)), 0, 359);
}

int SectorNear(double x, double y, int guess) {
  // The next sector either way, where a sweep goes on.
  for (const int step : {1, 359}) {
    const int next = (guess + step) % 360;
    if (ClearlyInSector(x, y, next)) return next;
  }
  // The angle within 0.22 degrees (atan(t) ~ 45 t + 15.66 t (1 - t) on
  // [0, 1]), then its sector or a neighbour; on a boundary, atan2 decides.
  const double ax = std::fabs(x), ay = std::fabs(y);
  const double low = std::min(ax, ay), high = std::max(ax, ay);
  const double t = high > 0 ? low / high : 0;
  const double octant = t * (45 + 15.66 * (1 - t));
  const double from_y = ax <= ay ? octant : 90 - octant;
  const double angle = std::signbit(y) ? (std::signbit(x) ? from_y - 180 : 180 - from_y)
                                       : (std::signbit(x) ? -from_y : from_y);
  const int near = std::clamp(static_cast<int>(std::floor(angle + 180)), 0, 359);
  for (const int step : {0, 1, 359}) {
    const int sector = (near + step) % 360;
    if (ClearlyInSector(x, y, sector)) return sector;
  }
  return ExactSector(x, y);
}

void CloudValues::Merge(const CloudValues& other) {
  min = std::min(min, other.min);
  max = std::max(max, other.max);
  finite += other.finite;
  all_zero = all_zero && other.all_zero;
}

void PositionTally::Add(double x, double y, double z) {
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

void PositionTally::Merge(const PositionTally& other) {
  nonfinite += other.nonfinite;
  zero += other.zero;
  low = std::min(low, other.low);
  high = std::max(high, other.high);
}

RingOrderScratch::RingOrderScratch()
    : last_(static_cast<double*>(std::malloc(kSmallRings * sizeof(double)))) {
  if (last_ == nullptr) throw std::bad_alloc();
  std::fill(last_, last_ + kSmallRings, std::numeric_limits<double>::quiet_NaN());
}

RingOrderScratch::~RingOrderScratch() { std::free(last_); }

void RingOrderScratch::Clear(const std::vector<RingEnds>& rings) {
  for (const RingEnds& ends : rings) Last(ends.ring) = std::numeric_limits<double>::quiet_NaN();
  others_.clear();
}

double& RingOrderScratch::OtherLast(std::int64_t ring) {
  return others_.try_emplace(ring, std::numeric_limits<double>::quiet_NaN()).first->second;
}

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

PointPlan PlanPass(const sensor_msgs::PointCloud2& cloud, bool lidar_like) {
  PointPlan plan;
  const auto x = Readable(cloud, "x"), y = Readable(cloud, "y"), z = Readable(cloud, "z");
  if (x && y && z) {
    const bool floats = x->datatype == sensor_msgs::PointField::FLOAT32 &&
                        y->datatype == x->datatype && z->datatype == x->datatype;
    plan.position = Position{*x, *y, *z, floats};
  }
  plan.ring = ReadableByPriority(cloud, kRingNames);
  plan.time = TimeSourceOf(cloud);
  plan.intensity = Readable(cloud, "intensity");
  plan.azimuth = lidar_like && plan.position.has_value();
  plan.ring_order = lidar_like && plan.ring && plan.time;
  return plan;
}

void TallyChunk(const sensor_msgs::PointCloud2& cloud, const PointPlan& plan, std::uint64_t begin,
                std::uint64_t end, RingNumbers* rings, RingOrderScratch& scratch, ChunkTally& out) {
  bool seen[360] = {};
  SectorGuess guess(180);
  ForEachPointRunIn(cloud, begin, end, [&](const PointRun& run) {
    if (plan.position) {
      TallyPoints(run, *plan.position, out.positions, plan.azimuth ? &seen : nullptr, guess);
    }
    if (plan.ring && rings != nullptr) NoteRingNumbers(*rings, run, *plan.ring);
    if (plan.time) out.time.Merge(TimeValuesOf(run, *plan.time));
    if (plan.intensity) out.intensity.Merge(ValuesOf(run, *plan.intensity));
    if (plan.ring_order) RingOrder(run, *plan.ring, *plan.time, scratch, out);
  });
  for (int b = 0; b < 360; ++b) {
    if (seen[b]) out.sectors.set(static_cast<std::size_t>(b));
  }
  for (RingEnds& ends : out.rings) ends.last = scratch.Last(ends.ring);
  scratch.Clear(out.rings);
}

std::uint64_t BackwardSteps(const std::vector<ChunkTally>& chunks, RingOrderScratch& scratch) {
  std::uint64_t steps = 0;
  std::vector<RingEnds> met;  // the rings whose slots are set
  for (const ChunkTally& chunk : chunks) {
    steps += chunk.backward;
    for (const RingEnds& ends : chunk.rings) {
      double& last = scratch.Last(ends.ring);
      if (std::isnan(last)) {
        met.push_back(ends);
      } else {
        steps += ends.first < last;
      }
      last = ends.last;
    }
  }
  scratch.Clear(met);
  return steps;
}

bool RingSeen(const RingNumbers& numbers, std::int64_t number) {
  const std::int64_t at = number - kSmallestRing;
  if (at >= 0 && at < kSmallRings) return !numbers.small.empty() && numbers.small[at] != 0;
  return numbers.others.count(number) != 0;
}
