// Checks that keep a damaged or inconsistent PointCloud2 away from code that
// would trust it: ROS deserialization allocates whatever a length field
// claims, and PCL's conversion reads wherever the metadata points.
#pragma once

#include "cloud/cloud_fields.h"

#include <ros/serialization.h>
#include <sensor_msgs/PointCloud2.h>

#include <cstdint>
#include <string>
#include <vector>

// Throws std::runtime_error when a length inside a serialized PointCloud2 of
// `length` bytes reaches past its end, before anything is allocated for it.
void CheckSerializedCloud(const std::uint8_t* data, std::uint32_t length);

// Returns what makes the cloud unsafe to convert, with the numbers, or "" when
// PCL's conversion stays inside the message. `fields` are the cloud's fields
// in PCL's form and `members` what MatchMembers found in them.
std::string CloudInconsistency(const sensor_msgs::PointCloud2& cloud,
                               const std::vector<pcl::PCLPointField>& fields,
                               const std::vector<MemberMatch>& members);

// What the walk learns of a cloud's layout before anything reads its points;
// shared by the report and the summary.
struct CloudLayout {
  std::vector<pcl::PCLPointField> fields;  // the message's fields in PCL's form
  std::vector<MemberMatch> members;        // which field fills each record member
  std::string inconsistency;               // why its points cannot be read, or ""
};

CloudLayout ExamineCloud(const sensor_msgs::PointCloud2& cloud);

// A PointCloud2 that the bag library decodes only after CheckSerializedCloud
// has passed. It is selected, like PointCloud2, by the PointCloud2 MD5 sum.
struct GuardedPointCloud2 : sensor_msgs::PointCloud2 {};

namespace ros {
namespace message_traits {
template <>
struct MD5Sum<GuardedPointCloud2> : MD5Sum<sensor_msgs::PointCloud2> {};
template <>
struct DataType<GuardedPointCloud2> : DataType<sensor_msgs::PointCloud2> {};
template <>
struct Definition<GuardedPointCloud2> : Definition<sensor_msgs::PointCloud2> {};
template <>
struct IsMessage<GuardedPointCloud2> : TrueType {};
template <>
struct HasHeader<GuardedPointCloud2> : TrueType {};
}  // namespace message_traits

namespace serialization {
template <>
struct Serializer<GuardedPointCloud2> {
  template <typename Stream>
  inline static void read(Stream& stream, GuardedPointCloud2& cloud) {
    CheckSerializedCloud(stream.getData(), stream.getLength());
    stream.next(cloud.header);
    stream.next(cloud.height);
    stream.next(cloud.width);
    stream.next(cloud.fields);
    stream.next(cloud.is_bigendian);
    stream.next(cloud.point_step);
    stream.next(cloud.row_step);
    // The point bytes are copied straight in: a resize would first fill
    // megabytes with zeros only to overwrite them.
    std::uint32_t size = 0;
    stream.next(size);
    const std::uint8_t* bytes = stream.advance(size);
    cloud.data.assign(bytes, bytes + size);
    stream.next(cloud.is_dense);
  }
};
}  // namespace serialization
}  // namespace ros
