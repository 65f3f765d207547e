// ROS 2 recordings (rosbag2 sqlite3): the same report, summary and selection
// as for the ROS 1 bag of the same clouds, merged walks of both kinds, and
// damaged or unsupported input told in one line.
#include <gtest/gtest.h>
#include <rosbag/view.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstring>
#include <functional>
#include <set>

#include "ros2_bag_writer.h"
#include "test_support.h"

using namespace test_support;
using ros2_bag_writer::Compression;
using ros2_bag_writer::Message;

namespace {

const char* const kCloudType = "sensor_msgs/msg/PointCloud2";

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// The ROS 1 tool output as the same recording's ROS 2 output reads.
std::string AsRos2(const std::string& text, const std::string& ros1_bag,
                   const std::string& ros2_bag) {
  return Replaced(
      Replaced(Replaced(text, ros1_bag, ros2_bag), "sensor_msgs/PointCloud2", kCloudType),
      "sensor_msgs/Imu", "sensor_msgs/msg/Imu");
}

std::vector<std::string> With(std::vector<std::string> args, const std::string& bag) {
  args.push_back(bag);
  return args;
}

Message CloudMessage(const std::string& topic, double recorded,
                     const sensor_msgs::PointCloud2& cloud) {
  return {topic, kCloudType, static_cast<std::int64_t>(recorded * 1e9),
          ros2_bag_writer::CdrCloud(cloud)};
}

// Three clouds of 3 points on /p, recorded and stamped at 1, 2 and 3 s.
std::vector<Message> ThreeClouds() {
  std::vector<Message> messages;
  for (int i = 1; i <= 3; ++i) {
    auto cloud = NumberedCloud(3, ros::Time(i, 0));
    cloud.header.frame_id = "";  // puts the field count at byte 28
    messages.push_back(CloudMessage("/p", i, cloud));
  }
  return messages;
}

void PutU32(std::vector<std::uint8_t>& data, std::size_t at, std::uint32_t value) {
  std::memcpy(data.data() + at, &value, sizeof value);
}

}  // namespace

TEST(Ros2Bag, ReportsEqualTheRos1BagsButForTypeNames) {
  ScratchDir dir;
  const std::string ros1 = dir.Path("odd.bag");
  WriteBag(ros1, WriteOddLayouts);
  struct Storage {
    const char* what;
    std::string name;
    ros2_bag_writer::Options options;
    bool big_endian = false;
  };
  const Storage storages[] = {
      {"one file", "one", {}},
      {"three files named against their order",
       "three",
       {3, Compression::kNone, {"c.db3", "b.db3", "a.db3"}}},
      {"a .db3 file named directly", "direct.db3", {}},
      {"zstd per file", "zfile", {2, Compression::kFile, {}}},
      {"zstd per message", "zmessage", {1, Compression::kMessage, {}}},
      {"big-endian CDR", "big", {}, true},
  };
  const std::vector<std::vector<std::string>> option_sets = {
      {},
      {"-n", "2", "-s"},
      {"-l", "-n", "0"},
      {"--json", "-"},
      {"-n", "1", "--index", "2:7", "--every", "2"},
      {"-n", "1", "--start", "+4", "-t", "/organized", "-t", "/lidar/points"},
  };
  for (const Storage& storage : storages) {
    const std::string ros2 = dir.Path(storage.name);
    ros2_bag_writer::WriteRos2Bag(
        ros2, ros2_bag_writer::MessagesOfRos1Bag(ros1, storage.big_endian), storage.options);
    for (const auto& options : option_sets) {
      const RunResult expected = RunTool(With(options, ros1));
      const RunResult run = RunTool(With(options, ros2));
      SCOPED_TRACE(std::string(storage.what) + ", options: " + ::testing::PrintToString(options));
      ASSERT_EQ(expected.status, 0) << expected.err;
      EXPECT_EQ(run.status, 0);
      EXPECT_EQ(run.out, AsRos2(expected.out, ros1, ros2));
      EXPECT_EQ(run.err, expected.err);
    }
  }
}

