#include "cloud_builder.h"

#include <cmath>

namespace cloud_builder {

sensor_msgs::PointField Field(const std::string& name, std::uint32_t offset, std::uint8_t datatype,
                              std::uint32_t count) {
  sensor_msgs::PointField field;
  field.name = name;
  field.offset = offset;
  field.datatype = datatype;
  field.count = count;
  return field;
}

Fields RecordLayout() {
  using sensor_msgs::PointField;
  return {Field("x", 0, PointField::FLOAT32),    Field("y", 4, PointField::FLOAT32),
          Field("z", 8, PointField::FLOAT32),    Field("intensity", 16, PointField::FLOAT32),
          Field("ring", 20, PointField::UINT16), Field("time", 24, PointField::FLOAT32)};
}

Fields PackedLayoutWithoutRing() {
  using sensor_msgs::PointField;
  return {Field("x", 0, PointField::FLOAT32), Field("y", 4, PointField::FLOAT32),
          Field("z", 8, PointField::FLOAT32), Field("intensity", 12, PointField::FLOAT32),
          Field("time", 16, PointField::FLOAT32)};
}

sensor_msgs::PointCloud2 MakeCloud(const Fields& fields, std::uint32_t point_step,
                                   std::uint32_t width, std::uint32_t height,
                                   std::uint32_t row_step) {
  sensor_msgs::PointCloud2 cloud;
  cloud.header.frame_id = "lidar";
  cloud.fields = fields;
  cloud.point_step = point_step;
  cloud.width = width;
  cloud.height = height;
  cloud.row_step = row_step != 0 ? row_step : width * point_step;
  cloud.is_bigendian = false;
  cloud.is_dense = true;
  cloud.data.assign(static_cast<std::size_t>(cloud.row_step) * height, 0);
  return cloud;
}

void PutReturn(sensor_msgs::PointCloud2& cloud, std::uint32_t index, const LidarReturn& point) {
  Put(cloud, index, 0, point.x);
  Put(cloud, index, 4, point.y);
  Put(cloud, index, 8, point.z);
  Put(cloud, index, 16, point.intensity);
  Put(cloud, index, 20, point.ring);
  Put(cloud, index, 24, point.time);
}

namespace {

constexpr double kPi = 3.14159265358979323846;

// Distance to the first surface along a beam: a flat road below the sensor,
// building fronts on either side and a few poles, so ranges vary like a street.
double SceneRange(double azimuth, double elevation, std::uint32_t seq) {
  const double sensor_height = 1.8;
  double range = 120.0;
  if (elevation < 0) range = sensor_height / std::sin(-elevation);
  const double across = std::fabs(std::sin(azimuth));
  if (across > 1e-6) range = std::min(range, 9.0 / (across * std::cos(elevation)));
  const double pole = std::fmod(azimuth * 180.0 / kPi + 360.0 + seq * 0.5, 45.0);
  if (pole < 0.6) range = std::min(range, 6.0 + 0.1 * (seq % 7));
  return range;
}

}  // namespace

sensor_msgs::PointCloud2 MakeSweep(std::uint32_t rings, std::uint32_t columns, ros::Time stamp,
                                   std::uint32_t seq) {
  sensor_msgs::PointCloud2 cloud = MakeCloud(RecordLayout(), kRecordPointStep, rings * columns);
  cloud.header.seq = seq;
  cloud.header.stamp = stamp;
  const double sweep_seconds = 0.1;
  for (std::uint32_t col = 0; col < columns; ++col) {
    const double azimuth = 2.0 * kPi * col / columns;
    for (std::uint32_t ring = 0; ring < rings; ++ring) {
      // Rings spread from -25 to +15 degrees, the lowest ring first.
      const double elevation = (-25.0 + 40.0 * ring / (rings > 1 ? rings - 1 : 1)) * kPi / 180.0;
      const double range = SceneRange(azimuth, elevation, seq);
      LidarReturn point;
      point.x = static_cast<float>(range * std::cos(elevation) * std::sin(azimuth));
      point.y = static_cast<float>(range * std::cos(elevation) * std::cos(azimuth));
      point.z = static_cast<float>(range * std::sin(elevation));
      point.intensity = static_cast<float>((ring * 37 + col * 11 + seq) % 256);
      point.ring = static_cast<std::uint16_t>(ring);
      point.time = static_cast<float>(sweep_seconds * col / columns);
      PutReturn(cloud, col * rings + ring, point);
    }
  }
  return cloud;
}

}  // namespace cloud_builder
