// Writes a small, realistic lidar bag: 64-ring sweeps at 10 Hz on
// /lidar/points, IMU messages at 100 Hz on /imu/data, the robot's pose in
// /tf at 20 Hz with the sensors' mounting in /tf_static, and a status text
// once a second on /status, with stamps as a recorder would give them.
//
//   write_sample_bag OUT.bag [--sweeps N] [--columns N] [--rings N]
//                            [--compression none|bz2|lz4] [--drop-sweep K]

#include <rosbag/bag.h>
#include <sensor_msgs/Imu.h>
#include <std_msgs/String.h>
#include <tf2_msgs/TFMessage.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "cloud_builder.h"

namespace {

struct SampleOptions {
  std::string path;
  unsigned sweeps = 5;
  unsigned columns = 512;
  unsigned rings = 64;
  long drop_sweep = -1;  // a sweep the "driver" loses, as drivers do
  rosbag::compression::CompressionType compression = rosbag::compression::Uncompressed;
};

bool ParseCompression(const char* name, rosbag::compression::CompressionType& out) {
  if (std::strcmp(name, "none") == 0)
    out = rosbag::compression::Uncompressed;
  else if (std::strcmp(name, "bz2") == 0)
    out = rosbag::compression::BZ2;
  else if (std::strcmp(name, "lz4") == 0)
    out = rosbag::compression::LZ4;
  else
    return false;
  return true;
}

bool ParseArguments(int argc, char** argv, SampleOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--sweeps" && has_value)
      options.sweeps = std::strtoul(argv[++i], nullptr, 10);
    else if (arg == "--columns" && has_value)
      options.columns = std::strtoul(argv[++i], nullptr, 10);
    else if (arg == "--rings" && has_value)
      options.rings = std::strtoul(argv[++i], nullptr, 10);
    else if (arg == "--drop-sweep" && has_value)
      options.drop_sweep = std::strtol(argv[++i], nullptr, 10);
    else if (arg == "--compression" && has_value) {
      if (!ParseCompression(argv[++i], options.compression)) return false;
    } else if (options.path.empty() && arg[0] != '-')
      options.path = arg;
    else
      return false;
  }
  return !options.path.empty() && options.rings > 0 && options.columns > 0;
}

sensor_msgs::Imu MakeImu(ros::Time stamp, unsigned seq) {
  sensor_msgs::Imu imu;
  imu.header.seq = seq;
  imu.header.stamp = stamp;
  imu.header.frame_id = "imu";
  imu.orientation.w = 1.0;
  imu.angular_velocity.z = 0.02 * std::sin(seq * 0.1);
  imu.linear_acceleration.x = 0.3 * std::cos(seq * 0.05);
  imu.linear_acceleration.z = 9.81;
  return imu;
}

geometry_msgs::TransformStamped Transform(const char* parent, const char* child, ros::Time stamp,
                                          double x) {
  geometry_msgs::TransformStamped transform;
  transform.header.stamp = stamp;
  transform.header.frame_id = parent;
  transform.child_frame_id = child;
  transform.transform.translation.x = x;
  transform.transform.rotation.w = 1.0;
  return transform;
}

void WriteSampleBag(const SampleOptions& options) {
  rosbag::Bag bag;
  bag.open(options.path, rosbag::bagmode::Write);
  bag.setCompression(options.compression);
  // A recording started on 2026-03-14 at 09:26:53 UTC; each sweep is stamped
  // when it starts and written when it completes, 0.1 s later.
  const ros::Time start(1773480413, 250000000);
  const ros::Duration imu_period(0.01);
  unsigned imu_seq = 0;
  tf2_msgs::TFMessage mounting;
  mounting.transforms = {Transform("base_link", "lidar", start, 0.8),
                         Transform("base_link", "imu", start, 0.1)};
  bag.write("/tf_static", start, mounting);
  for (unsigned sweep = 0; sweep < options.sweeps; ++sweep) {
    const ros::Time sweep_start = start + ros::Duration(0.1 * sweep);
    for (unsigned k = 0; k < 2; ++k) {
      const ros::Time stamp = sweep_start + ros::Duration(0.05 * k);
      tf2_msgs::TFMessage pose;
      pose.transforms = {Transform("odom", "base_link", stamp, 0.5 * (sweep + 0.5 * k))};
      bag.write("/tf", stamp + ros::Duration(0.0002), pose);
    }
    for (unsigned k = 0; k < 10; ++k, ++imu_seq) {
      const ros::Time stamp = sweep_start + imu_period * k;
      bag.write("/imu/data", stamp + ros::Duration(0.0004), MakeImu(stamp, imu_seq));
    }
    if (sweep % 10 == 0) {
      std_msgs::String status;
      status.data = "lidar ok, " + std::to_string(sweep) + " sweeps";
      bag.write("/status", sweep_start, status);
    }
    const ros::Time written = sweep_start + ros::Duration(0.1);
    if (static_cast<long>(sweep) == options.drop_sweep) continue;
    bag.write("/lidar/points", written,
              cloud_builder::MakeSweep(options.rings, options.columns, sweep_start, sweep));
  }
  bag.close();
}

}  // namespace

int main(int argc, char** argv) {
  SampleOptions options;
  if (!ParseArguments(argc, argv, options)) {
    fprintf(stderr,
            "usage: %s OUT.bag [--sweeps N] [--columns N] [--rings N] "
            "[--compression none|bz2|lz4] [--drop-sweep K]\n",
            argv[0]);
    return 2;
  }
  try {
    WriteSampleBag(options);
  } catch (const std::exception& e) {
    fprintf(stderr, "write_sample_bag: failed to write '%s': %s\n", options.path.c_str(), e.what());
    return 1;
  }
  return 0;
}