TEST(Ros2Bag, MergesWithRos1BagsInRecordTimeOrder) {
  ScratchDir dir;
  const std::string whole = dir.Path("whole.bag");
  WriteBag(whole, WriteOddLayouts);
  // Three cloud topics and the IMU go to the ROS 2 part, the rest stays ROS 1.
  const std::set<std::string> moved = {"/packed", "/organized", "/lidar/points", "/imu"};
  std::vector<Message> ros2_part;
  for (Message& m : ros2_bag_writer::MessagesOfRos1Bag(whole)) {
    if (moved.count(m.topic) != 0) ros2_part.push_back(std::move(m));
  }
  const std::string ros2 = dir.Path("part2");
  ros2_bag_writer::WriteRos2Bag(ros2, ros2_part);
  const std::string ros1 = dir.Path("part1.bag");
  WriteBag(ros1, [&whole, &moved](rosbag::Bag& out) {
    rosbag::Bag in(whole, rosbag::bagmode::Read);
    for (const rosbag::MessageInstance& m : rosbag::View(in)) {
      if (moved.count(m.getTopic()) == 0) out.write(m.getTopic(), m.getTime(), m);
    }
  });
  // The same ROS 1 part as a ROS 2 recording too: two ROS 2 recordings merged.
  std::vector<Message> rest_part = ros2_bag_writer::MessagesOfRos1Bag(ros1);
  const std::string ros2_rest = dir.Path("part1");
  ros2_bag_writer::WriteRos2Bag(ros2_rest, rest_part, {2, Compression::kNone, {}});
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"-n", "1", "--merge", ros2, ros1},
                                             {"-n", "0", "-s", "--merge", ros1, ros2},
                                             {"-n", "2", "-s", "--merge", ros2_rest, ros2}}) {
    const bool all_ros2 = args.back() == ros2 && args[args.size() - 2] == ros2_rest;
    const RunResult run = RunTool(args);
    std::vector<std::string> rest(args.begin(), args.end() - 2);
    const RunResult expected = RunTool(With(rest, whole));
    ASSERT_EQ(run.status, 0) << run.err;
    std::string out;
    for (const std::string& line : Lines(expected.out)) {
      bool ros2_line = all_ros2;
      for (const std::string& topic : moved)
        ros2_line |= line.find(topic + " ") != std::string::npos ||
                     line.find(topic + ":") != std::string::npos;
      out += (ros2_line ? AsRos2(line, "", "") : line) + "\n";
    }
    // The summary names the bags the walk went through.
    out =
        Replaced(out, "'" + whole + "'", "'" + args[args.size() - 2] + "', '" + args.back() + "'");
    EXPECT_EQ(run.out, out) << ::testing::PrintToString(args);
    EXPECT_EQ(run.err, expected.err);
  }
}

TEST(Ros2Bag, DamagedMessagesStopTheWalkWithTheReason) {
  struct Case {
    const char* what;
    std::function<void(std::vector<std::uint8_t>&)> damage;
    std::string reason;
    Compression compression = Compression::kNone;
  };
  const Case cases[] = {
      {"cut short", [](auto& data) { data.resize(data.size() / 2); }, "ends early or is not CDR"},
      {"a 4 GiB point data length",
       [](auto& data) { PutU32(data, data.size() - 1 - 3 * 32 - 4, 0xFFFFFFFF); },
       "data claims 4294967295 bytes, but 97 bytes are left in the message"},
      {"a field count past the message", [](auto& data) { PutU32(data, 28, 100000000); },
       "fields claims 100000000 entries, but"},
      {"not a zstd frame", [](auto& data) { data.assign(40, 7); }, "zstd: Unknown frame descriptor",
       Compression::kMessage},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    std::vector<Message> messages = ThreeClouds();
    const std::string rec = dir.Path("rec");
    if (c.compression == Compression::kMessage) {
      // The damaged message is written as it is, the others compressed.
      ros2_bag_writer::WriteRos2Bag(rec, messages, {1, c.compression, {}});
      sqlite3* db = nullptr;
      ASSERT_EQ(sqlite3_open((rec + "/rec_0.db3").c_str(), &db), SQLITE_OK);
      std::vector<std::uint8_t> data;
      c.damage(data);
      sqlite3_stmt* update = nullptr;
      sqlite3_prepare_v2(db, "UPDATE messages SET data = ?1 WHERE id = 2", -1, &update, nullptr);
      sqlite3_bind_blob(update, 1, data.data(), static_cast<int>(data.size()), SQLITE_TRANSIENT);
      EXPECT_EQ(sqlite3_step(update), SQLITE_DONE);
      sqlite3_finalize(update);
      sqlite3_close(db);
    } else {
      c.damage(messages[1].data);
      ros2_bag_writer::WriteRos2Bag(rec, messages);
    }
    const RunResult run = RunTool({rec});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out,
              Replaced(NumberedCloudReport(0, 1, "/p", 3), "sensor_msgs/PointCloud2", kCloudType));
    const std::string line = "bag_cloud_dump: failed to read '" + rec +
                             "' after 1 cloud: message 2 on /p in '" + rec + "/rec_0.db3': ";
    EXPECT_EQ(run.err.substr(0, line.size()), line) << run.err;
    EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
    EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
  }
}

