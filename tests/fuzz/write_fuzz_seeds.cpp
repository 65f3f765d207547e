// Writes seed corpora for the fuzzers with the project's own cloud builder:
// serialized PointCloud2 messages of several layouts into DIR/cloud, the
// same in CDR (little and big endian) into DIR/cdr, small bags
// (uncompressed, bz2, lz4) into DIR/bag, their records after the bag header
// (closed, and with the last chunk left open) into DIR/unindexed, and MCAP
// files into DIR/mcap.
#include "cloud_builder.h"
#include "mcap_writer.h"
#include "ros2_bag_writer.h"

#include <rosbag/bag.h>
#include <sensor_msgs/Imu.h>
#include <sys/stat.h>
#include <tf2_msgs/TFMessage.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
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

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t U32At(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  std::memcpy(&value, bytes.data() + at, 4);
  return value;
}

// The records as a killed recorder leaves them: up to the end of the last
// chunk, whose data length is still 0.
std::vector<std::uint8_t> KilledRecorder(const std::string& records) {
  std::size_t last = 0, end = 0;
  for (std::size_t at = 0; at + 8 <= records.size();) {
    const std::uint32_t header = U32At(records, at);
    if (at + 8 + header > records.size()) break;
    const std::size_t next = at + 8 + header + U32At(records, at + 4 + header);
    if (records.find("op=\x05", at + 4) < at + 4 + header) {
      last = at + 4 + header;
      end = next;
    }
    at = next;
  }
  std::vector<std::uint8_t> bytes(records.begin(), records.begin() + std::min(end, records.size()));
  if (end > 0) std::memset(bytes.data() + last, 0, 4);
  return bytes;
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
    tf2_msgs::TFMessage tf;
    tf.transforms.resize(1);
    tf.transforms[0].header.frame_id = "base_link";
    tf.transforms[0].child_frame_id = "lidar";
    bag.write("/tf", ros::Time(t, 0), tf);
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
  // The records after the bag header of each seed bag (the unindexed walk's
  // input), closed, and as a killed recorder leaves them: the last chunk open.
  mkdir((dir + "/unindexed").c_str(), 0755);
  for (const char* name : {"plain", "bz2", "lz4"}) {
    const std::string bytes = ReadBytes(dir + "/bag/" + name + ".bag");
    const std::string records = bytes.substr(4096);
    WriteBytes(dir + "/unindexed/" + name, {records.begin(), records.end()});
    WriteBytes(dir + "/unindexed/" + std::string(name) + "-killed", KilledRecorder(records));
    // The whole bag so, for the bag-file fuzzer, which reaches the same walk.
    std::vector<std::uint8_t> killed = KilledRecorder(records);
    killed.insert(killed.begin(), bytes.begin(), bytes.begin() + 4096);
    const std::size_t index = bytes.find("index_pos=") + 10;
    std::fill(killed.begin() + index, killed.begin() + index + 8, 0);
    WriteBytes(dir + "/bag/" + std::string(name) + "-killed.bag", killed);
  }
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
