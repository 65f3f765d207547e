// The tool against an independent decoder (bench/peer_report.py, written from
// the conversion rules with python3-rosbag and numpy) on a bag of odd layouts.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "test_support.h"

using namespace test_support;

TEST(CrossCheck, MatchesAnIndependentDecoderOnOddLayouts) {
  for (auto compression : {rosbag::compression::Uncompressed, rosbag::compression::BZ2}) {
    ScratchDir dir;
    const std::string bag = dir.Path("odd.bag");
    WriteBag(bag, WriteOddLayouts, compression);
    const RunResult tool = RunTool({bag});
    const RunResult peer = RunProgram("/usr/bin/python3", {"python3", PEER_REPORT_SCRIPT, bag});
    ASSERT_EQ(peer.status, 0) << peer.err;
    EXPECT_EQ(tool.status, 0);
    EXPECT_EQ(Lines(tool.out).size(), 140u);
    EXPECT_EQ(tool.out, peer.out);
    EXPECT_EQ(tool.err, peer.err);
  }
}

TEST(CrossCheck, PrintedPointsOnlyConversionEqualsTheFullConversion) {
  ScratchDir dir;
  const std::string bag = dir.Path("odd.bag");
  WriteBag(bag, WriteOddLayouts, rosbag::compression::LZ4);
  for (const std::vector<std::string>& options :
       std::vector<std::vector<std::string>>{{}, {"-n", "3"}, {"--all"}, {"-n", "0", "-l"}}) {
    std::vector<std::string> fast = options, full = options;
    fast.push_back(bag);
    full.push_back("--full-conversion");
    full.push_back(bag);
    const RunResult fast_run = RunTool(fast);
    const RunResult full_run = RunTool(full);
    EXPECT_EQ(fast_run.status, 0);
    EXPECT_EQ(fast_run.out, full_run.out);
    EXPECT_EQ(fast_run.err, full_run.err);
  }
}

