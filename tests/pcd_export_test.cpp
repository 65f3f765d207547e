// Clouds exported with --pcd read back with PCL's own reader: every field of
// the message, every byte of every point.
#include <gtest/gtest.h>
#include <pcl/PCLPointCloud2.h>
#include <pcl/io/pcd_io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "test_support.h"

using namespace test_support;
using cloud_builder::Field;
using sensor_msgs::PointField;

namespace {

// Fills every byte of every point with a different value, so that a field
// read from the wrong place cannot go unnoticed.
sensor_msgs::PointCloud2 Patterned(sensor_msgs::PointCloud2 cloud) {
  for (std::size_t i = 0; i < cloud.data.size(); ++i) {
    cloud.data[i] = static_cast<std::uint8_t>(i * 37 + 11);
  }
  return cloud;
}

// An Ouster-like layout: time as UINT32 't', an 8-bit ring, extra fields.
sensor_msgs::PointCloud2 OusterLike() {
  return Patterned(cloud_builder::MakeCloud(
      {Field("x", 0, PointField::FLOAT32), Field("y", 4, PointField::FLOAT32),
       Field("z", 8, PointField::FLOAT32), Field("intensity", 16, PointField::FLOAT32),
       Field("t", 20, PointField::UINT32), Field("reflectivity", 24, PointField::UINT16),
       Field("ring", 26, PointField::UINT8), Field("ambient", 28, PointField::UINT16),
       Field("range", 32, PointField::UINT32)},
      48, 5));
}

// Organised, 3 rows of 4 points with 16 bytes of padding after each row, and
// fields listed out of offset order, one of them an array.
sensor_msgs::PointCloud2 OrganizedWithPaddedRows() {
  return Patterned(cloud_builder::MakeCloud(
      {Field("time", 24, PointField::FLOAT64), Field("x", 0, PointField::FLOAT32),
       Field("y", 4, PointField::FLOAT32), Field("z", 8, PointField::FLOAT32),
       Field("rgb", 12, PointField::UINT8, 4), Field("label", 16, PointField::INT16)},
      32, 4, 3, 4 * 32 + 16));
}

sensor_msgs::PointCloud2 WithNaNPoints() {
  sensor_msgs::PointCloud2 cloud = NumberedCloud(6, ros::Time(0));
  const float nan = std::numeric_limits<float>::quiet_NaN();
  cloud_builder::Put(cloud, 2, 0, nan);
  cloud_builder::Put(cloud, 4, 8, -std::numeric_limits<float>::infinity());
  cloud.is_dense = 0;
  return cloud;
}

// Compares the exported file with the message, field by field and byte by
// byte; `fields` is the message's fields in offset order.
void ExpectSameCloud(const std::string& path, const sensor_msgs::PointCloud2& message) {
  pcl::PCLPointCloud2 read;
  ASSERT_EQ(pcl::PCDReader().read(path, read), 0) << path;
  EXPECT_EQ(read.width, message.width);
  EXPECT_EQ(read.height, message.height);
  std::vector<sensor_msgs::PointField> fields = message.fields;
  std::stable_sort(fields.begin(), fields.end(),
                   [](const auto& a, const auto& b) { return a.offset < b.offset; });
  ASSERT_EQ(read.fields.size(), fields.size());
  for (std::size_t f = 0; f < fields.size(); ++f) {
    const pcl::PCLPointField& got = read.fields[f];
    const sensor_msgs::PointField& want = fields[f];
    EXPECT_EQ(got.name, want.name);
    EXPECT_EQ(got.datatype, want.datatype) << want.name;
    EXPECT_EQ(got.count, want.count) << want.name;
    const std::size_t size = pcl::getFieldSize(want.datatype) * want.count;
    for (std::uint32_t r = 0; r < message.height; ++r) {
      for (std::uint32_t c = 0; c < message.width; ++c) {
        const std::uint8_t* ours =
            message.data.data() + r * message.row_step + c * message.point_step + want.offset;
        const std::uint8_t* theirs =
            read.data.data() + r * read.row_step + c * read.point_step + got.offset;
        ASSERT_EQ(std::memcmp(ours, theirs, size), 0)
            << want.name << " of point " << r << "," << c << " in " << path;
      }
    }
  }
}

}  // namespace

