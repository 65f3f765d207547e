// The recording around the clouds, end to end and in every storage: lidar
// recorded in other forms, frames against TF, the IMUs' clocks and lost
// clouds.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "mcap_writer.h"
#include "summary_support.h"

using namespace summary_support;

namespace {

const char* const kTfMd5 = "94810edda583a504dfda3829e70d7eec";

enum class Storage { kRos1, kSqlite, kMcap, kMcapRos1 };
const std::vector<Storage> kEveryStorage = {Storage::kRos1, Storage::kSqlite, Storage::kMcap,
                                            Storage::kMcapRos1};

const char* NameOf(Storage storage) {
  switch (storage) {
    case Storage::kRos1:
      return "ROS 1";
    case Storage::kSqlite:
      return "sqlite3";
    case Storage::kMcap:
      return "MCAP";
    case Storage::kMcapRos1:
      break;
  }
  return "MCAP ros1 profile";
}

// Writes the bag in rosbag's writer, copies it into the storage, and runs
// the tool on it with `args` before the path.
RunResult RunOn(Storage storage, const std::function<void(rosbag::Bag&)>& fill,
                std::vector<std::string> args, const mcap_writer::Options& extra = {}) {
  static int serial = 0;
  ScratchDir dir;
  const std::string ros1 = dir.Path("t.bag");
  WriteBag(ros1, fill);
  std::string path = ros1;
  if (storage == Storage::kSqlite) {
    path = dir.Path("t.db3");
    ros2_bag_writer::WriteRos2Bag(path, ros2_bag_writer::MessagesOfRos1Bag(ros1));
  } else if (storage != Storage::kRos1) {
    path = dir.Path("t" + std::to_string(++serial) + ".mcap");
    mcap_writer::Options options = extra;
    const bool ros1_profile = storage == Storage::kMcapRos1;
    if (ros1_profile) options.profile = "ros1";
    mcap_writer::WriteMcap(path,
                           ros1_profile ? mcap_writer::Ros1MessagesOfRos1Bag(ros1)
                                        : ros2_bag_writer::MessagesOfRos1Bag(ros1),
                           options);
  }
  args.push_back(path);
  return RunTool(args);
}

json DocumentOf(Storage storage, const std::function<void(rosbag::Bag&)>& fill,
                const mcap_writer::Options& extra = {}) {
  const RunResult run = RunOn(storage, fill, {"--json", "-"}, extra);
  EXPECT_EQ(run.status, 0) << run.err;
  return json::parse(run.out);
}

// Ten sweeps on /points at 10 Hz from 100 s, in frame `frame`, recorded
// 100 ms after their stamps, their points 0 to 75 ms after them.
void Sweeps(rosbag::Bag& bag, const std::string& frame = "velodyne",
            const std::string& topic = "/points", const CloudRecipe& recipe = CloudRecipe()) {
  for (const Written& w : TenSweeps(recipe, topic.c_str())) {
    sensor_msgs::PointCloud2 cloud = w.cloud;
    cloud.header.frame_id = frame;
    bag.write(topic, ros::Time(w.recorded + 0.09), cloud);
  }
}

void Tf(rosbag::Bag& bag, const std::string& topic,
        const std::vector<std::pair<std::string, std::string>>& pairs, double at = 100) {
  bag.write(topic, ros::Time(at), Transforms(pairs, ros::Time(at)));
}

// An IMU at 100 Hz on /imu from `from` to `to` s, recorded `late` after its
// stamps.
void Imu(rosbag::Bag& bag, double from, double to, double late = 0.001, double gravity = 9.81,
         const std::string& topic = "/imu") {
  for (int i = 0; from + i * 0.01 <= to + 1e-9; ++i) {
    const ros::Time stamp(from + i * 0.01);
    bag.write(topic, stamp + ros::Duration(late), ImuAtRest(stamp, gravity));
  }
}

json TopicNamed(const json& document, const std::string& name) {
  for (const json& topic : document["topics"]) {
    if (topic["topic"] == name) return topic;
  }
  return nullptr;
}

std::string ProblemText(const json& topic, const std::string& code) {
  for (const json& problem : topic["problems"]) {
    if (problem["code"] == code) return problem["text"];
  }
  return "";
}

}  // namespace

