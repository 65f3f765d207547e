// Shared helpers for the end-to-end tests: scratch folders, bags written with
// rosbag's C++ API, and runs of the built tool with captured output.
#pragma once

#include <rosbag/bag.h>

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

}  // namespace test_support
