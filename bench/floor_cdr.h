// What the floor programs deserialize a ROS 2 PointCloud2 with: Fast CDR's
// own readers, nothing checked.
#pragma once

#include <fastcdr/Cdr.h>
#include <fastcdr/FastBuffer.h>
#include <sensor_msgs/PointCloud2.h>

#include <cstddef>
#include <cstdint>

inline void DeserializeCdrCloud(const char* data, std::size_t size,
                                sensor_msgs::PointCloud2& cloud) {
  eprosima::fastcdr::FastBuffer buffer(const_cast<char*>(data), size);
  eprosima::fastcdr::Cdr cdr(buffer, eprosima::fastcdr::Cdr::DEFAULT_ENDIAN,
                             eprosima::fastcdr::Cdr::DDS_CDR);
  cdr.read_encapsulation();
  std::int32_t sec = 0;
  cdr >> sec >> cloud.header.stamp.nsec >> cloud.header.frame_id >> cloud.height >> cloud.width;
  std::uint32_t fields = 0;
  cdr >> fields;
  cloud.fields.resize(fields);
  for (sensor_msgs::PointField& field : cloud.fields) {
    cdr >> field.name >> field.offset >> field.datatype >> field.count;
  }
  cdr >> cloud.is_bigendian >> cloud.point_step >> cloud.row_step >> cloud.data >> cloud.is_dense;
}
