// Writes ROS 2 recordings in rosbag2's sqlite3 storage, for the tests, the
// fuzzers' seeds and the benchmarks: the counterpart of rosbag's C++ writer.
#pragma once

#include <sensor_msgs/Imu.h>
#include <sensor_msgs/PointCloud2.h>
#include <tf2_msgs/TFMessage.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ros2_bag_writer {

// A PointCloud2 as ROS 2 serializes it: CDR with its encapsulation header.
std::vector<std::uint8_t> CdrCloud(const sensor_msgs::PointCloud2& cloud, bool big_endian = false);

// TF and IMU messages in CDR.
std::vector<std::uint8_t> CdrTransforms(const tf2_msgs::TFMessage& message);
std::vector<std::uint8_t> CdrImu(const sensor_msgs::Imu& imu);

struct Message {
  std::string topic;
  std::string type;  // e.g. "sensor_msgs/msg/PointCloud2"
  std::int64_t time_ns = 0;
  std::vector<std::uint8_t> data;
  std::string serialization = "cdr";
};

enum class Compression { kNone, kFile, kMessage };

struct Options {
  int files = 1;  // messages split in time order into this many .db3 files
  Compression compression = Compression::kNone;
  // File names in time order; by default "<dir name>_<n>.db3".
  std::vector<std::string> file_names;
};

// Writes `messages` as a rosbag2 directory at `path` (metadata.yaml and the
// .db3 files), or as one plain .db3 file when `path` ends with ".db3". Each
// file numbers its topics its own way. Throws std::runtime_error on failure.
void WriteRos2Bag(const std::string& path, const std::vector<Message>& messages,
                  const Options& options = Options());

// Every message of a ROS 1 bag under its ROS 2 type name: clouds, TF (ROS
// 1's tf/tfMessage as tf2_msgs/msg/TFMessage) and IMU messages in CDR, the
// others with their ROS 1 bytes (nothing reads them).
std::vector<Message> MessagesOfRos1Bag(const std::string& ros1_path, bool big_endian_cdr = false);

// Every message of a ROS 1 bag with its ROS 1 bytes and type name, for an
// MCAP file in the ros1 profile.
std::vector<Message> Ros1MessagesOfRos1Bag(const std::string& ros1_path);

}  // namespace ros2_bag_writer
