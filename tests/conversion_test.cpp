// What PCL's conversion leaves in each record, as the report shows it, and
// the warnings it prints for fields it cannot match.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "test_support.h"

using namespace test_support;
using cloud_builder::Field;
using cloud_builder::Put;
using sensor_msgs::PointField;

namespace {

const std::string kHeader = CloudLine(0, 7, "/points");

std::string Warning(const std::string& field) {
  return "Failed to find match for field '" + field + "'.\n";
}

RunResult DumpCloud(const sensor_msgs::PointCloud2& cloud) {
  ScratchDir dir;
  WriteBag(dir.Path("t.bag"),
           [&](rosbag::Bag& bag) { bag.write("/points", ros::Time(7, 0), cloud); });
  return RunTool({dir.Path("t.bag")});
}

sensor_msgs::PointCloud2 Cloud(const cloud_builder::Fields& fields, std::uint32_t point_step,
                               std::uint32_t width, std::uint32_t height = 1,
                               std::uint32_t row_step = 0) {
  auto cloud = cloud_builder::MakeCloud(fields, point_step, width, height, row_step);
  cloud.header.stamp = ros::Time(7, 0);
  return cloud;
}

// x, y, z, intensity at 0, 4, 8, 16 and time at 24, with distinctive bytes
// 0x34 0x12 where a ring would be.
void FillRecordPlaces(sensor_msgs::PointCloud2& cloud) {
  Put(cloud, 0, 0, 3.0f);
  Put(cloud, 0, 4, 4.0f);
  Put(cloud, 0, 8, -1.5f);
  Put(cloud, 0, 16, 99.0f);
  Put<std::uint16_t>(cloud, 0, 20, 0x1234);
  Put(cloud, 0, 24, 0.0625f);
}

const std::string kRecordPlacesLine =
    "     0      3.000      4.000     -1.500     99.000         0.0625000000   4660     36.870\n";

}  // namespace

TEST(Conversion, RecordLikeLayoutFillsEveryColumnWithoutWarnings) {
  auto cloud = Cloud(cloud_builder::RecordLayout(), 32, 1);
  FillRecordPlaces(cloud);
  const RunResult run = DumpCloud(cloud);
  EXPECT_EQ(run.out, kHeader + kRecordPlacesLine);
  EXPECT_EQ(run.err, "");
}

TEST(Conversion, PackedLayoutWithoutRingLeavesRingZeroAndWarns) {
  auto cloud = Cloud(cloud_builder::PackedLayoutWithoutRing(), 20, 1);
  Put(cloud, 0, 0, 1.0f);
  Put(cloud, 0, 4, 0.0f);
  Put(cloud, 0, 8, 2.0f);
  Put(cloud, 0, 12, 7.0f);
  Put(cloud, 0, 16, 0.5f);
  const RunResult dump = DumpCloud(cloud);
  EXPECT_EQ(dump.out, kHeader +
                          "     0      1.000      0.000      2.000      7.000         "
                          "0.5000000000      0     90.000\n");
  EXPECT_EQ(dump.err, Warning("ring"));
}

TEST(Conversion, UnmatchedRingInsideAMergedCopyTakesTheMessageBytes) {
  // Without a ring field, or with a ring of another width, x to time are still
  // copied as one block, so ring shows the message's bytes 20 and 21.
  const cloud_builder::Fields no_ring = {
      Field("x", 0, PointField::FLOAT32), Field("y", 4, PointField::FLOAT32),
      Field("z", 8, PointField::FLOAT32), Field("intensity", 16, PointField::FLOAT32),
      Field("time", 24, PointField::FLOAT32)};
  for (int ring_type : {0, int{PointField::UINT8}, int{PointField::UINT32}}) {
    SCOPED_TRACE(ring_type);
    cloud_builder::Fields fields = no_ring;
    if (ring_type != 0) fields.push_back(Field("ring", 20, static_cast<std::uint8_t>(ring_type)));
    auto cloud = Cloud(fields, 32, 1);
    FillRecordPlaces(cloud);
    const RunResult run = DumpCloud(cloud);
    EXPECT_EQ(run.out, kHeader + kRecordPlacesLine);
    EXPECT_EQ(run.err, Warning("ring"));
  }
}

