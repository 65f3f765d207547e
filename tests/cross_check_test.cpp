// The tool against an independent decoder (bench/peer_report.py, written from
// the conversion rules with python3-rosbag and numpy) on a bag of odd layouts.
#include <gtest/gtest.h>
#include <sensor_msgs/Imu.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "test_support.h"

using namespace test_support;
using cloud_builder::Field;
using sensor_msgs::PointField;

namespace {

// A cloud of `layout` whose every byte is a varied but finite-looking value.
sensor_msgs::PointCloud2 Scrambled(const cloud_builder::Fields& layout, std::uint32_t point_step,
                                   std::uint32_t width, std::uint32_t height,
                                   std::uint32_t row_step, int stamp) {
  auto cloud = cloud_builder::MakeCloud(layout, point_step, width, height, row_step);
  cloud.header.stamp = ros::Time(stamp, 123456789);
  for (std::size_t i = 0; i < cloud.data.size(); ++i) {
    // Bytes 0x3f/0x40 in the high places keep floats in a readable range.
    cloud.data[i] = (i % 4 == 3) ? 0x40 + (i / 4) % 3 : static_cast<std::uint8_t>(i * 37 + stamp);
  }
  return cloud;
}

void WriteOddLayouts(rosbag::Bag& bag) {
  const auto record = cloud_builder::RecordLayout();
  const cloud_builder::Fields packed = cloud_builder::PackedLayoutWithoutRing();
  cloud_builder::Fields gap = record;
  gap.erase(gap.begin() + 4);
  cloud_builder::Fields wide_ring = record;
  wide_ring[4] = Field("ring", 20, PointField::UINT32);
  cloud_builder::Fields double_time = record;
  double_time[5] = Field("time", 24, PointField::FLOAT64);
  cloud_builder::Fields shuffled = {
      Field("time", 0, PointField::FLOAT32), Field("ring", 4, PointField::UINT16),
      Field("x", 8, PointField::FLOAT32),    Field("intensity", 12, PointField::FLOAT32),
      Field("y", 16, PointField::FLOAT32),   Field("z", 20, PointField::FLOAT32)};

  bag.write("/lidar/points", ros::Time(100, 0),
            cloud_builder::MakeSweep(32, 200, ros::Time(100, 5), 1));
  bag.write("/imu", ros::Time(101, 0), sensor_msgs::Imu());
  const std::vector<std::pair<std::string, sensor_msgs::PointCloud2>> odd = {
      {"/packed", Scrambled(packed, 20, 37, 1, 0, 102)},
      {"/gap", Scrambled(gap, 32, 25, 1, 0, 103)},
      {"/wide_ring", Scrambled(wide_ring, 32, 3, 1, 0, 104)},
      {"/double_time", Scrambled(double_time, 32, 30, 1, 0, 105)},
      {"/organized", Scrambled(record, 32, 7, 4, 7 * 32 + 12, 106)},
      {"/shuffled", Scrambled(shuffled, 24, 22, 1, 0, 107)},
      {"/bare", Scrambled({}, 4, 2, 1, 0, 108)}};
  for (const auto& [topic, cloud] : odd) bag.write(topic, cloud.header.stamp, cloud);

  int t = 109;
  auto special = NumberedCloud(6, ros::Time(t, 0));
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  cloud_builder::PutReturn(special, 0, {nan, -nan, inf, -inf, 1, -0.0f});
  cloud_builder::PutReturn(special, 1, {-0.0f, -1.0f, 0, 0, 65535, 1e-7f});
  cloud_builder::PutReturn(special, 2, {-0.0f, 1.0f, 0, 0, 0, 3e38f});
  cloud_builder::PutReturn(special, 3, {1e-30f, -1e30f, 0, 0, 0, 0});
  bag.write("/special/a/topic/longer/than/twenty", ros::Time(t, 0), special);
}

}  // namespace

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
  EXPECT_EQ(ours["topics"].size(), 9u);
  EXPECT_EQ(ours, theirs) << nlohmann::json::diff(ours, theirs);
}
