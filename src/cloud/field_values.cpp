#include "cloud/field_values.h"

const sensor_msgs::PointField* FirstFieldNamed(const sensor_msgs::PointCloud2& cloud,
                                               const std::string& name) {
  for (const sensor_msgs::PointField& field : cloud.fields) {
    if (field.name == name) return &field;
  }
  return nullptr;
}

std::uint32_t DatatypeSize(std::uint8_t datatype) {
  std::uint32_t size = 0;
  WithFieldType(datatype, [&](auto value) { size = sizeof value; });
  return size;
}

std::optional<ReadableField> AsReadable(const sensor_msgs::PointCloud2& cloud,
                                        const sensor_msgs::PointField& field) {
  const std::uint32_t size = DatatypeSize(field.datatype);
  if (size == 0 || std::uint64_t{field.offset} + size > cloud.point_step) return std::nullopt;
  return ReadableField{field.name, field.offset, field.datatype};
}

bool PointsFitData(const sensor_msgs::PointCloud2& cloud) {
  const std::uint64_t width = cloud.width;
  const std::uint64_t height = cloud.height;
  if (width == 0 || height == 0 || cloud.point_step == 0) return false;
  return cloud.row_step >= width * cloud.point_step && cloud.data.size() >= height * cloud.row_step;
}

double ReadAsDouble(const std::uint8_t* point, const ReadableField& field) {
  double value = 0;
  WithFieldType(field.datatype, [&](auto type) {
    value = static_cast<double>(LoadValue<decltype(type)>(point + field.offset));
  });
  return value;
}
