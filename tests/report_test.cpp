// The point lines under each cloud: which points, and the angle column.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "test_support.h"

using namespace test_support;

namespace {

RunResult DumpClouds(const std::vector<sensor_msgs::PointCloud2>& clouds) {
  ScratchDir dir;
  WriteBag(dir.Path("t.bag"), [&](rosbag::Bag& bag) {
    for (const auto& cloud : clouds) bag.write("/points", ros::Time(9, 0), cloud);
  });
  return RunTool({dir.Path("t.bag")});
}

// The first column of every point line, per cloud.
std::vector<std::vector<int>> PrintedIndices(const std::string& out) {
  std::vector<std::vector<int>> clouds;
  for (const std::string& line : Lines(out)) {
    if (line.size() > 30 && line.compare(0, 14, std::string(14, ' ')) == 0) {
      clouds.emplace_back();  // a cloud header line
    } else if (!clouds.empty()) {
      clouds.back().push_back(std::stoi(line.substr(0, 6)));
    }
  }
  return clouds;
}

std::vector<int> Range(int from, int to) {
  std::vector<int> values;
  for (int i = from; i < to; ++i) values.push_back(i);
  return values;
}

std::vector<int> Join(std::vector<int> a, const std::vector<int>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

TEST(Report, PrintsTheFirstAndLastTenPoints) {
  const ros::Time t(9, 0);
  const RunResult run = DumpClouds({NumberedCloud(0, t), NumberedCloud(5, t), NumberedCloud(20, t),
                                    NumberedCloud(21, t), NumberedCloud(100, t)});
  const std::vector<std::vector<int>> expected = {{},
                                                  Range(0, 5),
                                                  Range(0, 20),
                                                  Join(Range(0, 10), Range(11, 21)),
                                                  Join(Range(0, 10), Range(90, 100))};
  EXPECT_EQ(PrintedIndices(run.out), expected);
  EXPECT_EQ(run.status, 0);
}

TEST(Report, FullSweepPrintsItsEndsExactly) {
  // 64 rings by 1563 columns: 100,032 points, column by column.
  const auto sweep = cloud_builder::MakeSweep(64, 1563, ros::Time(9, 0), 3);
  const RunResult run = DumpClouds({sweep});
  const auto lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 21u);
  EXPECT_EQ(PrintedIndices(run.out),
            std::vector<std::vector<int>>{Join(Range(0, 10), Range(100022, 100032))});
  // The last point is ring 63 of the last column: just left of straight ahead.
  EXPECT_EQ(lines.back().substr(0, 7), "100031 ");
  EXPECT_EQ(lines.back().substr(lines.back().size() - 18), "     63     -0.230");
}

TEST(Report, AngleIsMeasuredFromPlusYTowardsPlusX) {
  const float zero = 0.0f;
  const std::vector<std::pair<float, float>> xy = {{0, 1},   {1, 0}, {0, -1},     {-1, 0},   {1, 1},
                                                   {-1, -1}, {0, 0}, {-zero, -1}, {-zero, 1}};
  auto cloud = NumberedCloud(static_cast<std::uint32_t>(xy.size()), ros::Time(9, 0));
  for (std::uint32_t i = 0; i < xy.size(); ++i) {
    cloud_builder::Put(cloud, i, 0, xy[i].first);
    cloud_builder::Put(cloud, i, 4, xy[i].second);
  }
  const auto lines = Lines(DumpClouds({cloud}).out);
  ASSERT_EQ(lines.size(), 1 + xy.size());
  const std::vector<std::string> expected = {"     0.000", "    90.000", "   180.000",
                                             "   -90.000", "    45.000", "  -135.000",
                                             "     0.000", "  -180.000", "    -0.000"};
  for (std::size_t i = 0; i < xy.size(); ++i) {
    EXPECT_EQ(lines[1 + i].substr(lines[1 + i].size() - 10), expected[i]) << lines[1 + i];
  }
}

TEST(Report, NonFiniteCoordinatesPrintAsTheCLibraryDoes) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  auto cloud = NumberedCloud(3, ros::Time(9, 0));
  cloud_builder::PutReturn(cloud, 0, {nan, 1.0f, 2.0f, 3.0f, 4, 0.5f});
  cloud_builder::PutReturn(cloud, 1, {inf, -inf, nan, 3.0f, 5, 0.25f});
  cloud_builder::PutReturn(cloud, 2, {1.0f, inf, -inf, nan, 6, 0.125f});
  const auto lines = Lines(DumpClouds({cloud}).out);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(
      lines[1],
      "     0        nan      1.000      2.000      3.000         0.5000000000      4        nan");
  EXPECT_EQ(
      lines[2],
      "     1        inf       -inf        nan      3.000         0.2500000000      5    135.000");
  EXPECT_EQ(
      lines[3],
      "     2      1.000        inf       -inf        nan         0.1250000000      6      0.000");
}
