// The summary's one pass over a cloud's points, in chunks of consecutive
// points that two threads can share: each chunk's numbers are kept apart and
// merged in point order afterwards, so the result does not depend on which
// thread read which chunk.
#pragma once

#include "cloud/field_values.h"

#include <sensor_msgs/PointCloud2.h>

#include <bitset>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

// Ring numbers from kSmallestRing to kSmallestRing + kSmallRings - 1 are
// noted in a byte each; that holds every 8- and 16-bit ring.
constexpr std::int64_t kSmallestRing = -32768;
constexpr std::int64_t kSmallRings = 98304;

// The ring numbers one thread has seen on one topic. Others than the small
// ones go into a set of bounded size, so that driver bytes read as a ring
// cannot grow the tally without bound.
struct RingNumbers {
  std::vector<std::uint8_t> small;  // 1 for each number seen, from kSmallestRing on
  std::set<std::int64_t> others;    // numbers seen outside `small`, up to a limit
  bool others_capped = false;       // more numbers were seen than `others` holds
  double min = std::numeric_limits<double>::infinity();  // of `others`
  double max = -std::numeric_limits<double>::infinity();
};

// Where a cloud's per-point time is: one field, or the seconds and the
// nanoseconds of a pair.
struct TimeSource {
  std::string name;  // as the summary names it
  ReadableField field;
  std::optional<ReadableField> nanoseconds;  // set for a pair
};

struct Position {
  ReadableField x, y, z;
  bool floats;  // all three FLOAT32
};

// What the pass reads of one cloud, found once from its fields.
struct PointPlan {
  std::optional<Position> position;
  std::optional<ReadableField> ring;  // the first of the ring names, when readable
  std::optional<TimeSource> time;
  std::optional<ReadableField> intensity;
  bool azimuth = false;     // note each valid point's one-degree sector
  bool ring_order = false;  // count points whose time runs backwards along their ring
};

// The first single time name the cloud has decides (no time when that field
// is unreadable); without one, the first base with both pair names does
// (no time unless both are readable integers).
std::optional<TimeSource> TimeSourceOf(const sensor_msgs::PointCloud2& cloud);

// The plan for a cloud whose points can be read; `lidar_like` asks for the
// checks of lidars (sectors, time order along rings).
PointPlan PlanPass(const sensor_msgs::PointCloud2& cloud, bool lidar_like);

// The extremes of one field's finite values, how many values were finite,
// and whether every value is 0.
struct CloudValues {
  double min = std::numeric_limits<double>::infinity();
  double max = -std::numeric_limits<double>::infinity();
  std::uint64_t finite = 0;
  bool all_zero = true;

  void Merge(const CloudValues& other);
};

// Positions: points with NaN or Inf, points at the origin, and the extremes
// of the squared range of the others.
struct PositionTally {
  std::uint64_t nonfinite = 0;
  std::uint64_t zero = 0;
  double low = std::numeric_limits<double>::infinity();
  double high = -std::numeric_limits<double>::infinity();

  void Add(double x, double y, double z);
  void Merge(const PositionTally& other);
};

// The first and the last finite time of one ring within a chunk.
struct RingEnds {
  std::int64_t ring;
  double first, last;
};

// What one chunk of points gives.
struct ChunkTally {
  PositionTally positions;
  std::bitset<360> sectors;  // one-degree sectors holding a valid point
  CloudValues time, intensity;
  std::uint64_t backward = 0;   // time steps back along a ring, inside the chunk
  std::vector<RingEnds> rings;  // in order of each ring's first finite time
};

// Scratch memory of one thread for the time order along rings: each ring's
// last finite time, NaN for a ring without one since the slots were last
// cleared.
class RingOrderScratch {
 public:
  RingOrderScratch();
  ~RingOrderScratch();
  RingOrderScratch(const RingOrderScratch&) = delete;
  RingOrderScratch& operator=(const RingOrderScratch&) = delete;

  double& Last(std::int64_t ring) {
    const std::int64_t at = ring - kSmallestRing;
    if (at < 0 || at >= kSmallRings) return OtherLast(ring);
    return last_[at];
  }
  // Forgets the last times of these rings (every ring set since the last
  // clearing), so that the next chunk starts with none.
  void Clear(const std::vector<RingEnds>& rings);

 private:
  double& OtherLast(std::int64_t ring);

  double* last_;  // a slot per small ring number
  std::unordered_map<std::int64_t, double> others_;
};

// Reads points [begin, end) (row-major) of a cloud whose points fit its
// data. Ring numbers go into `rings`.
void TallyChunk(const sensor_msgs::PointCloud2& cloud, const PointPlan& plan, std::uint64_t begin,
                std::uint64_t end, RingNumbers* rings, RingOrderScratch& scratch, ChunkTally& out);

// The one-degree sectors of the circle: sector b holds the angles from
// b - 180 to b - 179 degrees, the angle atan2(x, y) measured from +y
// towards +x. Boundary k lies at k - 180 degrees.
struct SectorBounds {
  SectorBounds();
  double cos[361], sin[361];
};
extern const SectorBounds kSectorBounds;

// The sector of a point by atan2 in double precision: floor(angle + 180),
// 360 taken as 359.
int ExactSector(double x, double y);
// The same, for a point not clearly inside the guessed sector.
int SectorNear(double x, double y, int guess);

// Whether the point lies inside sector b by more than rounding could blur:
// atan2 then certainly puts it there too.
inline bool ClearlyInSector(double x, double y, int b) {
  const double margin = 1e-12 * (std::fabs(x) + std::fabs(y));
  const double above = x * kSectorBounds.cos[b] - y * kSectorBounds.sin[b];
  const double below = x * kSectorBounds.cos[b + 1] - y * kSectorBounds.sin[b + 1];
  return above > margin && below < -margin;
}

// The sector of the point, as ExactSector gives it, without an atan2 for
// points clearly inside `guess` (the sector of the point before, which the
// next point of a sweep mostly shares).
inline int AzimuthSector(double x, double y, int guess) {
  return ClearlyInSector(x, y, guess) ? guess : SectorNear(x, y, guess);
}

// Merges the chunks' backward steps in point order: a ring's first time in
// a chunk against its last time in the chunks before.
std::uint64_t BackwardSteps(const std::vector<ChunkTally>& chunks, RingOrderScratch& scratch);

// Whether a point had this ring number.
bool RingSeen(const RingNumbers& numbers, std::int64_t number);
