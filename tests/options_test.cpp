// Options for daily use; the plain `bag_cloud_dump BAG` stays as it was.
#include "test_support.h"

#include <gtest/gtest.h>

using namespace test_support;
using cloud_builder::Field;
using sensor_msgs::PointField;

namespace {

// Three topics, two clouds each, interleaved in time.
std::string WriteThreeTopics(const ScratchDir& dir) {
  const std::string path = dir.Path("three.bag");
  WriteBag(path, [](rosbag::Bag& bag) {
    int t = 1;
    for (int round = 0; round < 2; ++round) {
      for (const char* topic : {"/front", "/rear", "/top"}) {
        bag.write(topic, ros::Time(t, 0), NumberedCloud(1, ros::Time(t, 0)));
        ++t;
      }
    }
  });
  return path;
}

}  // namespace

TEST(Options, ParsingFollowsPosixConventions) {
  ScratchDir dir;
  const std::string dashed = dir.Path("-odd.bag");
  WriteBag(dashed, [](rosbag::Bag& bag) {
    bag.write("/p", ros::Time(1, 0), NumberedCloud(2, ros::Time(1, 0)));
  });
  const std::string report = NumberedCloudReport(0, 1, "/p", 2);

  RunResult run = RunTool({"--", dashed});
  EXPECT_EQ(run.out, report);
  EXPECT_EQ(run.status, 0);
  run = RunTool({"-n", "1", "--", dashed, "--all", "-x"});  // after the bag: ignored
  EXPECT_EQ(Lines(run.out).size(), 3u);
  EXPECT_EQ(run.status, 0);

  const std::vector<std::pair<std::vector<std::string>, std::string>> errors = {
      {{"--bogus", dashed}, "bag_cloud_dump: unknown option '--bogus'; see --help\n"},
      {{"-q", dashed}, "bag_cloud_dump: unknown option '-q'; see --help\n"},
      {{"-t"}, "bag_cloud_dump: option '-t' needs a value; see --help\n"},
      {{"--samples"}, "bag_cloud_dump: option '--samples' needs a value; see --help\n"},
      {{"--all=yes", dashed}, "bag_cloud_dump: option '--all' takes no value; see --help\n"},
      {{"-n", "-1", dashed},
       "bag_cloud_dump: --samples takes a whole number from 0, not '-1'; see --help\n"},
      {{"-l"}, "bag_cloud_dump: no bag file given; see --help\n"},
  };
  for (const auto& [args, message] : errors) {
    run = RunTool(args);
    EXPECT_EQ(run.err, message);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.status, 2);
  }

  run = RunTool({"--help", "ignored.bag"});
  EXPECT_EQ(run.status, 0);
  for (const char* option : {"--topic", "--samples", "--all", "--layout", "--version", "--"}) {
    EXPECT_NE(run.out.find(option), std::string::npos) << option;
  }
  run = RunTool({"-V"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind("bag_cloud_dump ", 0), 0u);
  EXPECT_NE(run.out.find("rosbag_storage 1."), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("PCL 1."), std::string::npos) << run.out;
}

TEST(Options, TopicFilterReadsOnlyTheRequestedTopics) {
  ScratchDir dir;
  const std::string bag = WriteThreeTopics(dir);

  RunResult run = RunTool({"-t", "/rear", bag});
  EXPECT_EQ(run.out, NumberedCloudReport(0, 2, "/rear", 1) + NumberedCloudReport(1, 5, "/rear", 1));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);

  run = RunTool({"--topic", "/top", "--topic=/front", bag});
  EXPECT_EQ(run.out, NumberedCloudReport(0, 1, "/front", 1) + NumberedCloudReport(1, 3, "/top", 1) +
                         NumberedCloudReport(2, 4, "/front", 1) +
                         NumberedCloudReport(3, 6, "/top", 1));
  EXPECT_EQ(run.status, 0);

  const std::string missing = "bag_cloud_dump: no point clouds on topic '/side' in '" + bag +
                              "'; its cloud topics: /front, /rear, /top\n";
  run = RunTool({"-t", "/side", "-t", "/rear", bag});
  EXPECT_EQ(run.out, NumberedCloudReport(0, 2, "/rear", 1) + NumberedCloudReport(1, 5, "/rear", 1));
  EXPECT_EQ(run.err, missing);
  EXPECT_EQ(run.status, 0);

  run = RunTool({"-t", "/side", bag});
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, missing);
  EXPECT_EQ(run.status, 1);
}

