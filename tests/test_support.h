// Shared helpers for the end-to-end tests: scratch folders, bags written with
// rosbag's C++ API, and runs of the built tool with captured output.
#pragma once

#include <rosbag/bag.h>
#include <sensor_msgs/Imu.h>
#include <tf2_msgs/TFMessage.h>

#include <functional>
#include <string>
#include <vector>

#include "cloud_builder.h"

namespace test_support {

// A fresh folder under the system's temporary folder, removed with the object.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string Path(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Opens `path` for writing, lets `fill` write messages, closes the bag.
void WriteBag(const std::string& path, const std::function<void(rosbag::Bag&)>& fill,
              rosbag::compression::CompressionType compression = rosbag::compression::Uncompressed);

struct RunResult {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or 128 + signal number
};

// Runs the built bag_cloud_dump with `args` (argv[0] is supplied).
RunResult RunTool(const std::vector<std::string>& args);

// Runs the tool with stderr sent into stdout, to see how the two interleave.
RunResult RunToolMerged(const std::vector<std::string>& args);

// Runs any program with an explicit argv, including argv[0].
RunResult RunProgram(const std::string& program, const std::vector<std::string>& argv,
                     bool merge_stderr = false);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

// The header line the tool prints for a cloud.
std::string CloudLine(int index, double stamp, const std::string& topic,
                      const std::string& type = "sensor_msgs/PointCloud2");

// A cloud of RecordLayout() whose point i has x = i, y = 1, z = -i,
// intensity = 10 + i, ring = i % 64, time = i / 1000.
sensor_msgs::PointCloud2 NumberedCloud(std::uint32_t points, ros::Time stamp);

// The header line followed by the point lines the tool prints for a
// NumberedCloud of `points` points.
std::string NumberedCloudReport(int index, double stamp, const std::string& topic,
                                std::uint32_t points);

// Lines of `text` (without their newlines).
std::vector<std::string> Lines(const std::string& text);

// Clouds of many layouts (the record layout, packed, gapped, wide ring,
// double time, organised with padded rows, shuffled, fieldless, NaN and
// infinite returns) on their own topics, among IMU messages.
void WriteOddLayouts(rosbag::Bag& bag);

// A TF message with one transform per (parent, child) pair, stamped `stamp`.
tf2_msgs::TFMessage Transforms(const std::vector<std::pair<std::string, std::string>>& pairs,
                               ros::Time stamp);

// An IMU message at rest: gravity along z, `gravity` long (9.81 in m/s²).
sensor_msgs::Imu ImuAtRest(ros::Time stamp, double gravity = 9.81);

// A message of any type name and MD5 sum holding bytes as they are, for
// types the tests cannot link (drivers' packets) or ROS 1's own names of
// types they can (tf/tfMessage).
struct RawMessage {
  std::string type;
  std::string md5 = "0123456789abcdef0123456789abcdef";  // not "*", which matches any type
  std::vector<std::uint8_t> bytes;
};

// Writes a RawMessage on `topic`: a connection of its type and MD5 sum.
void WriteRaw(rosbag::Bag& bag, const std::string& topic, ros::Time time, const RawMessage& raw);

// A message's ROS 1 bytes.
template <typename M>
std::vector<std::uint8_t> Serialized(const M& message) {
  std::vector<std::uint8_t> bytes(ros::serialization::serializationLength(message));
  ros::serialization::OStream stream(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  ros::serialization::serialize(stream, message);
  return bytes;
}

}  // namespace test_support