TEST(Conversion, TimeOfAnotherTypeIsZeroAndWarns) {
  auto fields = cloud_builder::RecordLayout();
  fields[5] = Field("time", 24, PointField::FLOAT64);
  auto cloud = Cloud(fields, 32, 1);
  FillRecordPlaces(cloud);
  Put(cloud, 0, 24, 0.0625);
  const RunResult run = DumpCloud(cloud);
  EXPECT_EQ(run.out, kHeader +
                         "     0      3.000      4.000     -1.500     99.000         "
                         "0.0000000000   4660     36.870\n");
  EXPECT_EQ(run.err, Warning("time"));
}

TEST(Conversion, RowsWithPaddingAreReadFromTheirOwnStart) {
  // Two rows of two points, 16 bytes of padding after each row.
  auto cloud = Cloud(cloud_builder::RecordLayout(), 32, 2, 2, 80);
  for (std::uint32_t i = 0; i < 4; ++i) {
    cloud_builder::PutReturn(cloud, i, {0.0f, 1.0f + i, 0.0f, 0.0f, std::uint16_t(i), 0.0f});
  }
  for (std::size_t pad = 64; pad < 80; ++pad) cloud.data[pad] = cloud.data[80 + pad] = 0x7f;
  const RunResult run = DumpCloud(cloud);
  EXPECT_EQ(run.out, kHeader +
                         "     0      0.000      1.000      0.000      0.000         0.0000000000"
                         "      0      0.000\n"
                         "     1      0.000      2.000      0.000      0.000         0.0000000000"
                         "      1      0.000\n"
                         "     2      0.000      3.000      0.000      0.000         0.0000000000"
                         "      2      0.000\n"
                         "     3      0.000      4.000      0.000      0.000         0.0000000000"
                         "      3      0.000\n");
  EXPECT_EQ(run.err, "");
}

TEST(Conversion, ExtraFieldsAreIgnoredAndTheFirstOfTwoNamesWins) {
  auto fields = cloud_builder::RecordLayout();
  fields.insert(fields.begin(), Field("intensity", 28, PointField::FLOAT32));
  fields[0] = Field("reflectivity", 12, PointField::UINT16);
  fields.push_back(Field("intensity", 28, PointField::FLOAT32));
  auto cloud = Cloud(fields, 32, 1);
  FillRecordPlaces(cloud);
  Put<std::uint16_t>(cloud, 0, 12, 0xffff);
  Put(cloud, 0, 28, -5.0f);
  const RunResult run = DumpCloud(cloud);
  EXPECT_EQ(run.out, kHeader + kRecordPlacesLine);
  EXPECT_EQ(run.err, "");
}

TEST(Conversion, WarningsComeInFieldOrderBeforeTheirCloudsLine) {
  ScratchDir dir;
  WriteBag(dir.Path("t.bag"), [](rosbag::Bag& bag) {
    bag.write("/points", ros::Time(1, 0), NumberedCloud(1, ros::Time(1, 0)));
    auto bare = cloud_builder::MakeCloud({}, 8, 1);
    bare.header.stamp = ros::Time(2, 0);
    std::fill(bare.data.begin(), bare.data.end(), 0xab);
    bag.write("/points", ros::Time(2, 0), bare);
    auto packed = cloud_builder::MakeCloud(cloud_builder::PackedLayoutWithoutRing(), 20, 0);
    packed.header.stamp = ros::Time(3, 0);
    bag.write("/points", ros::Time(3, 0), packed);
  });
  const RunResult run = RunToolMerged({dir.Path("t.bag")});
  EXPECT_EQ(run.out, NumberedCloudReport(0, 1, "/points", 1) + Warning("x") + Warning("y") +
                         Warning("z") + Warning("intensity") + Warning("ring") + Warning("time") +
                         CloudLine(1, 2, "/points") +
                         "     0      0.000      0.000      0.000      0.000         0.0000000000"
                         "      0      0.000\n" +
                         Warning("ring") + CloudLine(2, 3, "/points"));
  EXPECT_EQ(run.status, 0);
}
