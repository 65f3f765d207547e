// Writes seed corpora for the fuzzers with the project's own cloud builder:
// serialized PointCloud2 messages of several layouts into DIR/cloud, the
// same in CDR (little and big endian) into DIR/cdr, and small bags
// (uncompressed, bz2, lz4) into DIR/bag.
#include "cloud_builder.h"
#include "mcap_writer.h"
#include "ros2_bag_writer.h"

#include <rosbag/bag.h>
#include <sensor_msgs/Imu.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

using cloud_builder::Field;
using sensor_msgs::PointField;

namespace {

std::vector<sensor_msgs::PointCloud2> SeedClouds() {
  std::vector<sensor_msgs::PointCloud2> clouds;
  clouds.push_back(cloud_builder::MakeSweep(4, 6, ros::Time(1, 0), 0));
  auto gap = cloud_builder::RecordLayout();
  gap.erase(gap.begin() + 4);
  auto padded = cloud_builder::MakeCloud(gap, 32, 3, 2, 100);
  clouds.push_back(padded);
  clouds.push_back(cloud_builder::MakeCloud(
      {Field("x", 0, PointField::FLOAT32), Field("y", 4, PointField::FLOAT32),
       Field("z", 8, PointField::FLOAT32), Field("intensity", 12, PointField::FLOAT32),
       Field("time", 16, PointField::FLOAT64)},
      24, 5));
  clouds.push_back(cloud_builder::MakeCloud({}, 4, 2));
  return clouds;
}

void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

void WriteMessage(const std::string& path, const sensor_msgs::PointCloud2& cloud) {
  std::vector<std::uint8_t> bytes(ros::serialization::serializationLength(cloud));
  ros::serialization::OStream stream(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  ros::serialization::serialize(stream, cloud);
  WriteBytes(path, bytes);
}

void WriteSeedBag(const std::string& path, rosbag::compression::CompressionType compression) {
  rosbag::Bag bag;
  bag.open(path, rosbag::bagmode::Write);
  bag.setCompression(compression);
  bag.setChunkThreshold(512);
  int t = 1;
  for (const auto& cloud : SeedClouds()) {
    bag.write("/imu", ros::Time(t, 0), sensor_msgs::Imu());
    bag.write(t % 2 ? "/points" : "/other", ros::Time(t, 500), cloud);
    ++t;
  }
  bag.close();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  mkdir(dir.c_str(), 0755);
  mkdir((dir + "/cloud").c_str(), 0755);
  mkdir((dir + "/bag").c_str(), 0755);
  mkdir((dir + "/cdr").c_str(), 0755);
  int n = 0;
  for (const auto& cloud : SeedClouds()) {
    WriteMessage(dir + "/cloud/seed" + std::to_string(n), cloud);
    for (const bool big_endian : {false, true}) {
      WriteBytes(dir + "/cdr/seed" + std::to_string(n) + (big_endian ? "be" : "le"),
                 ros2_bag_writer::CdrCloud(cloud, big_endian));
    }
    ++n;
  }
  WriteSeedBag(dir + "/bag/plain.bag", rosbag::compression::Uncompressed);
  WriteSeedBag(dir + "/bag/bz2.bag", rosbag::compression::BZ2);
  WriteSeedBag(dir + "/bag/lz4.bag", rosbag::compression::LZ4);
  // MCAP files of the seed bag's messages, written every way the reader meets.
  mkdir((dir + "/mcap").c_str(), 0755);
  const std::vector<mcap_writer::Message> ros2 =
      ros2_bag_writer::MessagesOfRos1Bag(dir + "/bag/plain.bag");
  const std::vector<mcap_writer::Message> ros1 =
      mcap_writer::Ros1MessagesOfRos1Bag(dir + "/bag/plain.bag");
  int variant = 0;
  for (const char* compression : {"", "zstd", "lz4"}) {
    for (const bool chunked : {true, false}) {
      mcap_writer::Options options;
      options.compression = compression;
      options.chunked = chunked;
      options.padded = variant % 2 == 1;
      options.summary =
          variant % 3 == 2 ? mcap_writer::Summary::kNone : mcap_writer::Summary::kWhole;
      options.profile = variant == 3 ? "ros1" : "ros2";
      options.silent_channels = {{"/silent", "sensor_msgs/msg/PointCloud2"}};
      mcap_writer::WriteMcap(dir + "/mcap/seed" + std::to_string(variant++) + ".mcap",
                             options.profile == "ros1" ? ros1 : ros2, options);
    }
  }
  return 0;
}