TEST(Options, SampleCountAndAllPoints) {
  ScratchDir dir;
  const std::string bag = dir.Path("t.bag");
  WriteBag(bag, [](rosbag::Bag& bag) {
    bag.write("/p", ros::Time(1, 0), NumberedCloud(5, ros::Time(1, 0)));
    bag.write("/p", ros::Time(2, 0), NumberedCloud(100, ros::Time(2, 0)));
  });
  const auto indices = [](const std::string& out) {
    std::string seen;
    for (const std::string& line : Lines(out)) {
      seen += line.compare(0, 14, std::string(14, ' ')) == 0
                  ? "|"
                  : std::to_string(std::stoi(line)) + " ";
    }
    return seen;
  };
  EXPECT_EQ(indices(RunTool({"-n", "0", bag}).out), "||");
  EXPECT_EQ(indices(RunTool({"-n", "3", bag}).out), "|0 1 2 3 4 |0 1 2 97 98 99 ");
  EXPECT_EQ(indices(RunTool({"--samples=50", bag}).out).size(),
            indices(RunTool({"--all", bag}).out).size());
  const RunResult all = RunTool({"-a", bag});
  EXPECT_EQ(Lines(all.out).size(), 2u + 5u + 100u);
  EXPECT_EQ(Lines(all.out)[57].substr(0, 6), "    50");
}

TEST(Options, LayoutShowsHowEachMemberIsFilled) {
  ScratchDir dir;
  const std::string bag = dir.Path("t.bag");
  auto gap = cloud_builder::RecordLayout();
  gap.erase(gap.begin() + 4);  // no ring: bytes 20-21 ride along with the copy
  const cloud_builder::Fields packed = cloud_builder::PackedLayoutWithoutRing();
  WriteBag(bag, [&](rosbag::Bag& bag) {
    auto cloud = cloud_builder::MakeCloud(gap, 32, 1);
    cloud.header.stamp = ros::Time(1, 0);
    bag.write("/a", ros::Time(1, 0), cloud);
    cloud.header.stamp = ros::Time(2, 0);
    bag.write("/a", ros::Time(2, 0), cloud);  // same layout: no new block
    auto other = cloud_builder::MakeCloud(packed, 20, 2);
    other.header.stamp = ros::Time(3, 0);
    bag.write("/a", ros::Time(3, 0), other);  // changed: a new block
  });
  const std::string zero_point =
      "     0      0.000      0.000      0.000      0.000         0.0000000000      0      0.000\n";
  const RunResult run = RunTool({"--layout", bag});
  EXPECT_EQ(run.out,
            "# layout of /a from cloud 0\n"
            "#   field 'x' at offset 0, FLOAT32, count 1\n"
            "#   field 'y' at offset 4, FLOAT32, count 1\n"
            "#   field 'z' at offset 8, FLOAT32, count 1\n"
            "#   field 'intensity' at offset 16, FLOAT32, count 1\n"
            "#   field 'time' at offset 24, FLOAT32, count 1\n"
            "#   point_step 32, row_step 32, width x height 1 x 1, is_bigendian 0, is_dense 1\n"
            "#   x         <- field 'x' at offset 0\n"
            "#   y         <- field 'y' at offset 4\n"
            "#   z         <- field 'z' at offset 8\n"
            "#   intensity <- field 'intensity' at offset 16\n"
            "#   ring      <- not matched, yet filled with bytes 20-21 of each point (inside a "
            "merged copy)\n"
            "#   time      <- field 'time' at offset 24\n" +
                CloudLine(0, 1, "/a") + zero_point + CloudLine(1, 2, "/a") + zero_point +
                "# layout of /a from cloud 2\n"
                "#   field 'x' at offset 0, FLOAT32, count 1\n"
                "#   field 'y' at offset 4, FLOAT32, count 1\n"
                "#   field 'z' at offset 8, FLOAT32, count 1\n"
                "#   field 'intensity' at offset 12, FLOAT32, count 1\n"
                "#   field 'time' at offset 16, FLOAT32, count 1\n"
                "#   point_step 20, row_step 40, width x height 2 x 1, is_bigendian 0, is_dense "
                "1\n"
                "#   x         <- field 'x' at offset 0\n"
                "#   y         <- field 'y' at offset 4\n"
                "#   z         <- field 'z' at offset 8\n"
                "#   intensity <- field 'intensity' at offset 12\n"
                "#   ring      <- not matched, zero\n"
                "#   time      <- field 'time' at offset 16\n" +
                CloudLine(2, 3, "/a") + zero_point +
                "     1      0.000      0.000      0.000      0.000         0.0000000000      0 "
                "     0.000\n");
  EXPECT_EQ(run.status, 0);
}