TEST(CrossCheck, SummaryMatchesAnIndependentDecoder) {
  ScratchDir dir;
  const std::string bag = dir.Path("odd.bag");
  WriteBag(bag, [](rosbag::Bag& b) {
    WriteOddLayouts(b);
    // More sweeps, one of them dropped, one with a NaN in every column.
    for (int i = 2; i < 9; ++i) {
      if (i == 5) continue;
      auto sweep = cloud_builder::MakeSweep(32, 50, ros::Time(110 + i * 0.1), i);
      if (i == 6) {
        const float nan = std::numeric_limits<float>::quiet_NaN();
        for (std::uint32_t p = 0; p < 50 * 32; p += 32) {
          cloud_builder::PutReturn(sweep, p + 7, {nan, 1, 2, 3, 8, 0.05f});
        }
      }
      b.write("/lidar/points", ros::Time(110 + i * 0.1 + 0.02), sweep);
    }
    // A radar whose driver zeroes some stamps, a lidar with its point time
    // in seconds and nanoseconds fields, an RGB-D camera.
    using cloud_builder::Field;
    using sensor_msgs::PointField;
    const auto layout = [](std::vector<std::pair<const char*, std::uint8_t>> named) {
      cloud_builder::Fields fields;
      for (std::size_t i = 0; i < named.size(); ++i) {
        fields.push_back(Field(named[i].first, 4 * i, named[i].second));
      }
      return fields;
    };
    const std::uint8_t f32 = PointField::FLOAT32, u32 = PointField::UINT32;
    const auto radar = layout({{"x", f32}, {"y", f32}, {"z", f32}, {"vrad", f32}});
    const auto paired =
        layout({{"x", f32}, {"y", f32}, {"z", f32}, {"time_sec", u32}, {"time_nsec", u32}});
    const auto camera = layout({{"x", f32}, {"y", f32}, {"z", f32}, {"rgb", f32}});
    for (int i = 0; i < 6; ++i) {
      auto target = cloud_builder::MakeCloud(radar, 16, 3);
      if (i % 3 != 1) target.header.stamp = ros::Time(120 + i * 0.05);
      cloud_builder::Put(target, 1, 0, 2.5f);
      b.write("/radar", ros::Time(120 + i * 0.05 + 0.01), target);
      auto lidar = cloud_builder::MakeCloud(paired, 20, 4);
      lidar.header.stamp = ros::Time(120 + i * 0.1);
      for (std::uint32_t p = 0; p < 4; ++p) {
        cloud_builder::Put(lidar, p, 0, 1.0f + p);
        cloud_builder::Put(lidar, p, 12, std::uint32_t(i == 4 ? 1700000000 : 0));
        cloud_builder::Put(lidar, p, 16, std::uint32_t(p * 33333333u + i));
      }
      b.write("/paired", ros::Time(120 + i * 0.1 + 0.03), lidar);
      auto rgbd = cloud_builder::MakeCloud(camera, 16, 2);
      rgbd.header.stamp = ros::Time(120 + i * 0.2);
      b.write("/camera", ros::Time(120 + i * 0.2 + 20545920), rgbd);
      // An Ouster-like lidar (t in nanoseconds, ring UINT8) stamped at the
      // sweep's end, whose points sit on sector boundaries, one sweep losing a
      // sector and one repeated.
      const auto ouster = layout({{"x", f32},
                                  {"y", f32},
                                  {"z", f32},
                                  {"intensity", f32},
                                  {"t", u32},
                                  {"ring", PointField::UINT8}});
      auto sweep = cloud_builder::MakeCloud(ouster, 24, 360);
      sweep.header.stamp = ros::Time(130 + i * 0.1);
      for (std::uint32_t p = 0; p < 360; ++p) {
        const bool lost = i == 2 && p >= 100 && p < 120;
        const double a = (p + (i == 3 ? 0.0 : 0.5)) * M_PI / 180;  // cloud 3 on the boundaries
        cloud_builder::Put(sweep, p, 0, lost ? 0.0f : static_cast<float>(std::sin(a)));
        cloud_builder::Put(sweep, p, 4, lost ? 0.0f : static_cast<float>(std::cos(a)));
        cloud_builder::Put(sweep, p, 12, static_cast<float>(p % 7));
        cloud_builder::Put(sweep, p, 16, std::uint32_t(p * 250000));
        cloud_builder::Put(sweep, p, 20, std::uint8_t(p % 16));
      }
      if (i == 3) {
        for (std::uint32_t p = 0; p < 4; ++p) {  // the axes, with -0 on -y
          const float x[] = {0.0f, 1.0f, -0.0f, -1.0f}, y[] = {1.0f, 0.0f, -1.0f, 0.0f};
          cloud_builder::Put(sweep, p, 0, x[p]);
          cloud_builder::Put(sweep, p, 4, y[p]);
        }
      }
      b.write("/ouster", ros::Time(130 + i * 0.1 + 0.09), sweep);
      if (i == 4) b.write("/ouster", ros::Time(130 + i * 0.1 + 0.095), sweep);
    }
    // Around the clouds: static and dynamic TF (one as ROS 1's tf/tfMessage,
    // frames with a leading '/', an undecodable message), an IMU in g on
    // another clock, raw packets, and clouds without a frame or with '/'.
    b.write("/tf_static", ros::Time(100), Transforms({{"base_link", "lidar"}}, ros::Time(100)));
    for (int i = 0; i < 20; ++i) {
      const ros::Time at(100 + i * 0.5);
      b.write("/tf", at, Transforms({{"odom", "/base_link"}, {"/map", "odom"}}, at));
      WriteRaw(b, "/robot/tf", at,
               RawMessage{"tf/tfMessage", "94810edda583a504dfda3829e70d7eec",
                          Serialized(Transforms({{"a", "b"}}, at))});
      b.write("/imu/g", at + ros::Duration(0.3), ImuAtRest(at, 1.0));
    }
    WriteRaw(b, "/tf", ros::Time(101),
             RawMessage{"tf2_msgs/TFMessage", "94810edda583a504dfda3829e70d7eec", {9, 0, 0, 0}});
    WriteRaw(b, "/velodyne_packets", ros::Time(101),
             RawMessage{"velodyne_msgs/VelodyneScan", "*", {1}});
    for (int i = 0; i < 3; ++i) {
      auto cloud = cloud_builder::MakeCloud(radar, 16, 3);
      cloud.header.stamp = ros::Time(140 + i * 0.1);
      cloud.header.seq = i == 2 ? 5 : i;
      cloud.header.frame_id = i == 0 ? "" : "/radar";
      b.write("/radar2", ros::Time(140 + i * 0.1), cloud);
    }
  });
  const RunResult tool = RunTool({"--json", "-", bag});
  const RunResult peer = RunProgram("/usr/bin/python3", {"python3", PEER_SUMMARY_SCRIPT, bag});
  ASSERT_EQ(peer.status, 0) << peer.err;
  ASSERT_EQ(tool.status, 0) << tool.err;
  nlohmann::json ours = nlohmann::json::parse(tool.out);
  for (auto& topic : ours["topics"]) {
    for (auto& problem : topic["problems"]) problem.erase("text");
  }
  const nlohmann::json theirs = nlohmann::json::parse(peer.out);
  EXPECT_EQ(ours["topics"].size(), 14u);
  EXPECT_EQ(ours, theirs) << nlohmann::json::diff(ours, theirs);
}
