// The summary's second layer, end to end: which consumers read a topic as
// is, where the stamp sits in the sweep, what the point times hold, whole
// sweeps, repeated clouds and stamp jitter.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "summary_support.h"

using namespace summary_support;

namespace {

const std::uint8_t kU8 = PointField::UINT8, kU16 = PointField::UINT16;

// Point i of Sweep(i), with its time also as nanoseconds in `t` and
// `time_stamp`, and its ring also in `channel`.
Values Lidar(std::uint32_t i) {
  Values v = Sweep(i);
  v["t"] = v["time_stamp"] = i * 25e6;
  v["channel"] = i % 4;
  return v;
}

cloud_builder::Fields WithRing(std::uint8_t datatype, std::uint32_t count = 1,
                               const char* name = "ring") {
  cloud_builder::Fields layout = cloud_builder::RecordLayout();
  layout[4] = Field(name, 20, datatype, count);
  return layout;
}

// The keys of the consumers whose `works` is true.
std::set<std::string> Working(const json& consumers) {
  std::set<std::string> keys;
  for (const json& c : consumers) {
    if (c["works"] == true) keys.insert(c["consumer"].get<std::string>());
  }
  return keys;
}

json ConsumerNamed(const json& consumers, const std::string& key) {
  for (const json& c : consumers) {
    if (c["consumer"] == key) return c;
  }
  return nullptr;
}

std::vector<Written> Clouds(const CloudRecipe& recipe, bool dense = true) {
  std::vector<Written> clouds = TenSweeps(recipe);
  for (Written& w : clouds) w.cloud.is_dense = dense;
  return clouds;
}

}  // namespace