TEST(Surroundings, LidarRecordedInOtherForms) {
  const auto fill = [](rosbag::Bag& b) {
    for (const char* type :
         {"velodyne_msgs/VelodyneScan", "hesai_msgs/HesaiPacket", "acme_msgs/LidarScan",
          "livox_ros_driver2/CustomMsg", "point_cloud_interfaces/CompressedPointCloud2",
          "sensor_msgs/LaserScan", "ars_msgs/RadarScan", "acme_msgs/LaserScan",
          "radar_msgs/PointScan"}) {
      const std::string name(type);
      WriteRaw(b, "/" + name.substr(name.rfind('/') + 1), ros::Time(100),
               {type, "0123456789abcdef0123456789abcdef", {1, 2}});
    }
  };
  const json expected = json::parse(R"([
      {"topic": "/CompressedPointCloud2", "form": "compressed", "messages": 1},
      {"topic": "/CustomMsg", "form": "livox-custom", "messages": 1},
      {"topic": "/HesaiPacket", "form": "packets", "messages": 1},
      {"topic": "/LidarScan", "form": "packets", "messages": 1},
      {"topic": "/VelodyneScan", "form": "packets", "messages": 1}])");
  for (Storage storage : {Storage::kRos1, Storage::kMcap}) {
    SCOPED_TRACE(NameOf(storage));
    json found = DocumentOf(storage, fill)["lidar_not_clouds"];
    for (json& topic : found) topic.erase("type");
    EXPECT_EQ(found, expected);
    const RunResult text = RunOn(storage, fill, {"-s"});
    EXPECT_NE(text.out.find("\n# /VelodyneScan (velodyne_msgs/"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("VelodyneScan, 1 message): raw sensor packets, not clouds: replay them "
                            "through the driver's cloud node to get PointCloud2 (this tool and "
                            "PointCloud2 consumers cannot read them)\n"),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("message): Livox's own point message: consumers that read PointCloud2 "
                            "need the driver's PointCloud2 output\n"),
              std::string::npos);
    EXPECT_EQ(text.out.rfind("# no point clouds in '", 0), 0u) << text.out;
    EXPECT_EQ(RunOn(storage, fill, {"--fail-on", "lidar-not-clouds"}).status, 3);
    EXPECT_EQ(RunOn(storage, fill, {"--fail-on", "silent-topics"}).status, 0);
  }
}