TEST(PcdExport, EveryFieldAndEveryByteSurvives) {
  ScratchDir dir;
  const std::string bag = dir.Path("t.bag");
  const std::vector<std::pair<std::string, sensor_msgs::PointCloud2>> clouds = {
      {"/record", NumberedCloud(40, ros::Time(0))},
      {"/ouster/points", OusterLike()},
      {"/organized", OrganizedWithPaddedRows()},
      {"/nan", WithNaNPoints()}};
  WriteBag(bag, [&clouds](rosbag::Bag& b) {
    for (std::size_t i = 0; i < clouds.size(); ++i) {
      sensor_msgs::PointCloud2 cloud = clouds[i].second;
      cloud.header.stamp = ros::Time(100 + i, 250000000);
      b.write(clouds[i].first, ros::Time(100 + i, 250000000), cloud);
    }
  });
  const RunResult plain = RunTool({bag});
  const RunResult run = RunTool({"--pcd", dir.Path("out/pcd"), bag});
  EXPECT_EQ(run.out, plain.out);
  EXPECT_EQ(run.err, plain.err);
  EXPECT_EQ(run.status, 0);
  const char* names[] = {"000000_record_100.250000000.pcd",
                         "000001_ouster_points_101.250000000.pcd",
                         "000002_organized_102.250000000.pcd", "000003_nan_103.250000000.pcd"};
  for (std::size_t i = 0; i < clouds.size(); ++i) {
    ExpectSameCloud(dir.Path("out/pcd/") + names[i], clouds[i].second);
  }
}

TEST(PcdExport, OnlySelectedReadableCloudsAndClearFailures) {
  ScratchDir dir;
  const std::string bag = dir.Path("t.bag");
  WriteBag(bag, [](rosbag::Bag& b) {
    for (int i = 0; i < 4; ++i)
      b.write("/p", ros::Time(10 + i), NumberedCloud(3, ros::Time(10 + i)));
    sensor_msgs::PointCloud2 short_data = NumberedCloud(3, ros::Time(20));
    short_data.data.resize(40);  // malformed: its points are not shown, nor written
    b.write("/p", ros::Time(20), short_data);
    b.write("/p", ros::Time(30), NumberedCloud(0, ros::Time(30)));
  });
  const RunResult run = RunTool({"--pcd", dir.Path("out"), "--every", "2", "-n", "0", bag});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ReadFile(dir.Path("out/000000_p_10.000000000.pcd")).empty(), false);
  EXPECT_EQ(ReadFile(dir.Path("out/000002_p_12.000000000.pcd")).empty(), false);
  struct stat info;
  EXPECT_NE(stat(dir.Path("out/000001_p_11.000000000.pcd").c_str(), &info), 0);
  EXPECT_NE(stat(dir.Path("out/000004_p_20.000000000.pcd").c_str(), &info), 0);

  // An empty cloud gives a PCD file without points (PCL warns about it).
  const RunResult empty = RunTool({"--pcd", dir.Path("out"), "--index", "5", "-n", "0", bag});
  EXPECT_EQ(empty.status, 0);
  pcl::PCLPointCloud2 none;
  EXPECT_EQ(pcl::PCDReader().read(dir.Path("out/000005_p_30.000000000.pcd"), none), 0);
  EXPECT_EQ(none.width * none.height, 0u);
  EXPECT_EQ(none.fields.size(), 6u);

  // A file that cannot be written mid-walk: one line, the report intact,
  // status 1 at the end.
  const std::string taken = dir.Path("out2/000001_p_11.000000000.pcd");
  ASSERT_EQ(system(("mkdir -p " + taken).c_str()), 0);
  const RunResult failed = RunTool({"--pcd", dir.Path("out2"), "-n", "0", "--index", ":3", bag});
  EXPECT_EQ(failed.out, RunTool({"-n", "0", "--index", ":3", bag}).out);
  EXPECT_EQ(failed.err, "bag_cloud_dump: cloud 1 on /p: no PCD file: cannot write '" + taken +
                            "': Is a directory\n");
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(ReadFile(dir.Path("out2/000002_p_12.000000000.pcd")).empty(), false);

  // A folder that cannot be made: one line, status 1, before the walk.
  WriteFile(dir.Path("file"), "x");
  const RunResult blocked = RunTool({"--pcd", dir.Path("file/sub"), bag});
  EXPECT_EQ(blocked.out, "");
  EXPECT_EQ(blocked.err, "bag_cloud_dump: no PCD files: cannot create '" + dir.Path("file/sub") +
                             "': Not a directory\n");
  EXPECT_EQ(blocked.status, 1);
}