TEST(Ros2Bag, WhatCannotBeReadGetsTheOpenFailureLine) {
  struct Case {
    const char* what;
    std::function<void(const std::string& path)> make;
    std::string reason;
  };
  const auto metadata = [](const std::string& body) {
    return [body](const std::string& path) {
      mkdir(path.c_str(), 0755);
      WriteFile(path + "/metadata.yaml", body);
    };
  };
  const Case cases[] = {
      {"an MCAP file too short for its header",
       [](const std::string& path) { WriteFile(path, "\x89MCAP0\r\n\x01\x02"); },
       "is too short to hold its MCAP header"},
      {"a directory of MCAP storage without files",
       metadata("rosbag2_bagfile_information:\n  storage_identifier: mcap\n"),
       "no .mcap files in the directory"},
      {"a directory of .mcap files, one only a magic",
       [](const std::string& path) {
         mkdir(path.c_str(), 0755);
         WriteFile(path + "/rec_0.mcap", "\x89MCAP0\r\n");
       },
       "rec_0.mcap' is too short to hold its MCAP header"},
      {"a directory of an unknown storage",
       metadata("rosbag2_bagfile_information:\n  storage_identifier: rosbag_v2\n"),
       "storage 'rosbag_v2' is not supported; sqlite3 and mcap are"},
      {"an SQLite file without rosbag2's tables",
       [](const std::string& path) {
         sqlite3* db = nullptr;
         sqlite3_open(path.c_str(), &db);
         sqlite3_exec(db, "CREATE TABLE other(a);", nullptr, nullptr, nullptr);
         sqlite3_close(db);
       },
       "no such table: topics"},
      {"a metadata.yaml that lists a missing file",
       metadata("rosbag2_bagfile_information:\n  relative_file_paths: [gone.db3]\n"),
       "gone.db3': unable to open database file"},
      {"lz4 compression",
       metadata("rosbag2_bagfile_information:\n  compression_format: lz4\n"
                "  compression_mode: FILE\n"),
       "compression 'lz4' is not supported"},
      {"a metadata.yaml that is not YAML", metadata("rosbag2_bagfile_information: [\n"),
       "metadata.yaml'"},
      {"an empty directory", [](const std::string& path) { mkdir(path.c_str(), 0755); },
       "no .db3 or .mcap files in the directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    const std::string path = dir.Path("rec");
    c.make(path);
    const RunResult run = RunTool({path});
    EXPECT_EQ(run.status, 1);
    const std::string start = " Bag file open failed, " + path + ", msg = ";
    EXPECT_EQ(run.out.substr(0, start.size()), start) << run.out;
    EXPECT_NE(run.out.find(c.reason), std::string::npos) << run.out;
    EXPECT_EQ(run.err, "");
  }
}

TEST(Ros2Bag, ReadsOnlyCdrCloudsAndChangesNothing) {
  ScratchDir dir;
  const std::string rec = dir.Path("rec");
  std::vector<Message> messages = ThreeClouds();
  messages.push_back({"/imu", "sensor_msgs/msg/Imu", 1500000000, {0, 1, 0, 0, 9, 9}});
  Message not_cdr = messages[0];
  not_cdr.topic = "/other_format";
  not_cdr.serialization = "ros1";
  messages.push_back(not_cdr);
  ros2_bag_writer::WriteRos2Bag(rec, messages);
  const std::string file = rec + "/rec_0.db3";
  const std::string before = ReadFile(file);
  chmod(file.c_str(), 0444);
  chmod(rec.c_str(), 0555);
  const RunResult run = RunTool({"-n", "0", "--json", "-", rec});
  chmod(rec.c_str(), 0755);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find(R"("topic": "/imu",
      "type": "sensor_msgs/msg/Imu",
      "messages": 1)"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find(R"("topic": "/other_format",
      "type": "sensor_msgs/msg/PointCloud2",
      "messages": 1)"),
            std::string::npos);
  EXPECT_EQ(ReadFile(file), before);
  const RunResult listing = RunProgram("/bin/ls", {"ls", "-A", rec});
  EXPECT_EQ(listing.out, "metadata.yaml\nrec_0.db3\n");
}
