// Which messages become clouds, in what order, and what their header line says.
#include <gtest/gtest.h>
#include <sensor_msgs/Imu.h>
#include <std_msgs/String.h>

#include <boost/make_shared.hpp>

#include "test_support.h"

using namespace test_support;

namespace {

const char* const kCloudMd5 = "1158d486dd51d683ce2f1be655c3c181";

std_msgs::String Text(const std::string& text) {
  std_msgs::String message;
  message.data = text;
  return message;
}

// A connection header that records `type` and `md5` for whatever is written.
boost::shared_ptr<ros::M_string> Connection(const std::string& type, const std::string& md5) {
  auto header = boost::make_shared<ros::M_string>();
  (*header)["type"] = type;
  (*header)["md5sum"] = md5;
  (*header)["message_definition"] = ros::message_traits::definition<sensor_msgs::PointCloud2>();
  (*header)["callerid"] = "/recorder";
  return header;
}

RunResult DumpBag(
    const std::function<void(rosbag::Bag&)>& fill,
    rosbag::compression::CompressionType compression = rosbag::compression::Uncompressed) {
  ScratchDir dir;
  WriteBag(dir.Path("t.bag"), fill, compression);
  return RunTool({dir.Path("t.bag")});
}

}  // namespace

TEST(Selection, BagWithoutCloudsPrintsNothing) {
  const RunResult run = DumpBag([](rosbag::Bag& bag) {
    bag.write("/status", ros::Time(1, 0), Text("ok"));
    bag.write("/imu", ros::Time(2, 0), sensor_msgs::Imu());
  });
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);
}

TEST(Selection, CloudsAmongOtherTypesAreNumberedWithoutGaps) {
  const RunResult run = DumpBag([](rosbag::Bag& bag) {
    bag.write("/status", ros::Time(1, 0), Text("start"));
    bag.write("/points", ros::Time(2, 0), NumberedCloud(2, ros::Time(2, 0)));
    bag.write("/imu", ros::Time(3, 0), sensor_msgs::Imu());
    bag.write("/points", ros::Time(4, 0), NumberedCloud(1, ros::Time(4, 0)));
    bag.write("/status", ros::Time(5, 0), Text("middle"));
    bag.write("/points", ros::Time(6, 0), NumberedCloud(3, ros::Time(6, 0)));
  });
  EXPECT_EQ(run.out, NumberedCloudReport(0, 2, "/points", 2) +
                         NumberedCloudReport(1, 4, "/points", 1) +
                         NumberedCloudReport(2, 6, "/points", 3));
  EXPECT_EQ(run.status, 0);
}

TEST(Selection, TwoCloudTopicsShareOneIndexInRecordTimeOrder) {
  const RunResult run = DumpBag([](rosbag::Bag& bag) {
    // Written out of time order: the bag's index puts them back in order.
    bag.write("/front", ros::Time(3, 0), NumberedCloud(0, ros::Time(3, 0)));
    bag.write("/rear", ros::Time(1, 0), NumberedCloud(0, ros::Time(1, 0)));
    bag.write("/front", ros::Time(2, 0), NumberedCloud(0, ros::Time(2, 0)));
    bag.write("/rear", ros::Time(4, 0), NumberedCloud(0, ros::Time(4, 0)));
  });
  EXPECT_EQ(run.out, CloudLine(0, 1, "/rear") + CloudLine(1, 2, "/front") +
                         CloudLine(2, 3, "/front") + CloudLine(3, 4, "/rear"));
}

TEST(Selection, ConnectionsAreChosenByMd5SumNotTypeName) {
  const RunResult run = DumpBag([](rosbag::Bag& bag) {
    const auto cloud = NumberedCloud(0, ros::Time(1, 0));
    bag.write("/any", ros::Time(1, 0), cloud, Connection("sensor_msgs/PointCloud2", "*"));
    bag.write("/vendor", ros::Time(2, 0), cloud, Connection("acme_msgs/LidarScan", kCloudMd5));
    bag.write("/upper", ros::Time(3, 0), cloud,
              Connection("sensor_msgs/PointCloud2", "1158D486DD51D683CE2F1BE655C3C181"));
  });
  EXPECT_EQ(run.out, CloudLine(0, 1, "/vendor", "acme_msgs/LidarScan"));
  EXPECT_EQ(run.status, 0);
}

TEST(Selection, HeaderLineShowsTheMessageStampAndWholeNames) {
  const RunResult run = DumpBag([](rosbag::Bag& bag) {
    bag.write("/points", ros::Time(1700000000, 5),
              NumberedCloud(0, ros::Time(1699999999, 123456789)));
    bag.write("/a/very/long/topic/name/for/points", ros::Time(1700000001, 0),
              NumberedCloud(0, ros::Time(0, 0)));
  });
  EXPECT_EQ(run.out,
            "                   0      1699999999.1234567165  /points               "
            "sensor_msgs/PointCloud2\n"
            "                   1               0.0000000000  /a/very/long/topic/name/for/points  "
            "sensor_msgs/PointCloud2\n");
}

TEST(Selection, CloudWithoutPointsStillGetsItsLineAndIndex) {
  const RunResult run = DumpBag([](rosbag::Bag& bag) {
    bag.write("/points", ros::Time(1, 0), NumberedCloud(0, ros::Time(1, 0)));
    sensor_msgs::PointCloud2 wide_but_empty = NumberedCloud(0, ros::Time(2, 0));
    wide_but_empty.width = 10;
    wide_but_empty.height = 0;
    bag.write("/points", ros::Time(2, 0), wide_but_empty);
    bag.write("/points", ros::Time(3, 0), NumberedCloud(2, ros::Time(3, 0)));
  });
  EXPECT_EQ(run.out, CloudLine(0, 1, "/points") + CloudLine(1, 2, "/points") +
                         NumberedCloudReport(2, 3, "/points", 2));
}

TEST(Selection, CompressedBagsReadLikeUncompressedOnes) {
  const auto fill = [](rosbag::Bag& bag) {
    for (int i = 0; i < 4; ++i) {
      bag.write("/imu", ros::Time(10 + i, 0), sensor_msgs::Imu());
      bag.write("/points", ros::Time(10 + i, 1000),
                cloud_builder::MakeSweep(16, 100, ros::Time(10 + i, 0), i));
    }
  };
  const RunResult plain = DumpBag(fill);
  ASSERT_EQ(plain.status, 0);
  ASSERT_EQ(Lines(plain.out).size(), 4u * 21u);
  for (auto compression : {rosbag::compression::BZ2, rosbag::compression::LZ4}) {
    const RunResult packed = DumpBag(fill, compression);
    EXPECT_EQ(packed.out, plain.out);
    EXPECT_EQ(packed.err, "");
    EXPECT_EQ(packed.status, 0);
  }
}
