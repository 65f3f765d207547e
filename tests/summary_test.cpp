// The health summary, end to end: bags written here, the JSON parsed back.
#include <gtest/gtest.h>
#include <sensor_msgs/Imu.h>
#include <std_msgs/String.h>

#include <cmath>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>

#include "summary_support.h"

using namespace summary_support;
using cloud_builder::Field;
using nlohmann::json;
using sensor_msgs::PointField;

TEST(Summary, StampsGapsAndLatency) {
  struct Case {
    const char* what;
    std::vector<double> stamps;  // recorded one a tenth of a second, `late` after the first
    json expected;               // part of "stamps"
    std::vector<std::string> codes;
    double late = 0.01;
  };
  const std::vector<Case> cases = {
      {"a dropped sweep",
       {0, 0.1, 0.2, 0.4, 0.5},
       {{"gaps", 1}, {"gap_indices", {3}}, {"period_median", 0.1}, {"backward", 0}},
       {"stamp-gaps"}},
      {"a stamp going back",
       {0, 0.1, 0.05, 0.15, 0.25},
       {{"backward", 1}, {"gaps", 0}},
       {"stamp-backward", "sweeps-overlap"}},
      {"a repeated stamp",
       {0, 0.1, 0.1, 0.2},
       {{"repeated", 1}, {"period_median", 0.1}},
       {"repeated-clouds", "stamp-repeated", "sweeps-overlap"}},
      {"one cloud", {0}, {{"period_median", nullptr}, {"rate_hz", nullptr}, {"gaps", 0}}, {}},
      {"stamped by another clock", {0, 0.1, 0.2}, {{"rate_hz", 10.0}}, {"clock-offset"}, 3.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<Written> clouds;
    for (std::size_t i = 0; i < c.stamps.size(); ++i) {
      clouds.push_back(
          {"/p", 1000 + 0.1 * i + c.late, MakeCloud(CloudRecipe(), 1000 + c.stamps[i])});
    }
    const Summary s = Summarize(clouds);
    ASSERT_EQ(s.run.status, 0) << s.run.err;
    const json& topic = s.document["topics"][0];
    ExpectSubset(topic["stamps"], c.expected);
    // The first cloud's latency is `late`; the others differ by their stamps.
    EXPECT_LE(topic["latency"]["min"].get<double>(), c.late + 1e-9);
    EXPECT_GE(topic["latency"]["max"].get<double>(), c.late - 1e-9);
    EXPECT_EQ(Codes(topic), c.codes);
  }
}

TEST(Summary, AStampWhoseNanosecondsOverflowIsSummarizedNotFatal) {
  // A damaged header: nsec far above a second, on top of the largest sec.
  auto cloud = MakeCloud(CloudRecipe(), 0);
  cloud.header.stamp.sec = 4294967295u;
  cloud.header.stamp.nsec = 4294967295u;
  const Summary s = Summarize({{"/p", 1000, cloud}});
  ASSERT_EQ(s.run.status, 0) << s.run.err;
  EXPECT_DOUBLE_EQ(s.document["topics"][0]["stamps"]["first"].get<double>(),
                   4294967295.0 + 4.294967295);
}

TEST(Summary, ARangeTooLargeToSquareIsSummarizedNotFatal) {
  using cloud_builder::Field;
  CloudRecipe recipe;
  recipe.layout = {Field("x", 0, PointField::FLOAT64), Field("y", 8, PointField::FLOAT64),
                   Field("z", 16, PointField::FLOAT64)};
  recipe.point_step = 24;
  recipe.points = 2;
  recipe.fill = [](std::uint32_t i) { return Values{{"x", i == 0 ? 2.0 : 1e200}}; };
  ScratchDir dir;
  WriteBag(dir.Path("t.bag"),
           [&](rosbag::Bag& bag) { bag.write("/p", ros::Time(1000), MakeCloud(recipe, 1000)); });
  const RunResult json_run = RunTool({"--json", "-", dir.Path("t.bag")});
  ASSERT_EQ(json_run.status, 0) << json_run.err;
  EXPECT_EQ(json::parse(json_run.out)["topics"][0]["range"],
            json({{"min", 2.0}, {"max", nullptr}}));
  const RunResult text_run = RunTool({"-n", "0", "-s", dir.Path("t.bag")});
  EXPECT_EQ(text_run.status, 0);
  EXPECT_NE(text_run.out.find("#   range      2.000 m to over 1e154 m\n"), std::string::npos)
      << text_run.out;
}

TEST(Summary, InvalidPointsAndDenseFlag) {
  const auto with = [](std::function<void(std::uint32_t, Values&)> change) {
    return [change](std::uint32_t i) {
      Values v = Sweep(i);
      change(i, v);
      return v;
    };
  };
  struct Case {
    const char* what;
    CloudRecipe recipe;
    bool dense;
    json expected;  // part of "invalid"
    std::vector<std::string> codes;
  };
  const std::vector<Case> cases = {
      {"NaN under is_dense 1",
       Filled(with([](std::uint32_t i, Values& v) { v["x"] = i == 2 ? kNaN : v["x"]; })),
       true,
       {{"nonfinite_points", 10}, {"dense_flag_wrong", 10}, {"dense_flag_false", 0}},
       {"nonfinite-points", "dense-flag-wrong"}},
      {"is_dense 0 without NaN",
       {},
       false,
       {{"nonfinite_points", 0}, {"dense_flag_false", 10}},
       {"not-dense"}},
      {"no-return points at the origin",
       Filled(with([](std::uint32_t i, Values& v) {
         if (i == 0) v["x"] = v["y"] = 0;
       })),
       true,
       {{"zero_points", 10}, {"nonfinite_points", 0}},
       {"zero-points"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<Written> clouds = TenSweeps(c.recipe);
    for (Written& w : clouds) w.cloud.is_dense = c.dense;
    const json topic = Summarize(clouds).document["topics"][0];
    ExpectSubset(topic["invalid"], c.expected);
    EXPECT_EQ(Codes(topic), c.codes);
  }
  // Range over the finite points away from the origin: points 1 to 3 of (i + 1, 1, 0).
  const json topic = Summarize(TenSweeps(Filled(with([](std::uint32_t i, Values& v) {
                       if (i == 0) v["x"] = v["y"] = 0;
                     }))))
                         .document["topics"][0];
  EXPECT_EQ(topic["range"]["min"], std::sqrt(5.0));
  EXPECT_EQ(topic["range"]["max"], std::sqrt(17.0));
}

TEST(Summary, RingFieldsByNameAndType) {
  struct Case {
    const char* what;
    cloud_builder::Fields layout;
    std::function<Values(std::uint32_t)> fill;
    json ring;  // part of "ring", or null
    std::vector<std::string> codes;
  };
  const auto ring_as = [](const char* name, std::uint8_t datatype) {
    auto layout = cloud_builder::RecordLayout();
    layout[4] = Field(name, 20, datatype);
    return layout;
  };
  const auto rings = [](std::vector<double> numbers, const char* name = "ring") {
    return [numbers, name](std::uint32_t i) {
      Values v = Sweep(i);
      v.erase("ring");
      v[name] = numbers[i % numbers.size()];
      return v;
    };
  };
  const std::vector<Case> cases = {
      {"a dead ring",
       ring_as("ring", PointField::UINT16),
       rings({0, 1, 3, 4}),
       {{"min", 0}, {"max", 4}, {"distinct", 4}, {"missing", {2}}, {"missing_count", 1}},
       {"missing-rings"}},
      {"'line' as UINT8",
       ring_as("line", PointField::UINT8),
       rings({0, 1, 2, 3}, "line"),
       {{"field", "line"}, {"datatype", "UINT8"}, {"distinct", 4}, {"missing_count", 0}},
       {"unmatched"}},
      {"'laser_id' as UINT32",
       ring_as("laser_id", PointField::UINT32),
       rings({70000, 70001, 70003, 70002}, "laser_id"),
       {{"field", "laser_id"}, {"min", 70000}, {"max", 70003}, {"missing_count", 0}},
       {"unmatched"}},
      {"float rings, truncated",
       ring_as("ring", PointField::FLOAT32),
       rings({0.9, 1.5, -0.5, 7}),
       {{"min", 0}, {"max", 7}, {"distinct", 3}, {"missing", nullptr}},
       {"unmatched"}},
      {"'ring' first, even when 'channel' is there",
       {Field("x", 0, 7), Field("y", 4, 7), Field("z", 8, 7), Field("channel", 12, 2),
        Field("ring", 20, 4), Field("time", 24, 7)},
       rings({5, 6}),
       {{"field", "ring"}, {"min", 5}, {"max", 6}},
       {"unmatched"}},
      {"an unreadable 'ring' hides 'channel'",
       {Field("x", 0, 7), Field("y", 4, 7), Field("z", 8, 7), Field("ring", 20, 99),
        Field("channel", 12, 2), Field("time", 24, 7)},
       [](std::uint32_t i) {
         return Values{{"x", 1}, {"channel", double(i)}, {"time", 0}};
       },
       nullptr,
       {"unmatched", "no-ring", "time-zero", "time-unit"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const json topic = Summarize(TenSweeps({c.layout, 32, 4, c.fill})).document["topics"][0];
    if (c.ring.is_null()) {
      EXPECT_TRUE(topic["ring"].is_null()) << topic["ring"];
    } else {
      ExpectSubset(topic["ring"], c.ring);
    }
    EXPECT_EQ(Codes(topic), c.codes);
  }
}

TEST(Summary, PerPointTimeUnits) {
  struct Case {
    const char* what;
    std::uint8_t datatype;
    double scale, offset;  // time = offset + scale x seconds into the sweep
    json time;
    std::vector<std::string> codes;
  };
  const std::vector<Case> cases = {
      {"float seconds", PointField::FLOAT32, 1, 0, {{"unit", "s"}, {"relative", true}}, {}},
      {"UINT32 nanoseconds",
       PointField::UINT32,
       1e9,
       0,
       {{"unit", "ns"}, {"relative", true}, {"max", 75000000}, {"span_median", 75000000}},
       {"unmatched", "time-unit"}},
      {"float microseconds",
       PointField::FLOAT32,
       1e6,
       0,
       {{"unit", "us"}, {"relative", true}},
       {"time-unit"}},
      {"absolute FLOAT64 seconds",
       PointField::FLOAT64,
       1,
       1.7e9,
       {{"unit", "s"}, {"relative", false}, {"min", 1.7e9}},
       {"repeated-clouds", "unmatched", "sweeps-overlap", "time-absolute", "stamp-outside-sweep"}},
      {"all zero",
       PointField::FLOAT32,
       0,
       0,
       {{"unit", "unknown"}, {"relative", nullptr}, {"zero_clouds", 10}, {"span_median", 0}},
       {"time-zero", "time-unit"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto layout = cloud_builder::RecordLayout();
    layout[5] = Field("time", 24, c.datatype);
    const CloudRecipe recipe{layout, 32, 4, [&c](std::uint32_t i) {
                               Values v = Sweep(i);
                               v["time"] = c.offset + c.scale * v["time"];
                               return v;
                             }};
    const json topic = Summarize(TenSweeps(recipe)).document["topics"][0];
    ExpectSubset(topic["time"], c.time);
    EXPECT_EQ(Codes(topic), c.codes);
  }
}

TEST(Summary, FieldsPastThePointAreAbsentAndMalformedCloudsAreCounted) {
  // intensity's four bytes would end at 34 of a 32-byte point; PCL does not
  // take it (INT32), so the cloud is well formed, yet the field is not read.
  cloud_builder::Fields layout = cloud_builder::RecordLayout();
  layout[3] = Field("intensity", 30, PointField::INT32);
  std::vector<Written> clouds = TenSweeps({layout, 32, 4, [](std::uint32_t i) {
                                             Values v = Sweep(i);
                                             v.erase("intensity");
                                             return v;
                                           }});
  clouds[3].cloud.data.resize(10);                     // malformed
  clouds[5].cloud.width = clouds[5].cloud.height = 0;  // empty
  clouds[5].cloud.data.clear();
  clouds[7].cloud.is_dense = false;  // malformed clouds still count for is_dense 0
  clouds[3].cloud.is_dense = false;
  const json topic = Summarize(clouds).document["topics"][0];
  EXPECT_TRUE(topic["intensity"].is_null());
  EXPECT_EQ(topic["malformed"], 1);
  ExpectSubset(topic["points"], {{"total", 32}, {"min", 0}, {"max", 4}, {"empty_clouds", 1}});
  EXPECT_EQ(topic["invalid"]["dense_flag_false"], 2);
  EXPECT_EQ(topic["stamps"]["gaps"], 0);  // malformed clouds' stamps count too
  // No padding to tell the clouds apart: they repeat.
  EXPECT_EQ(Codes(topic), (std::vector<std::string>{"malformed", "empty-clouds", "repeated-clouds",
                                                    "not-dense", "unmatched"}));
}

TEST(Summary, TopicsInOrderOfFirstCloudLayoutsAndOtherTopics) {
  std::vector<Written> clouds;
  const CloudRecipe packed{cloud_builder::PackedLayoutWithoutRing(),
                           cloud_builder::kPackedPointStep, 3, Sweep};
  for (int i = 0; i < 6; ++i) {
    clouds.push_back({"/rear", 10 + i * 0.1 + 0.05, MakeCloud(CloudRecipe(), 10 + i * 0.1)});
    clouds.push_back(
        {"/front", 10 + i * 0.1 + 0.07, MakeCloud(i < 3 ? CloudRecipe() : packed, 10 + i * 0.1)});
  }
  ScratchDir dir;
  const std::string bag = dir.Path("t.bag");
  WriteBag(bag, [&](rosbag::Bag& b) {
    for (const Written& w : clouds) b.write(w.topic, ros::Time(w.recorded), w.cloud);
    b.write("/imu", ros::Time(11), sensor_msgs::Imu());
    b.write("/imu", ros::Time(12), sensor_msgs::Imu());
  });
  const json document = json::parse(RunTool({"--json", "-", bag}).out);
  EXPECT_EQ(document["clouds"], 12);
  EXPECT_EQ(document["complete"], true);
  ASSERT_EQ(document["topics"].size(), 2u);
  const json& rear = document["topics"][0];
  const json& front = document["topics"][1];
  ExpectSubset(
      rear,
      {{"topic", "/rear"}, {"clouds", 6}, {"first_index", 0}, {"last_index", 10}, {"layouts", 1}});
  ExpectSubset(front, {{"topic", "/front"},
                       {"first_index", 1},
                       {"last_index", 11},
                       {"layouts", 2},
                       {"unmatched", json::array()}});
  EXPECT_EQ(front["fields"][4],
            json({{"name", "ring"}, {"offset", 20}, {"datatype", "UINT16"}, {"count", 1}}));
  EXPECT_EQ(Codes(front), (std::vector<std::string>{"repeated-clouds", "layout-changes"}));
  EXPECT_EQ(document["other_topics"],
            json::parse(R"([{"topic": "/imu", "type": "sensor_msgs/Imu", "messages": 2}])"));

  // With -t the other topics are still the whole bag's.
  const json rear_only = json::parse(RunTool({"--json", "-", "-t", "/rear", bag}).out);
  EXPECT_EQ(rear_only["clouds"], 6);
  EXPECT_EQ(rear_only["topics"].size(), 1u);
  EXPECT_EQ(rear_only["other_topics"], document["other_topics"]);
}

TEST(Summary, TextBlockFollowsTheReport) {
  std::vector<Written> clouds = TenSweeps();
  clouds.erase(clouds.begin() + 4);  // a dropped sweep
  ScratchDir dir;
  const std::string bag = dir.Path("t.bag");
  WriteBag(bag, [&](rosbag::Bag& b) {
    for (const Written& w : clouds) b.write(w.topic, ros::Time(w.recorded), w.cloud);
  });
  const RunResult run = RunTool({"-s", "-n", "0", bag});
  std::string report;
  for (int i = 0; i < 9; ++i) report += CloudLine(i, clouds[i].cloud.header.stamp.toSec(), "/p");
  EXPECT_EQ(
      run.out,
      report +
          "# summary of /p (lidar): 9 clouds (0 to 8), sensor_msgs/PointCloud2, frame 'lidar'\n"
          "#   points     36 in all, 4 to 4 a cloud; 0 empty, 0 malformed\n"
          "#   fields     x y z intensity ring time; 1 layout, 0 organized, 0 big-endian\n"
          "#   stamps     100.000 to 100.900 s, 10.000 Hz (period 100.000 ms)\n"
          "#   gaps       1 over 1.5 periods, 0 backward, 0 repeated, jitter 0.000 ms\n"
          "#   latency    10.000 ms median, 10.000 to 10.000 ms (record time minus stamp)\n"
          "#   invalid    0 non-finite points, 0 at the origin; is_dense 0 in 0 clouds, "
          "wrongly 1 in 0\n"
          "#   range      1.414 to 4.123 m\n"
          "#   sweep      4° median (4° to 4°), 4 valid points median; 0 partial sweeps, largest "
          "gap 329°\n"
          "#              (cloud 0)\n"
          "#   ring       'ring' UINT16, 0 to 3, 4 distinct, none missing\n"
          "#   time       'time' FLOAT32, 0 to 0.075, sweep span 0.075: s, relative; all 0 in 0 "
          "clouds; stamp\n"
          "#              at the sweep's start\n"
          "#   intensity  'intensity' FLOAT32, 0 to 3\n"
          "#   consumers  works as is: LIO-SAM (velodyne, livox), FAST-LIO (velodyne), "
          "cartographer, KISS-ICP,\n"
          "#              LeGO-LOAM, A-LOAM\n"
          "#              LIO-SAM (ouster): ring is UINT16, needs UINT8; no 't' UINT32\n"
          "#              FAST-LIO (ouster): no 't' UINT32\n"
          "#              Autoware (PointXYZIRCAEDT): intensity is FLOAT32, needs UINT8; no "
          "'return_type'\n"
          "#              UINT8; no 'channel' UINT16; no 'azimuth' FLOAT32; no 'elevation' "
          "FLOAT32; no\n"
          "#              'distance' FLOAT32; no 'time_stamp' UINT32; stops: the fields are not "
          "its\n"
          "#              PointXYZIRCAEDT layout\n"
          "#   frame      'lidar' not in TF; 0 empty, 0 with '/'\n"
          "#   problem    stamp-gaps: 1 stamp gap longer than 1.5 x the 100.000 ms period, "
          "the first before\n"
          "#              cloud 4: dropped sweeps or a stalled driver\n"
          "# no TF in this recording: a consumer needs the lidar's mounting from elsewhere\n"
          "# no IMU in this recording: lidar-inertial stacks cannot run on it\n");
  for (const std::string& line : Lines(run.out)) EXPECT_LE(line.size(), 100u) << line;
  EXPECT_EQ(run.status, 0);
}

TEST(Summary, BagWithoutCloudsSaysWhatItHolds) {
  ScratchDir dir;
  const std::string bag = dir.Path("t.bag");
  WriteBag(bag, [](rosbag::Bag& b) {
    for (int i = 1; i <= 3; ++i) b.write("/imu", ros::Time(i), sensor_msgs::Imu());
    std_msgs::String text;
    b.write("/status", ros::Time(2), text);
  });
  const RunResult run = RunTool({"-s", bag});
  EXPECT_EQ(run.out, "# no point clouds in '" + bag +
                         "'; its other topics: /imu (sensor_msgs/Imu, 3 messages), /status "
                         "(std_msgs/String, 1 message)\n");
  EXPECT_EQ(run.status, 0);
  const json document = json::parse(RunTool({"--json", "-", bag}).out);
  EXPECT_EQ(document["clouds"], 0);
  EXPECT_EQ(document["topics"], json::array());
  EXPECT_EQ(document["other_topics"].size(), 2u);
}

TEST(Summary, FailOnSetsTheExitStatus) {
  ScratchDir dir;
  const std::string bag = dir.Path("t.bag");
  std::vector<Written> clouds = TenSweeps();
  for (Written& w : clouds) w.cloud.is_dense = false;
  WriteBag(bag, [&](rosbag::Bag& b) {
    for (const Written& w : clouds) b.write(w.topic, ros::Time(w.recorded), w.cloud);
  });
  const std::string report = RunTool({bag}).out;
  const std::vector<std::pair<std::vector<std::string>, int>> cases = {
      {{"--fail-on", "not-dense"}, 3},
      {{"--fail-on", "any"}, 3},
      {{"--fail-on", "stamp-gaps,no-ring"}, 0},
      {{"--fail-on", "stamp-gaps,not-dense"}, 3},
  };
  for (const auto& [args, status] : cases) {
    std::vector<std::string> argv = args;
    argv.push_back(bag);
    const RunResult run = RunTool(argv);
    EXPECT_EQ(run.status, status) << args[1];
    EXPECT_EQ(run.out, report);  // --fail-on alone prints nothing more
  }
  const RunResult unknown = RunTool({"--fail-on", "not-dense,gaps", bag});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(unknown.out, "");
  EXPECT_EQ(unknown.err.rfind("bag_cloud_dump: --fail-on takes problem codes, not 'gaps'; valid "
                              "codes: any, malformed, empty-clouds, repeated-clouds, stamp-gaps,",
                              0),
            0u)
      << unknown.err;
  // A failed read wins over the problems.
  EXPECT_EQ(RunTool({"--fail-on", "any", dir.Path("missing.bag")}).status, 1);
}

TEST(Summary, JsonFileAndItsFailures) {
  ScratchDir dir;
  const std::string bag = dir.Path("t.bag");
  WriteBag(bag, [&](rosbag::Bag& b) {
    for (const Written& w : TenSweeps()) b.write(w.topic, ros::Time(w.recorded), w.cloud);
  });
  const RunResult plain = RunTool({bag});
  RunResult run = RunTool({"--json", dir.Path("s.json"), bag});
  EXPECT_EQ(run.out, plain.out);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(json::parse(ReadFile(dir.Path("s.json")))["bag"], bag);

  const std::string unwritable = dir.Path("no/such/folder/s.json");
  run = RunTool({"--json", unwritable, bag});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind("bag_cloud_dump: cannot write the summary to '" + unwritable + "': ", 0),
            0u)
      << run.err;

  // With the JSON on stdout, an open failure goes to stderr.
  run = RunTool({"--json", "-", dir.Path("missing.bag")});
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind(" Bag file open failed, " + dir.Path("missing.bag"), 0), 0u);
  EXPECT_EQ(run.status, 1);
}

TEST(Summary, DamagedBagGivesAnIncompleteSummary) {
  ScratchDir dir;
  const std::string path = dir.Path("t.bag");
  WriteBag(path, [](rosbag::Bag& bag) {
    for (int i = 0; i < 3; ++i)
      bag.write("/points", ros::Time(1 + i, 0), NumberedCloud(2, ros::Time(1 + i, 0)));
  });
  std::string bytes = ReadFile(path);
  const std::string frame_id("\x05\0\0\0lidar", 9);
  bytes.replace(bytes.find(frame_id, bytes.find(frame_id) + 1), 4, "\xff\xff\xff\x7f");
  WriteFile(path, bytes);

  const RunResult run = RunTool({"--json", "-", "--fail-on", "any", path});
  EXPECT_EQ(run.status, 1);
  const json document = json::parse(run.out);
  EXPECT_EQ(document["complete"], false);
  EXPECT_EQ(document["clouds"], 1);
  EXPECT_EQ(document["topics"][0]["clouds"], 1);
  const std::string text = RunTool({"-s", path}).out;
  EXPECT_EQ(text.rfind(NumberedCloudReport(0, 1, "/points", 2) +
                           "# the walk stopped on a damaged message: this covers the 1 cloud "
                           "before it\n# summary of /points (lidar): 1 cloud (0 to 0)",
                       0),
            0u)
      << text;
}

TEST(Summary, ZeroStampsAreOneProblemNotFour) {
  struct Case {
    const char* what;
    std::vector<double> stamps;  // 0: never set; recorded at 1000 + 0.1 i + 0.01
    json stamps_expected;
    json latency_median;
    std::vector<std::string> codes;
  };
  const std::vector<Case> cases = {
      {"every stamp zero",
       {0, 0, 0, 0},
       {{"zero", 4},
        {"first", 0.0},
        {"period_median", nullptr},
        {"rate_hz", nullptr},
        {"gaps", 0},
        {"backward", 0},
        {"repeated", 0}},
       nullptr,
       {"stamp-zero", "unmatched"}},
      {"zeros among good stamps are skipped",
       {0, 1000.1, 1000.2, 0, 1000.4, 1000.5},
       {{"zero", 2},
        {"first", 0.0},
        {"last", 1000.5},
        {"period_median", 0.1},
        {"backward", 0},
        {"repeated", 0},
        {"gaps", 1},
        {"gap_indices", {4}}},
       0.01,
       {"stamp-gaps", "stamp-zero", "unmatched"}},
      {"a gap across a zeroed sweep is listed at the later good cloud",
       {1000, 1000.1, 0, 1000.3, 1000.4, 1000.5},
       {{"zero", 1}, {"gaps", 1}, {"gap_indices", {3}}, {"period_median", 0.1}},
       0.01,
       {"stamp-gaps", "stamp-zero", "unmatched"}},
  };
  const CloudRecipe radar = RecipeOf(
      LayoutOf({{"x", kF32}, {"y", kF32}, {"z", kF32}, {"vrad", kF32}, {"amplitude", kF32}}));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<Written> clouds;
    for (std::size_t i = 0; i < c.stamps.size(); ++i) {
      clouds.push_back({"/radar", 1000 + 0.1 * i + 0.01, MakeCloud(radar, c.stamps[i])});
    }
    const json topic = Summarize(clouds).document["topics"][0];
    ExpectSubset(topic["stamps"], c.stamps_expected);
    if (c.latency_median.is_null()) {
      EXPECT_EQ(topic["latency"], json({{"min", nullptr}, {"median", nullptr}, {"max", nullptr}}));
    } else {
      EXPECT_NEAR(topic["latency"]["median"].get<double>(), c.latency_median.get<double>(), 1e-6);
    }
    EXPECT_EQ(topic["kind"], "radar");
    EXPECT_EQ(Codes(topic), c.codes);
  }
  ScratchDir dir;
  WriteBag(dir.Path("t.bag"), [&](rosbag::Bag& bag) {
    for (int i = 0; i < 3; ++i) bag.write("/radar", ros::Time(1000 + i), MakeCloud(radar, 0));
  });
  const std::string text = RunTool({"-s", "-n", "0", dir.Path("t.bag")}).out;
  for (const char* line :
       {"# summary of /radar (radar): 3 clouds (0 to 2)",
        "\n#   stamps     0.000 to 0.000 s, no period, 3 stamps 0\n",
        "\n#   latency    none: no cloud has a stamp\n",
        "\n#   problem    stamp-zero: 3 clouds with header.stamp 0: the driver never set "
        "header.stamp: TF\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
  }
}

TEST(Summary, PerPointTimeInSecondsAndNanosecondsFields) {
  const auto pair_layout = [](const char* base, std::uint8_t sec, std::uint8_t nsec) {
    const std::string b = base;
    auto layout = LayoutOf({{"x", kF32}, {"y", kF32}, {"z", kF32}, {"intensity", kF32}});
    layout.push_back(Field(b + "_sec", 16, sec));
    layout.push_back(Field(b + "_nsec", 20, nsec));
    return layout;
  };
  // Point i at sec + i x 25 ms.
  const auto at = [](const char* base, double sec) {
    return [base, sec](std::uint32_t i) {
      const std::string b = base;
      return Values{{"x", i + 1.0}, {"y", 1}, {b + "_sec", sec}, {b + "_nsec", i * 25e6}};
    };
  };
  struct Case {
    const char* what;
    CloudRecipe recipe;
    json time;  // part of "time", or null
    std::vector<std::string> codes;
    const char* kind = "lidar";
  };
  auto with_time = pair_layout("t", kU32, kU32);
  with_time.push_back(Field("time", 24, kF32));
  auto two_bases = pair_layout("timestamp", kU32, kU32);
  two_bases.push_back(Field("t_sec", 24, kU32));
  two_bases.push_back(Field("t_nsec", 28, kU32));
  auto one_missing = pair_layout("time", kU32, kU32);
  one_missing.pop_back();
  const std::vector<Case> cases = {
      {"relative",
       RecipeOf(pair_layout("time", kU32, kU32), at("time", 0)),
       {{"field", "time_sec+time_nsec"},
        {"datatype", "UINT32"},
        {"min", 0.0},
        {"max", 75e6 * 1e-9},
        {"unit", "s"},
        {"relative", true}},
       {"unmatched", "no-ring"}},
      {"absolute",
       RecipeOf(pair_layout("time", kU32, kU32), at("time", 1.7e9)),
       {{"field", "time_sec+time_nsec"}, {"min", 1.7e9}, {"relative", false}},
       {"unmatched", "no-ring", "sweeps-overlap", "time-absolute", "stamp-outside-sweep"}},
      {"the first base with both names decides",
       RecipeOf(two_bases, at("timestamp", 0)),
       {{"field", "timestamp_sec+timestamp_nsec"}, {"unit", "s"}},
       {"repeated-clouds", "unmatched", "no-ring"}},
      {"a single time name wins over a pair",
       RecipeOf(with_time, at("t", 0)),
       {{"field", "time"}},
       {"unmatched", "no-ring", "time-zero", "time-unit"}},
      {"one of the two missing",
       RecipeOf(one_missing, at("time", 0)),
       nullptr,
       {"unmatched", "no-ring", "no-time"},
       "unknown"},
      {"float seconds are no pair",
       RecipeOf(pair_layout("time", kF32, kU32), at("time", 0)),
       nullptr,
       {"unmatched", "no-ring", "no-time"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const json topic = Summarize(TenSweeps(c.recipe)).document["topics"][0];
    if (c.time.is_null()) {
      EXPECT_TRUE(topic["time"].is_null()) << topic["time"];
    } else {
      ExpectSubset(topic["time"], c.time);
    }
    EXPECT_EQ(topic["kind"], c.kind);
    EXPECT_EQ(Codes(topic), c.codes);
  }
}

TEST(Summary, KindOfSensorSilencesRingAndTimeForRadarAndCamera) {
  const std::vector<
      std::tuple<const char*, cloud_builder::Fields, const char*, std::vector<std::string>>>
      cases = {
          {"radar by vrad",
           LayoutOf({{"x", kF32}, {"y", kF32}, {"z", kF32}, {"vrad", kF32}, {"amplitude", kF32}}),
           "radar",
           {"unmatched"}},
          {"radar by doppler, with a time field",
           LayoutOf({{"x", kF32}, {"y", kF32}, {"z", kF32}, {"doppler", kF32}, {"time", kF32}}),
           "radar",
           {"unmatched", "time-zero", "time-unit"}},
          {"RGB-D camera",
           LayoutOf({{"x", kF32}, {"y", kF32}, {"z", kF32}, {"rgb", kF32}}),
           "camera",
           {"unmatched"}},
          {"colour with a time field is a lidar",
           LayoutOf({{"x", kF32}, {"y", kF32}, {"z", kF32}, {"rgba", kF32}, {"t", kF32}}),
           "lidar",
           {"unmatched", "no-ring", "time-zero", "time-unit"}},
          {"bare points",
           LayoutOf({{"x", kF32}, {"y", kF32}, {"z", kF32}}),
           "unknown",
           {"unmatched", "no-ring", "no-time"}},
      };
  for (const auto& [what, layout, kind, codes] : cases) {
    SCOPED_TRACE(what);
    const json topic = Summarize(TenSweeps(RecipeOf(layout))).document["topics"][0];
    EXPECT_EQ(topic["kind"], kind);
    EXPECT_EQ(Codes(topic), codes);
  }
}

TEST(Summary, OffsetsInUnitsAPersonReads) {
  struct Case {
    double late;  // record time minus stamp, in seconds
    const char* latency;
    const char* offset;  // the clock-offset problem's start, or ""
  };
  const std::vector<Case> cases = {
      {9.999, "9999.000 ms median, 9999.000 to 9999.000 ms", "stamps lie 9999.000 ms before"},
      {10, "10.000 s median, 10.000 to 10.000 s", "stamps lie 10.000 s before"},
      {600, "10 min 00 s median, 10 min 00 s to 10 min 00 s", "stamps lie 10 min 00 s before"},
      {3723, "1 h 02 min 03 s median", "stamps lie 1 h 02 min 03 s before"},
      {-3723, "-1 h 02 min 03 s median", "stamps lie 1 h 02 min 03 s after"},
      {172799, "47 h 59 min 59 s median", ""},
      {172800, "2.0 days median, 2.0 to 2.0 days", ""},
      {20545920, "237.8 days median", "stamps lie 237.8 days before the record time (median)"},
      {-0.5, "-500.000 ms median", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.latency);
    ScratchDir dir;
    WriteBag(dir.Path("t.bag"), [&](rosbag::Bag& bag) {
      for (int i = 0; i < 2; ++i) {
        const ros::Time stamp(1.5e9 + i);
        bag.write("/p", stamp + ros::Duration(c.late), MakeCloud(CloudRecipe(), stamp.toSec()));
      }
    });
    const std::string text = RunTool({"-s", "-n", "0", dir.Path("t.bag")}).out;
    EXPECT_NE(text.find("#   latency    " + std::string(c.latency)), std::string::npos) << text;
    if (*c.offset != '\0') {
      EXPECT_NE(text.find("clock-offset: " + std::string(c.offset)), std::string::npos) << text;
    }
  }
}
