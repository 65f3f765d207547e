// Decodes TF and IMU messages: ROS 1 ones through ROS's own deserializers,
// CDR ones through Fast CDR, each length checked against the bytes left
// before anything is allocated for it.
#include "context/context.h"
#include "storage/cdr_reading.h"

#include <geometry_msgs/TransformStamped.h>
#include <ros/serialization.h>
#include <sensor_msgs/Imu.h>

#include <fastcdr/Cdr.h>
#include <fastcdr/FastBuffer.h>
#include <fastcdr/exceptions/Exception.h>

#include <cmath>
#include <stdexcept>

namespace {

using eprosima::fastcdr::Cdr;

// The fewest bytes a serialized geometry_msgs/TransformStamped takes: seq,
// stamp, two empty strings' lengths, seven doubles (ROS 1); stamp, two
// strings' lengths, seven doubles (CDR).
constexpr std::size_t kSmallestRos1Transform = 4 + 8 + 4 + 4 + 56;
constexpr std::size_t kSmallestCdrTransform = 8 + 4 + 4 + 56;

std::int64_t Nanoseconds(std::uint32_t sec, std::uint32_t nsec) {
  return static_cast<std::int64_t>(sec) * 1000000000 + nsec;
}

double Length(double x, double y, double z) { return std::sqrt(x * x + y * y + z * z); }

bool Ros1Transforms(const SerializedMessage& message, std::vector<FramePair>& pairs) {
  if (message.size > UINT32_MAX) return false;
  ros::serialization::IStream stream(const_cast<std::uint8_t*>(message.data),
                                     static_cast<std::uint32_t>(message.size));
  std::uint32_t count = 0;
  stream.next(count);
  if (count > stream.getLength() / kSmallestRos1Transform) return false;
  pairs.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    geometry_msgs::TransformStamped transform;
    stream.next(transform);
    pairs.push_back({transform.header.frame_id, transform.child_frame_id});
  }
  return true;
}

bool CdrTransforms(Cdr& cdr, std::size_t size, std::vector<FramePair>& pairs) {
  cdr.read_encapsulation();
  const std::uint32_t count = ReadLength(cdr, size, kSmallestCdrTransform, "transforms");
  pairs.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::int32_t sec = 0;
    std::uint32_t nsec = 0;
    cdr >> sec >> nsec;
    FramePair pair;
    pair.parent = ReadString(cdr, size, "frame_id");
    pair.child = ReadString(cdr, size, "child_frame_id");
    double pose[7];
    cdr.deserializeArray(pose, 7);
    pairs.push_back(std::move(pair));
  }
  return true;
}

bool CdrImu(Cdr& cdr, std::size_t size, ImuSample& sample) {
  cdr.read_encapsulation();
  std::int32_t sec = 0;
  std::uint32_t nsec = 0;
  cdr >> sec >> nsec;
  ReadString(cdr, size, "frame_id");
  // Orientation and its covariance, angular velocity and its covariance,
  // then the linear acceleration.
  double skipped[4 + 9 + 3 + 9];
  cdr.deserializeArray(skipped, 25);
  double acceleration[3];
  cdr.deserializeArray(acceleration, 3);
  sample.stamp_ns = Nanoseconds(static_cast<std::uint32_t>(sec), nsec);
  sample.acceleration = Length(acceleration[0], acceleration[1], acceleration[2]);
  return true;
}

// Runs a CDR decoder; false when the bytes end early or are not CDR.
template <typename Decode>
bool WithCdr(const SerializedMessage& message, Decode&& decode) {
  eprosima::fastcdr::FastBuffer buffer(
      const_cast<char*>(reinterpret_cast<const char*>(message.data)), message.size);
  Cdr cdr(buffer, Cdr::DEFAULT_ENDIAN, Cdr::DDS_CDR);
  try {
    return decode(cdr, static_cast<std::size_t>(message.size));
  } catch (const eprosima::fastcdr::exception::Exception&) {
    return false;
  } catch (const std::runtime_error&) {
    return false;
  }
}

}  // namespace

bool DecodeTransforms(const SerializedMessage& message, std::vector<FramePair>& pairs) {
  if (message.cdr) {
    return WithCdr(message,
                   [&](Cdr& cdr, std::size_t size) { return CdrTransforms(cdr, size, pairs); });
  }
  try {
    return Ros1Transforms(message, pairs);
  } catch (const std::exception&) {
    return false;
  }
}

bool DecodeImu(const SerializedMessage& message, ImuSample& sample) {
  if (message.cdr) {
    return WithCdr(message, [&](Cdr& cdr, std::size_t size) { return CdrImu(cdr, size, sample); });
  }
  if (message.size > UINT32_MAX) return false;
  try {
    // Fixed-size arrays and one string, whose length ROS checks.
    sensor_msgs::Imu imu;
    ros::serialization::IStream stream(const_cast<std::uint8_t*>(message.data),
                                       static_cast<std::uint32_t>(message.size));
    ros::serialization::deserialize(stream, imu);
    sample.stamp_ns = Nanoseconds(imu.header.stamp.sec, imu.header.stamp.nsec);
    const auto& a = imu.linear_acceleration;
    sample.acceleration = Length(a.x, a.y, a.z);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}
