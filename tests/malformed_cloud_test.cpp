// Clouds whose metadata does not fit their data: each gets its header line and
// a note on stderr instead of point lines, and the walk goes on.
#include <gtest/gtest.h>

#include "test_support.h"

using namespace test_support;
using cloud_builder::Field;
using sensor_msgs::PointField;

namespace {

sensor_msgs::PointCloud2 Malformed(const std::function<void(sensor_msgs::PointCloud2&)>& spoil,
                                   int stamp) {
  sensor_msgs::PointCloud2 cloud = NumberedCloud(4, ros::Time(stamp, 0));
  spoil(cloud);
  return cloud;
}

}  // namespace

TEST(MalformedCloud, EachIsNotedAndTheWalkGoesOn) {
  const std::vector<std::pair<std::function<void(sensor_msgs::PointCloud2&)>, std::string>> cases =
      {{[](auto& c) { c.data.resize(100); }, "data holds 100 bytes, height x row_step needs 128"},
       {[](auto& c) { c.row_step = 96; }, "row_step 96 is less than width x point_step = 128"},
       {[](auto& c) { c.fields[4] = Field("ring", 31, PointField::UINT16); },
        "field 'ring' at offset 31 takes 2 bytes, past point_step 32"},
       {[](auto& c) { c.point_step = 0; }, "point_step is 0 for 4 points"},
       {[](auto& c) {
          c.width = 65536;
          c.height = 65537;
        },
        "width x height is 65536 x 65537, more points than 32 bits count"},
       {[](auto& c) {
          c.width = 65536;
          c.height = 65536;
        },
        "width x height is 65536 x 65536, more points than 32 bits count"}};

  ScratchDir dir;
  WriteBag(dir.Path("t.bag"), [&](rosbag::Bag& bag) {
    int stamp = 1;
    for (const auto& [spoil, note] : cases) {
      bag.write("/points", ros::Time(stamp, 0), NumberedCloud(3, ros::Time(stamp, 0)));
      ++stamp;
      bag.write("/points", ros::Time(stamp, 0), Malformed(spoil, stamp));
      ++stamp;
    }
    bag.write("/points", ros::Time(stamp, 0), NumberedCloud(12, ros::Time(stamp, 0)));
  });

  std::string expected_out, expected_err;
  int index = 0;
  for (const auto& [spoil, note] : cases) {
    expected_out += NumberedCloudReport(index, index + 1, "/points", 3);
    ++index;
    expected_out += CloudLine(index, index + 1, "/points");
    expected_err += "bag_cloud_dump: cloud " + std::to_string(index) + " on /points: " + note +
                    "; points not shown\n";
    ++index;
  }
  expected_out += NumberedCloudReport(index, index + 1, "/points", 12);

  const RunResult run = RunTool({dir.Path("t.bag")});
  EXPECT_EQ(run.out, expected_out);
  EXPECT_EQ(run.err, expected_err);
  EXPECT_EQ(run.status, 0);
}

TEST(MalformedCloud, LengthPastItsRecordStopsBeforeAllocatingIt) {
  ScratchDir dir;
  const std::string path = dir.Path("t.bag");
  WriteBag(path, [](rosbag::Bag& bag) {
    for (int i = 1; i <= 3; ++i) {
      bag.write("/points", ros::Time(i, 0), NumberedCloud(2, ros::Time(i, 0)));
    }
  });
  // point_step 32, row_step 64, then the data's own length, 64: claim 2 GiB.
  std::string bytes = ReadFile(path);
  const std::string lengths("\x20\0\0\0\x40\0\0\0\x40\0\0\0", 12);
  std::size_t at = bytes.find(lengths);
  at = bytes.find(lengths, at + 1);
  ASSERT_NE(at, std::string::npos);
  bytes.replace(at + 8, 4, "\xff\xff\xff\x7f");
  WriteFile(path, bytes);

  const RunResult run = RunTool({path});
  EXPECT_EQ(run.out, NumberedCloudReport(0, 1, "/points", 2));
  EXPECT_EQ(run.err.rfind("bag_cloud_dump: failed to read '" + path +
                              "' after 1 cloud: damaged PointCloud2 message: its point data "
                              "needs 2147483647 bytes, 65 remain of its ",
                          0),
            0u)
      << run.err;
  EXPECT_EQ(run.status, 1);
}
