// Reads one typed field of every point straight from a PointCloud2's buffer,
// with the field's own datatype and the bytes as stored: the one place where
// the tool reads point bytes without PCL. Every read is bounds-checked once
// per cloud, before the loop.
#pragma once

#include <sensor_msgs/PointCloud2.h>
#include <sensor_msgs/PointField.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>

// A field whose value every point can be read from.
struct ReadableField {
  std::string name;
  std::uint32_t offset;
  std::uint8_t datatype;
};

// The first field called `name`, or nullptr.
const sensor_msgs::PointField* FirstFieldNamed(const sensor_msgs::PointCloud2& cloud,
                                               const std::string& name);

// The field as readable, when its datatype is known and its first element
// lies inside point_step; nothing otherwise.
std::optional<ReadableField> AsReadable(const sensor_msgs::PointCloud2& cloud,
                                        const sensor_msgs::PointField& field);

// Bytes of one value of a PointField datatype; 0 when the datatype is unknown.
std::uint32_t DatatypeSize(std::uint8_t datatype);

// Whether every point of width x height lies inside the data, so that a
// readable field can be read from each; false for no points at all.
bool PointsFitData(const sensor_msgs::PointCloud2& cloud);

template <typename T>
T LoadValue(const std::uint8_t* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// Calls visit(T{}) with a value of the C++ type that stores `datatype`.
template <typename Visit>
void WithFieldType(std::uint8_t datatype, Visit&& visit) {
  using sensor_msgs::PointField;
  switch (datatype) {
    case PointField::INT8:
      return visit(std::int8_t{});
    case PointField::UINT8:
      return visit(std::uint8_t{});
    case PointField::INT16:
      return visit(std::int16_t{});
    case PointField::UINT16:
      return visit(std::uint16_t{});
    case PointField::INT32:
      return visit(std::int32_t{});
    case PointField::UINT32:
      return visit(std::uint32_t{});
    case PointField::FLOAT32:
      return visit(float{});
    case PointField::FLOAT64:
      return visit(double{});
    default:
      return;
  }
}

// One value of a readable field as a double, whatever its datatype.
double ReadAsDouble(const std::uint8_t* point, const ReadableField& field);

// Consecutive points of one row.
struct PointRun {
  const std::uint8_t* first;  // the first byte of the first point
  std::uint32_t count;
  std::size_t step;  // point_step
};

// Calls visit(run) for consecutive runs of the cloud's points, row by row,
// each at most about 16 KiB, when the points fit the data (PointsFitData);
// does nothing otherwise. A run fits the CPU's first-level cache, so several
// passes over one run read memory once.
template <typename Visit>
void ForEachPointRun(const sensor_msgs::PointCloud2& cloud, Visit&& visit) {
  if (!PointsFitData(cloud)) return;
  const std::size_t step = cloud.point_step;
  const auto most = static_cast<std::uint32_t>(std::max<std::size_t>(1, 16384 / step));
  const std::uint8_t* row = cloud.data.data();
  for (std::uint32_t r = 0; r < cloud.height; ++r, row += cloud.row_step) {
    for (std::uint32_t c = 0; c < cloud.width; c += most) {
      visit(PointRun{row + c * step, std::min(most, cloud.width - c), step});
    }
  }
}

// Like ForEachPointRun, for the points [begin, end) of the cloud in
// row-major order only.
template <typename Visit>
void ForEachPointRunIn(const sensor_msgs::PointCloud2& cloud, std::uint64_t begin,
                       std::uint64_t end, Visit&& visit) {
  if (!PointsFitData(cloud)) return;
  const std::size_t step = cloud.point_step;
  const auto most = static_cast<std::uint32_t>(std::max<std::size_t>(1, 16384 / step));
  end = std::min<std::uint64_t>(end, std::uint64_t{cloud.width} * cloud.height);
  while (begin < end) {
    const auto r = static_cast<std::uint32_t>(begin / cloud.width);
    const auto c = static_cast<std::uint32_t>(begin % cloud.width);
    const auto count =
        static_cast<std::uint32_t>(std::min<std::uint64_t>({most, cloud.width - c, end - begin}));
    visit(PointRun{cloud.data.data() + std::size_t{r} * cloud.row_step + c * step, count, step});
    begin += count;
  }
}

// Calls visit(point) with the first byte of every point of the run. The
// run's numbers are copied first: the caller's stores through byte pointers
// would otherwise make the compiler read them again for every point.
template <typename Visit>
void ForEachPoint(const PointRun& run, Visit&& visit) {
  const std::size_t step = run.step;
  const std::uint32_t count = run.count;
  const std::uint8_t* point = run.first;
  for (std::uint32_t i = 0; i < count; ++i, point += step) visit(point);
}

// Like ForEachPoint, but calls visit(lane, point) with lane a
// std::integral_constant of 0 or 1, taken in turn, so that a caller keeping
// one partial minimum and maximum per lane has two independent chains of
// work, not one.
template <typename Visit>
void ForEachPointInLanes(const PointRun& run, Visit&& visit) {
  const std::size_t step = run.step;
  const std::uint32_t count = run.count;
  const std::uint8_t* point = run.first;
  std::uint32_t i = 0;
  for (; i + 2 <= count; i += 2, point += 2 * step) {
    visit(std::integral_constant<int, 0>(), point);
    visit(std::integral_constant<int, 1>(), point + step);
  }
  if (i < count) visit(std::integral_constant<int, 0>(), point);
}
