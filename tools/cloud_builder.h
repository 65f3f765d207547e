// Builds sensor_msgs/PointCloud2 messages of any field layout, for the
// sample-bag writer, the tests and the benchmarks.
#pragma once

#include <ros/time.h>
#include <sensor_msgs/PointCloud2.h>
#include <sensor_msgs/PointField.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace cloud_builder {

using Fields = std::vector<sensor_msgs::PointField>;

sensor_msgs::PointField Field(const std::string& name, std::uint32_t offset, std::uint8_t datatype,
                              std::uint32_t count = 1);

// x, y, z, intensity as FLOAT32 at 0, 4, 8, 16, ring as UINT16 at 20, time as
// FLOAT32 at 24, 32 bytes a point: the layout most lidar drivers publish.
Fields RecordLayout();
constexpr std::uint32_t kRecordPointStep = 32;

// x, y, z, intensity, time as FLOAT32 packed at 0, 4, 8, 12, 16 and no ring,
// 20 bytes a point: a common layout of drivers without ring numbers.
Fields PackedLayoutWithoutRing();
constexpr std::uint32_t kPackedPointStep = 20;

// width x height points of point_step bytes, all zero; row_step defaults to
// width x point_step.
sensor_msgs::PointCloud2 MakeCloud(const Fields& fields, std::uint32_t point_step,
                                   std::uint32_t width, std::uint32_t height = 1,
                                   std::uint32_t row_step = 0);

// Writes `value` at byte `offset` of point `index` (row-major, row_step aware).
template <typename T>
void Put(sensor_msgs::PointCloud2& cloud, std::uint32_t index, std::uint32_t offset, T value) {
  const std::size_t row = index / cloud.width;
  const std::size_t col = index % cloud.width;
  const std::size_t at = row * cloud.row_step + col * cloud.point_step + offset;
  if (at + sizeof(T) > cloud.data.size())
    throw std::out_of_range("cloud_builder::Put past the data");
  std::memcpy(cloud.data.data() + at, &value, sizeof(T));
}

struct LidarReturn {
  float x, y, z, intensity;
  std::uint16_t ring;
  float time;
};

// Writes one return into a cloud of RecordLayout().
void PutReturn(sensor_msgs::PointCloud2& cloud, std::uint32_t index, const LidarReturn& point);

// One revolution of a spinning lidar in RecordLayout(): `columns` azimuth
// steps of `rings` returns each, column by column, with a plausible street
// scene for ranges and per-point times from 0 to 0.1 s.
sensor_msgs::PointCloud2 MakeSweep(std::uint32_t rings, std::uint32_t columns, ros::Time stamp,
                                   std::uint32_t seq);

}  // namespace cloud_builder