TEST(Consumers, WhoReadsEachLayoutAsIsAndWhyNot) {
  using Times = std::function<Values(std::uint32_t)>;
  const auto timed = [](double offset, double scale) -> Times {
    return [offset, scale](std::uint32_t i) {
      Values v = Lidar(i);
      v["time"] = offset + scale * i * 0.025;
      return v;
    };
  };
  cloud_builder::Fields kiss_u16 = cloud_builder::RecordLayout();
  kiss_u16.push_back(Field("timestamp", 28, kU16));
  struct Case {
    const char* what;
    CloudRecipe recipe;
    bool dense;
    std::set<std::string> working;
    json verdicts;  // parts of some consumers' verdicts, by key
  };
  const std::vector<Case> cases = {
      {"a Velodyne-like cloud",
       {cloud_builder::RecordLayout(), 32, 4, Lidar},
       true,
       {"lio-sam-velodyne", "fast-lio-velodyne", "cartographer", "kiss-icp", "lego-loam", "a-loam"},
       {{"lio-sam-velodyne", {{"time", "fits"}, {"stops", json::array()}}},
        {"lio-sam-ouster",
         {{"missing", {"t"}},
          {"mistyped", {{{"member", "ring"}, {"expected", "UINT8"}, {"found", "UINT16"}}}},
          {"time", "no time"}}},
        {"kiss-icp", {{"time", "fits"}}},
        {"lego-loam", {{"time", nullptr}}}}},
      {"an Ouster-like cloud: t in UINT32 nanoseconds, ring UINT8",
       {LayoutOf({{"x", kF32},
                  {"y", kF32},
                  {"z", kF32},
                  {"intensity", kF32},
                  {"t", kU32},
                  {"ring", kU8}}),
        32, 4, Lidar},
       true,
       {"lio-sam-ouster", "fast-lio-ouster", "cartographer", "kiss-icp", "a-loam"},
       {{"lio-sam-ouster", {{"time", "fits"}}},
        {"fast-lio-velodyne",
         {{"mistyped", {{{"member", "ring"}, {"expected", "UINT16"}, {"found", "UINT8"}}}},
          {"time", "no time"}}},
        {"cartographer", {{"time", nullptr}}},
        {"kiss-icp", {{"time", "fits"}}}}},
      {"ring UINT8 with float seconds",
       {WithRing(kU8), 32, 4, Lidar},
       true,
       {"cartographer", "kiss-icp", "a-loam"},
       {{"lio-sam-velodyne",
         {{"missing", json::array()},
          {"mistyped", {{{"member", "ring"}, {"expected", "UINT16"}, {"found", "UINT8"}}}}}}}},
      {"a ring of three values",
       {WithRing(kU16, 3), 32, 4, Lidar},
       true,
       {"cartographer", "kiss-icp", "a-loam"},
       {{"lego-loam",
         {{"mistyped",
           {{{"member", "ring"}, {"expected", "UINT16"}, {"found", "UINT16 (count 3)"}}}}}}}},
      {"Autoware's own layout",
       {{Field("x", 0, kF32), Field("y", 4, kF32), Field("z", 8, kF32), Field("intensity", 12, kU8),
         Field("return_type", 13, kU8), Field("channel", 14, kU16), Field("azimuth", 16, kF32),
         Field("elevation", 20, kF32), Field("distance", 24, kF32), Field("time_stamp", 28, kU32)},
        32,
        4,
        Lidar},
       true,
       {"autoware", "kiss-icp", "a-loam"},
       {{"autoware", {{"time", "fits"}, {"stops", json::array()}}},
        {"kiss-icp", {{"time", "no time"}}},
        {"cartographer",
         {{"mistyped",
           {{{"member", "intensity"}, {"expected", "FLOAT32"}, {"found", "UINT8"}}}}}}}},
      {"float nanoseconds in 'time'",
       {cloud_builder::RecordLayout(), 32, 4, timed(0, 1e9)},
       true,
       {"fast-lio-velodyne", "kiss-icp", "lego-loam", "a-loam"},
       {{"lio-sam-velodyne", {{"time", "unit"}}}, {"cartographer", {{"time", "unit"}}}}},
      {"the stamp at the sweep's end",
       {cloud_builder::RecordLayout(), 32, 4, timed(-0.075, 1)},
       true,
       {"cartographer", "kiss-icp", "lego-loam", "a-loam"},
       {{"lio-sam-velodyne", {{"time", "stamp"}}}, {"fast-lio-velodyne", {{"time", "stamp"}}}}},
      {"a point later than the last",
       {cloud_builder::RecordLayout(), 32, 4, timed(0.075, -1)},
       true,
       {"lio-sam-velodyne", "fast-lio-velodyne", "kiss-icp", "lego-loam", "a-loam"},
       {{"cartographer", {{"stops", {"point-after-last"}}, {"time", "fits"}}}}},
      {"is_dense 0",
       {cloud_builder::RecordLayout(), 32, 4, Lidar},
       false,
       {"fast-lio-velodyne", "cartographer", "kiss-icp", "a-loam"},
       {{"lio-sam-velodyne", {{"stops", {"is_dense"}}}}, {"lego-loam", {{"stops", {"is_dense"}}}}}},
      {"KISS-ICP's time field is the last: UINT16 'timestamp'",
       {kiss_u16, 32, 4, Lidar},
       true,
       {"lio-sam-velodyne", "fast-lio-velodyne", "cartographer", "lego-loam", "a-loam"},
       {{"kiss-icp", {{"stops", {"time-datatype"}}, {"time", "no time"}}}}},
      {"'channel', not 'ring'",
       {WithRing(kU16, 1, "channel"), 32, 4, Lidar},
       true,
       {"cartographer", "kiss-icp", "a-loam"},
       {{"lio-sam-velodyne", {{"missing", {"ring"}}, {"stops", {"no-ring-field"}}}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const json topic = Summarize(Clouds(c.recipe, c.dense)).document["topics"][0];
    ASSERT_TRUE(topic["consumers"].is_array()) << topic["consumers"];
    EXPECT_EQ(topic["consumers"].size(), 9u);
    EXPECT_EQ(Working(topic["consumers"]), c.working);
    for (auto it = c.verdicts.begin(); it != c.verdicts.end(); ++it) {
      SCOPED_TRACE(it.key());
      ExpectSubset(ConsumerNamed(topic["consumers"], it.key()), it.value());
    }
  }
}

TEST(Consumers, TextAndFailOnForARingOfUint8) {
  ScratchDir dir;
  const std::string bag = dir.Path("t.bag");
  WriteBag(bag, [&](rosbag::Bag& b) {
    for (const Written& w : Clouds({WithRing(kU8), 32, 4, Lidar})) {
      b.write(w.topic, ros::Time(w.recorded), w.cloud);
    }
  });
  const std::string text = RunTool({"-s", "-n", "0", bag}).out;
  for (const char* line :
       {"\n#   consumers  works as is: cartographer, KISS-ICP, A-LOAM\n",
        "\n#              LIO-SAM (velodyne, livox): ring is UINT8, needs UINT16\n",
        "\n#              LIO-SAM (ouster): no 't' UINT32\n",
        "\n#              FAST-LIO (velodyne): ring is UINT8, needs UINT16\n",
        "\n#              LeGO-LOAM: ring is UINT8, needs UINT16\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
  }
  const std::string clean = dir.Path("clean.bag");  // no problem, yet not for every stack
  WriteBag(clean, [&](rosbag::Bag& b) {
    for (const Written& w : Clouds({cloud_builder::RecordLayout(), 32, 4, Lidar})) {
      b.write(w.topic, ros::Time(w.recorded), w.cloud);
    }
  });
  const std::vector<std::tuple<std::string, std::string, int>> gates = {
      {"consumer:lio-sam-velodyne", bag, 3},
      {"consumer:a-loam", bag, 0},
      {"consumer:a-loam,consumer:lego-loam", bag, 3},
      {"consumer:lio-sam-velodyne", clean, 0},
      {"consumer:lio-sam-ouster", clean, 3},
      {"any", clean, 0},  // consumers are not problems
      {"consumer:lio-sam", clean, 2},
  };
  for (const auto& [codes, path, status] : gates) {
    EXPECT_EQ(RunTool({"--fail-on", codes, "-n", "0", path}).status, status) << codes;
  }
}

TEST(Consumers, RadarAndCameraTopicsHaveNoLidarChecks) {
  for (const auto& layout :
       {LayoutOf({{"x", kF32}, {"y", kF32}, {"z", kF32}, {"doppler", kF32}, {"time", kF32}}),
        LayoutOf({{"x", kF32}, {"y", kF32}, {"z", kF32}, {"rgb", kF32}})}) {
    std::vector<Written> clouds = Clouds(RecipeOf(layout));
    clouds[1].cloud = clouds[0].cloud;  // a repeat, not counted
    clouds[1].cloud.header.stamp = ros::Time(100.1);
    const json topic = Summarize(clouds).document["topics"][0];
    for (const char* key : {"sweep", "repeated_clouds", "consumers"}) {
      EXPECT_TRUE(topic[key].is_null()) << key << ": " << topic[key];
    }
    if (!topic["time"].is_null()) {
      for (const char* key : {"offsets", "stamp_at", "constant_clouds", "overlaps",
                              "last_not_latest", "unordered_clouds"}) {
        EXPECT_TRUE(topic["time"][key].is_null()) << key;
      }
    }
    EXPECT_FALSE(topic["stamps"]["jitter"].is_null());  // stamps are every kind's
  }
}

TEST(PointTimes, WhereTheStampSitsInTheSweep) {
  struct Case {
    double offset;  // of point 0; the points follow 25 ms apart
    const char* stamp_at;
    const char* words;  // the end of the '#' time line, or a problem's start
    bool outside = false;
  };
  const std::vector<Case> cases = {
      {0, "start", "; stamp at the sweep's start"},
      {-0.075, "end", "; stamp at the sweep's end"},
      {-0.0375, "middle", "; stamp at the sweep's middle"},
      {-0.02, "inside", "; stamp inside the sweep"},
      {0.2, "before", "the header stamp lies 200.000 ms before the sweep's first point: ", true},
      {-0.3, "after", "the header stamp lies 225.000 ms after its last: ", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stamp_at);
    CloudRecipe recipe = Filled([&c](std::uint32_t i) {
      Values v = Sweep(i);
      v["time"] += c.offset;
      return v;
    });
    const Summary s = Summarize(TenSweeps(recipe));
    const json time = s.document["topics"][0]["time"];
    EXPECT_EQ(time["stamp_at"], c.stamp_at);
    EXPECT_NEAR(time["offsets"]["first_median"].get<double>(), c.offset, 1e-7);
    EXPECT_NEAR(time["offsets"]["last_median"].get<double>(), c.offset + 0.075, 1e-7);
    const std::vector<std::string> codes = Codes(s.document["topics"][0]);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), "stamp-outside-sweep"), c.outside ? 1 : 0);
    ScratchDir dir;
    WriteBag(dir.Path("t.bag"), [&](rosbag::Bag& b) {
      for (const Written& w : TenSweeps(recipe)) b.write(w.topic, ros::Time(w.recorded), w.cloud);
    });
    std::string text = RunTool({"-s", "-n", "0", dir.Path("t.bag")}).out;
    for (std::size_t at; (at = text.find("\n#              ")) != std::string::npos;) {
      text.replace(at, 16, " ");  // unwrapped
    }
    EXPECT_NE(text.find(c.words), std::string::npos) << c.words << " in\n" << text;
  }
  // Absolute times are taken from the stamp.
  CloudRecipe absolute{cloud_builder::RecordLayout(), 32, 4, Sweep};
  absolute.layout[5] = Field("time", 24, PointField::FLOAT64);
  std::vector<Written> clouds;
  for (int k = 0; k < 10; ++k) {
    clouds.push_back({"/p", 1.7e9 + k * 0.1 + 0.01, MakeCloud(absolute, 1.7e9 + k * 0.1)});
  }
  for (Written& w : clouds) {
    for (std::uint32_t i = 0; i < 4; ++i) {
      PutAs(w.cloud, i, "time", w.cloud.header.stamp.toSec() - 0.075 + i * 0.025);
    }
  }
  const json time = Summarize(clouds).document["topics"][0]["time"];
  EXPECT_EQ(time["relative"], false);
  EXPECT_EQ(time["stamp_at"], "end");
}

TEST(PointTimes, ConstantOverlappingAndUnorderedTimes) {
  struct Case {
    const char* what;
    std::function<Values(std::uint32_t)> fill;
    json time;  // part of "time"
    std::vector<std::string> codes;
    int unstamped = -1;  // a cloud whose stamp is 0
  };
  // Points 0 and 2 on ring 0, 1 and 3 on ring 1.
  const auto times = [](std::vector<double> t) {
    return [t](std::uint32_t i) {
      Values v = Sweep(i);
      v["time"] = t[i];
      v["ring"] = i % 2;
      return v;
    };
  };
  const std::vector<Case> cases = {
      {"one time for every point",
       times({0.05, 0.05, 0.05, 0.05}),
       {{"constant_clouds", 10}, {"offsets", nullptr}, {"overlaps", nullptr}},
       {"time-constant", "time-unit"}},
      {"sweeps of 150 ms every 100 ms",
       times({0, 0.05, 0.1, 0.15}),
       {{"overlaps", 9}, {"overlap_first_index", 1}, {"constant_clouds", 0}},
       {"sweeps-overlap"}},
      {"a cloud without a stamp breaks the chain",
       times({0, 0.05, 0.1, 0.15}),
       {{"overlaps", 7}, {"overlap_first_index", 1}},
       {"stamp-gaps", "stamp-zero", "sweeps-overlap"},
       5},
      {"times backwards along ring 0",
       times({0.05, 0.025, 0, 0.075}),
       {{"unordered_clouds", 10}, {"last_not_latest", 0}, {"stamp_at", "start"}},
       {"time-unordered"}},
      {"the last point is not the latest",
       times({0, 0.025, 0.075, 0.05}),
       {{"unordered_clouds", 0}, {"last_not_latest", 10}},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<Written> clouds = TenSweeps(Filled(c.fill));
    if (c.unstamped >= 0) clouds[c.unstamped].cloud.header.stamp = ros::Time();
    const json topic = Summarize(clouds).document["topics"][0];
    ExpectSubset(topic["time"], c.time);
    EXPECT_EQ(Codes(topic), c.codes);
    if (topic["time"]["overlaps"].is_number() && topic["time"]["overlaps"] > 0) {
      EXPECT_NEAR(topic["time"]["overlap_max"].get<double>(), 0.05, 1e-6);
    }
  }
}

namespace {

// A sweep of `points` returns 10 m away, evenly around the circle (between
// the sectors' boundaries), leaving out the angles in [gap_from, gap_to).
sensor_msgs::PointCloud2 Circle(std::uint32_t points, double stamp, double gap_from = 0,
                                double gap_to = 0) {
  const auto brightness = static_cast<float>(stamp);  // no two clouds alike
  std::vector<std::pair<double, double>> kept;
  for (std::uint32_t k = 0; k < points; ++k) {
    const double degrees = (k + 0.5) * 360.0 / points - 180;
    if (degrees >= gap_from && degrees < gap_to) continue;
    kept.emplace_back(10 * std::sin(degrees * M_PI / 180), 10 * std::cos(degrees * M_PI / 180));
  }
  auto cloud = cloud_builder::MakeCloud(cloud_builder::RecordLayout(),
                                        cloud_builder::kRecordPointStep, kept.size());
  cloud.header.stamp.fromSec(stamp);
  for (std::uint32_t i = 0; i < kept.size(); ++i) {
    cloud_builder::PutReturn(cloud, i,
                             {float(kept[i].first), float(kept[i].second), 0, brightness,
                              std::uint16_t(i % 16), float(i) / kept.size() * 0.1f});
  }
  return cloud;
}

}  // namespace

TEST(Sweeps, SectorsLostShortSweepsAndRepeats) {
  std::vector<Written> clouds;
  for (int i = 0; i < 10; ++i) {
    const double stamp = 100 + i * 0.1;
    sensor_msgs::PointCloud2 cloud =
        i == 5 ? Circle(3600, stamp, 84, 97) : Circle(i == 7 ? 3000 : 3600, stamp);
    if (i == 3) cloud.data = clouds[2].cloud.data;  // the driver froze
    if (i == 9) {  // two points on sector boundaries: 45 and -135 degrees exactly
      cloud = cloud_builder::MakeCloud(cloud_builder::RecordLayout(), 32, 2);
      cloud.header.stamp.fromSec(stamp);
      cloud_builder::PutReturn(cloud, 0, {1, 1, 0, 1, 0, 0});
      cloud_builder::PutReturn(cloud, 1, {-1, -1, 0, 1, 1, 0.09f});
    }
    clouds.push_back({"/p", stamp + 0.1, cloud});
  }
  const Summary s = Summarize(clouds);
  const json topic = s.document["topics"][0];
  EXPECT_EQ(topic["sweep"], json::parse(R"({
      "coverage_deg": {"min": 2, "median": 360.0, "max": 360},
      "valid_points": {"min": 2, "median": 3600.0, "max": 3600},
      "largest_gap_deg": 179, "largest_gap_index": 9,
      "partial_clouds": 3, "partial_indices": [5, 7, 9]})"));
  EXPECT_EQ(topic["repeated_clouds"], 1);
  const std::vector<std::string> codes = Codes(topic);
  EXPECT_EQ(codes, (std::vector<std::string>{"repeated-clouds", "partial-sweeps"}));
  EXPECT_EQ(topic["problems"][0]["text"],
            "1 cloud repeats the previous cloud byte for byte (first: cloud 3): a frozen driver "
            "resending its last sweep");
  EXPECT_EQ(topic["problems"][1]["text"],
            "3 clouds cover less of the circle or hold fewer points than this topic's usual sweep "
            "(median: 360°, 3,600 points; first: cloud 5, 347°, 3,470 points, largest gap 13° "
            "from 84° to 97°): lost packets or a stalled driver; scan matching degrades");

  // The boundary cloud alone: sectors 225 and 45, so its gaps run from -134°.
  std::vector<Written> bounded(clouds.begin(), clouds.begin() + 5);
  bounded.push_back(clouds[9]);
  const json first_partial = Summarize(bounded).document["topics"][0]["problems"];
  ASSERT_FALSE(first_partial.empty());
  EXPECT_NE(first_partial.back()["text"].get<std::string>().find(
                "first: cloud 5, 2°, 2 points, largest gap 179° from -134° to 45°)"),
            std::string::npos)
      << first_partial;

  ScratchDir dir;
  WriteBag(dir.Path("t.bag"), [&](rosbag::Bag& b) {
    for (const Written& w : clouds) b.write(w.topic, ros::Time(w.recorded), w.cloud);
  });
  const std::string text = RunTool({"-s", "-n", "0", dir.Path("t.bag")}).out;
  EXPECT_NE(text.find("\n#   sweep      360° median (2° to 360°), 3,600 valid points median; 3 "
                      "partial sweeps, largest gap\n#              179° (cloud 9)\n"),
            std::string::npos)
      << text;
}

TEST(Stamps, JitterAndShortDeltas) {
  struct Case {
    const char* what;
    std::vector<double> stamps;
    json stamps_expected;
    const char* problem;  // the stamp-jitter text's start, or ""
  };
  const std::vector<Case> cases = {
      {"steady", {0, 0.1, 0.2, 0.3, 0.4}, {{"short", 0}}, ""},
      {"stamped on arrival, 20 ms either way",
       {0, 0.12, 0.2, 0.32, 0.4, 0.52, 0.6},
       {{"short", 0}},
       "stamps deviate by 20.000 ms from the 100.000 ms period (median), 0 deltas under half a "
       "period: stamps taken on arrival"},
      {"one delta under half a period",
       {0, 0.1, 0.2, 0.24, 0.3, 0.4, 0.5},
       {{"short", 1}},
       "stamps deviate by 0.000 ms from the 100.000 ms period (median), 1 delta under half"},
      {"one cloud", {0}, {{"jitter", nullptr}, {"short", 0}}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<Written> clouds;
    for (std::size_t i = 0; i < c.stamps.size(); ++i) {
      clouds.push_back({"/p", 1000.2 + 0.1 * i, MakeCloud(CloudRecipe(), 1000 + c.stamps[i])});
    }
    const json topic = Summarize(clouds).document["topics"][0];
    ExpectSubset(topic["stamps"], c.stamps_expected);
    std::string jitter;
    for (const json& p : topic["problems"]) {
      if (p["code"] == "stamp-jitter") jitter = p["text"];
    }
    EXPECT_EQ(jitter.rfind(c.problem, 0), 0u) << jitter;
    EXPECT_EQ(jitter.empty(), *c.problem == '\0') << jitter;
  }
}