TEST(Surroundings, FramesAndTf) {
  struct Case {
    const char* what;
    std::function<void(rosbag::Bag&)> fill;
    json frames;                     // part of the first topic's "frames"
    std::vector<std::string> codes;  // of frames and TF, in order
    const char* problem = "";        // the start of the first of them
  };
  const std::vector<Case> cases = {
      {"a chain of three, static and dynamic",
       [](rosbag::Bag& b) {
         Sweeps(b);
         Tf(b, "/tf_static", {{"base_link", "velodyne"}});
         Tf(b, "/tf", {{"/odom", "/base_link"}});
         Tf(b, "/tf", {{"odom", "base_link"}}, 100.5);
       },
       {{"in_tf", true}, {"tf_chain", {"velodyne", "base_link", "odom"}}, {"empty", 0}},
       {}},
      {"a loop ends the chain",
       [](rosbag::Bag& b) {
         Sweeps(b);
         Tf(b, "/tf", {{"base_link", "velodyne"}, {"velodyne", "base_link"}});
       },
       {{"tf_chain", {"velodyne", "base_link"}}},
       {}},
      {"the lidar's frame has no transform",
       [](rosbag::Bag& b) {
         Sweeps(b, "lidar");
         Tf(b, "/robot1/tf_static", {{"base_link", "velodyne"}, {"odom", "base_link"}});
       },
       {{"in_tf", false}, {"tf_chain", nullptr}},
       {"no-transform"},
       "frame 'lidar' has no transform in this recording (its transforms join: base_link, odom, "
       "velodyne): consumers that transform the clouds into the robot's frame wait for one "
       "forever"},
      {"no TF at all", [](rosbag::Bag& b) { Sweeps(b); }, {{"in_tf", false}}, {}},
      {"frames empty, with '/', and shared",
       [](rosbag::Bag& b) {
         Sweeps(b, "/velodyne");
         Sweeps(b, "", "/ground");
         Sweeps(b, "/velodyne", "/filtered");
         Tf(b, "/tf", {{"base_link", "velodyne"}});
       },
       {{"leading_slash", 10}, {"shared_with", {"/filtered"}}, {"in_tf", true}},
       {"frame-slash"},
       "frame_id '/velodyne' starts with '/': tf2 rejects it, and consumers that validate frames "
       "stop"},
  };
  for (const Case& c : cases) {
    for (Storage storage : kEveryStorage) {
      SCOPED_TRACE(std::string(c.what) + " in " + NameOf(storage));
      const json points = TopicNamed(DocumentOf(storage, c.fill), "/points");
      ExpectSubset(points["frames"], c.frames);
      std::vector<std::string> codes;
      for (const std::string& code : Codes(points)) {
        if (code.rfind("frame-", 0) == 0 || code == "no-transform") codes.push_back(code);
      }
      EXPECT_EQ(codes, c.codes);
      if (!codes.empty()) {
        EXPECT_EQ(ProblemText(points, codes[0]), c.problem);
      }
    }
  }
  // The TF document, the frame line and the empty frame, in one recording.
  const auto fill = [](rosbag::Bag& b) {
    Sweeps(b, "/velodyne");
    Sweeps(b, "", "/ground");
    Tf(b, "/tf_static", {{"base_link", "velodyne"}});
    Tf(b, "/tf", {{"odom", "base_link"}, {"odom", "base_link"}});
    Tf(b, "/tf", {{"odom", "base_link"}}, 101);
    WriteRaw(b, "/tf", ros::Time(102), {"tf2_msgs/TFMessage", kTfMd5, {9, 0, 0, 0}});
    WriteRaw(b, "/old/tf", ros::Time(102),
             {"tf/tfMessage", kTfMd5, Serialized(Transforms({{"map", "odom"}}, ros::Time(102)))});
  };
  const json document = DocumentOf(Storage::kRos1, fill);
  EXPECT_EQ(document["tf"], json::parse(R"({
      "topics": [{"topic": "/old/tf", "messages": 1}, {"topic": "/tf", "messages": 3},
                 {"topic": "/tf_static", "messages": 1}],
      "transforms": [{"parent": "base_link", "child": "velodyne", "static": true, "messages": 1},
                     {"parent": "map", "child": "odom", "static": false, "messages": 1},
                     {"parent": "odom", "child": "base_link", "static": false, "messages": 2}],
      "undecodable": 1})"));
  EXPECT_EQ(TopicNamed(document, "/ground")["frames"]["empty"], 10);
  EXPECT_EQ(ProblemText(TopicNamed(document, "/ground"), "frame-empty"),
            "10 clouds have no frame_id: TF cannot place them and viewers drop them");
  const std::string text = RunOn(Storage::kRos1, fill, {"-s", "-n", "0"}).out;
  EXPECT_NE(text.find("\n#   frame      'velodyne' -> base_link -> odom -> map in TF; 0 empty, 10 "
                      "with '/'\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("# no TF in this recording"), std::string::npos);
  const std::string without =
      RunOn(Storage::kRos1, [](rosbag::Bag& b) { Sweeps(b); }, {"-s", "-n", "0"}).out;
  EXPECT_NE(without.find("\n# no TF in this recording: a consumer needs the lidar's mounting from "
                         "elsewhere\n"),
            std::string::npos);
  // A /tf_static whose latched messages the recorder never got.
  mcap_writer::Options silent;
  silent.silent_channels = {{"/tf_static", "tf2_msgs/msg/TFMessage"}};
  EXPECT_EQ(DocumentOf(
                Storage::kMcap, [](rosbag::Bag& b) { Sweeps(b); }, silent)["tf"]["topics"],
            json::parse(R"([{"topic": "/tf_static", "messages": 0}])"));
}

TEST(Surroundings, ImuClockUnitAndCoverage) {
  struct Case {
    const char* what;
    std::function<void(rosbag::Bag&)> fill;
    json imu;                        // the first topic's "imu"[0], in part
    std::vector<std::string> codes;  // imu-clock and imu-short
    const char* problem = "";
    const char* unit = "m/s2";
  };
  const std::vector<Case> cases = {
      {"the same clock, all along",
       [](rosbag::Bag& b) {
         Sweeps(b);
         Imu(b, 99.9, 101.1);
       },
       {{"covers", true}},
       {}},
      {"stamped 300 ms late on another clock",
       [](rosbag::Bag& b) {
         Sweeps(b);
         Imu(b, 99.9, 101.1, -0.3);
       },
       {{"covers", true}},
       {"imu-clock"},
       "the lidar's stamps lie 325.000 ms behind the IMU's, beyond the sweep itself: the two are "
       "stamped by different clocks: lidar-inertial odometry diverges"},
      {"starting after the clouds, in g",
       [](rosbag::Bag& b) {
         Sweeps(b);
         Imu(b, 100.5, 101.1, 0.001, 1.0);
       },
       {{"covers", false}},
       {"imu-short"},
       "the IMU's stamps start after the clouds': the first sweeps cannot be deskewed",
       "g"},
      {"a radar on another clock: no sweep to take off, so twice the period",
       [](rosbag::Bag& b) {
         Sweeps(b, "radar", "/points",
                RecipeOf(LayoutOf({{"x", kF32}, {"y", kF32}, {"z", kF32}, {"velocity", kF32}})));
         Imu(b, 99.9, 101.1, -0.3);
       },
       {{"covers", true}},
       {"imu-clock"},
       "the lidar's stamps lie 400.000 ms behind the IMU's, beyond the sweep itself: the two are "
       "stamped by different clocks: lidar-inertial odometry diverges"},
  };
  for (const Case& c : cases) {
    for (Storage storage : kEveryStorage) {
      SCOPED_TRACE(std::string(c.what) + " in " + NameOf(storage));
      const json document = DocumentOf(storage, c.fill);
      const json& imu = document["topics"][0]["imu"];
      ASSERT_EQ(imu.size(), 1u) << imu;
      ExpectSubset(imu[0], c.imu);
      std::vector<std::string> codes;
      for (const std::string& code : Codes(document["topics"][0])) {
        if (code.rfind("imu-", 0) == 0) codes.push_back(code);
      }
      EXPECT_EQ(codes, c.codes);
      if (!codes.empty()) {
        EXPECT_EQ(ProblemText(document["topics"][0], codes[0]), c.problem);
      }
      ExpectSubset(document["imu_topics"][0], {{"topic", "/imu"}, {"acceleration_unit", c.unit}});
    }
  }
  const json clock = DocumentOf(Storage::kRos1, [](rosbag::Bag& b) {
    Sweeps(b);
    Imu(b, 99.9, 101.1);
  });
  // The clouds' latency (100 ms) less their sweep (75 ms), less the IMU's (1 ms).
  EXPECT_NEAR(clock["topics"][0]["imu"][0]["clock_offset"].get<double>(), 0.024, 1e-6);
  EXPECT_EQ(clock["imu_topics"][0]["stamps"]["gaps"], 0);
  EXPECT_NEAR(clock["imu_topics"][0]["stamps"]["rate_hz"].get<double>(), 100, 1e-6);
  const std::string g = RunOn(Storage::kRos1,
                              [](rosbag::Bag& b) {
                                Sweeps(b);
                                Imu(b, 99.9, 101.1, 0.001, 1.0, "/livox/imu");
                              },
                              {"-s", "-n", "0"})
                            .out;
  EXPECT_NE(g.find("\n# IMU /livox/imu reports acceleration in g (median 1.00), not m/s²: "
                   "lidar-inertial stacks must scale it\n"),
            std::string::npos)
      << g;
  const std::string none =
      RunOn(Storage::kRos1, [](rosbag::Bag& b) { Sweeps(b); }, {"-s", "-n", "0"}).out;
  EXPECT_NE(none.find("\n# no IMU in this recording: lidar-inertial stacks cannot run on it\n"),
            std::string::npos);
}

TEST(Surroundings, CloudsLostByHeaderSeq) {
  struct Case {
    const char* what;
    std::vector<std::uint32_t> seqs;
    std::vector<Storage> storages;
    json lost;
  };
  std::vector<std::uint32_t> counting;
  for (std::uint32_t i = 0; i < 20; ++i) counting.push_back(i < 10 ? i + 7 : i + 9);
  const std::vector<Case> cases = {
      {"a counting publisher that lost two", counting, {Storage::kRos1, Storage::kMcapRos1}, 2},
      {"a publisher that leaves seq 0",
       std::vector<std::uint32_t>(20, 0),
       {Storage::kRos1},
       nullptr},
      {"CDR has no seq", counting, {Storage::kSqlite, Storage::kMcap}, nullptr},
  };
  for (const Case& c : cases) {
    for (Storage storage : c.storages) {
      SCOPED_TRACE(std::string(c.what) + " in " + NameOf(storage));
      const json document = DocumentOf(storage, [&c](rosbag::Bag& b) {
        for (std::size_t i = 0; i < c.seqs.size(); ++i) {
          sensor_msgs::PointCloud2 cloud = MakeCloud(CloudRecipe(), 100 + i * 0.1);
          cloud.header.seq = c.seqs[i];
          b.write("/points", ros::Time(100.05 + i * 0.1), cloud);
        }
      });
      const json& topic = document["topics"][0];
      EXPECT_EQ(topic["stamps"]["seq_lost"], c.lost);
      EXPECT_EQ(ProblemText(topic, "messages-lost"),
                c.lost.is_null() ? ""
                                 : "header.seq skips 2 numbers (9.1 %): the recorder or the "
                                   "network dropped 2 clouds");
    }
  }
}

namespace {

// Bag records by hand: rosbag's writer never leaves a connection without
// messages, which recorders do (a latched /tf_static the recorder missed).
std::string FieldBytes(const std::string& name, const std::string& value) {
  const std::string field = name + "=" + value;
  std::string bytes(4, '\0');
  const auto length = static_cast<std::uint32_t>(field.size());
  std::memcpy(&bytes[0], &length, 4);
  return bytes + field;
}

template <typename T>
std::string Binary(T value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

std::string RecordBytes(const std::string& header, const std::string& data) {
  return Binary(static_cast<std::uint32_t>(header.size())) + header +
         Binary(static_cast<std::uint32_t>(data.size())) + data;
}

std::string ConnectionRecord(std::uint32_t id, const std::string& topic, const std::string& type,
                             const std::string& md5) {
  return RecordBytes(
      FieldBytes("op", "\x07") + FieldBytes("conn", Binary(id)) + FieldBytes("topic", topic),
      FieldBytes("topic", topic) + FieldBytes("type", type) + FieldBytes("md5sum", md5) +
          FieldBytes("message_definition", ""));
}

// A closed bag of one chunk: a cloud on /points, and connections on
// /points2 and /tf_static that never got a message.
std::string BagWithSilentConnections() {
  const std::string cloud_md5 = "1158d486dd51d683ce2f1be655c3c181";
  std::string connections = ConnectionRecord(0, "/points", "sensor_msgs/PointCloud2", cloud_md5) +
                            ConnectionRecord(1, "/tf_static", "tf2_msgs/TFMessage", kTfMd5) +
                            ConnectionRecord(2, "/points2", "sensor_msgs/PointCloud2", cloud_md5);
  const std::uint64_t time = 100;  // sec 100, nsec 0
  const std::vector<std::uint8_t> cloud = Serialized(NumberedCloud(3, ros::Time(100)));
  const std::string chunk_data =
      connections + RecordBytes(FieldBytes("op", "\x02") + FieldBytes("conn", Binary(0u)) +
                                    FieldBytes("time", Binary(time)),
                                std::string(cloud.begin(), cloud.end()));
  const std::string chunk =
      RecordBytes(FieldBytes("compression", "none") +
                      FieldBytes("size", Binary(static_cast<std::uint32_t>(chunk_data.size()))) +
                      FieldBytes("op", "\x05"),
                  chunk_data);
  const std::string index =
      RecordBytes(FieldBytes("op", "\x04") + FieldBytes("ver", Binary(1u)) +
                      FieldBytes("conn", Binary(0u)) + FieldBytes("count", Binary(1u)),
                  Binary(time) + Binary(static_cast<std::uint32_t>(connections.size())));
  const std::uint64_t chunk_pos = 13 + 4096;
  const std::string info = RecordBytes(
      FieldBytes("op", "\x06") + FieldBytes("ver", Binary(1u)) +
          FieldBytes("chunk_pos", Binary(chunk_pos)) + FieldBytes("start_time", Binary(time)) +
          FieldBytes("end_time", Binary(time)) + FieldBytes("count", Binary(1u)),
      Binary(0u) + Binary(1u));
  const std::uint64_t index_pos = chunk_pos + chunk.size() + index.size();
  const std::string header = FieldBytes("index_pos", Binary(index_pos)) +
                             FieldBytes("conn_count", Binary(3u)) +
                             FieldBytes("chunk_count", Binary(1u)) + FieldBytes("op", "\x03");
  const std::string padding(4096 - 8 - header.size(), ' ');
  return "#ROSBAG V2.0\n" + RecordBytes(header, padding) + chunk + index + connections + info;
}

}  // namespace

TEST(Surroundings, Ros1ConnectionsWithoutMessages) {
  ScratchDir dir;
  const std::string path = dir.Path("silent.bag");
  WriteFile(path, BagWithSilentConnections());
  const RunResult run = RunTool({"--json", "-", path});
  ASSERT_EQ(run.status, 0) << run.err;
  const json document = json::parse(run.out);
  EXPECT_EQ(document["clouds"], 1);
  EXPECT_EQ(document["silent_cloud_topics"], json::parse(R"([
      {"topic": "/points2", "type": "sensor_msgs/PointCloud2", "offered_qos": null}])"));
  EXPECT_EQ(document["tf"]["topics"], json::parse(R"([{"topic": "/tf_static", "messages": 0}])"));
  EXPECT_EQ(RunTool({"--fail-on", "silent-topics", "-n", "0", path}).status, 3);
}
