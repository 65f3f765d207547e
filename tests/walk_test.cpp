// Which clouds the walk reports: selection by index and stride, record-time
// windows, and split bags walked as one recording.
#include <gtest/gtest.h>
#include <sensor_msgs/Imu.h>

#include <nlohmann/json.hpp>

#include "test_support.h"

using namespace test_support;

namespace {

struct Message {
  std::string topic;
  double recorded;
  int points;  // a NumberedCloud of this many points, or an IMU message when 0
};

// Seven clouds, six on /p and one on /q, among IMU messages, recorded from
// 10 s on; each cloud is stamped with its record time.
const std::vector<Message> kRecording = {
    {"/imu", 10.0, 0}, {"/p", 10.5, 3}, {"/p", 11.0, 4},   {"/imu", 11.2, 0}, {"/p", 12.0, 5},
    {"/q", 12.5, 2},   {"/p", 13.0, 6}, {"/imu", 13.5, 0}, {"/p", 14.0, 7},   {"/p", 15.0, 8}};

void WriteMessages(rosbag::Bag& bag, const std::vector<Message>& messages) {
  for (const Message& m : messages) {
    const ros::Time when(m.recorded);
    if (m.points == 0) {
      bag.write(m.topic, when, sensor_msgs::Imu());
    } else {
      bag.write(m.topic, when, NumberedCloud(m.points, when));
    }
  }
}

// The clouds of the recording, in walk order.
std::vector<Message> Clouds(const std::string& topic = "") {
  std::vector<Message> clouds;
  for (const Message& m : kRecording) {
    if (m.points > 0 && (topic.empty() || m.topic == topic)) clouds.push_back(m);
  }
  return clouds;
}

// The header lines of the given walk indices among `clouds`.
std::string HeaderLines(const std::vector<Message>& clouds, const std::vector<int>& indices) {
  std::string out;
  for (int i : indices) out += CloudLine(i, clouds[i].recorded, clouds[i].topic);
  return out;
}

std::vector<std::string> With(std::vector<std::string> args, const std::string& bag) {
  args.push_back(bag);
  return args;
}

}  // namespace

TEST(Walk, IndexStrideAndTopicSelectWithTheWalksOwnNumbers) {
  ScratchDir dir;
  const std::string bag = dir.Path("t.bag");
  WriteBag(bag, [](rosbag::Bag& b) { WriteMessages(b, kRecording); });
  struct Case {
    std::vector<std::string> args;
    std::string topic;  // the walk's topic filter, or every topic
    std::vector<int> shown;
  };
  const Case cases[] = {
      {{"--index", "2"}, "", {2}},
      {{"--index", "1:3"}, "", {1, 2, 3}},
      {{"--index", "4:"}, "", {4, 5, 6}},
      {{"--index", ":1"}, "", {0, 1}},
      {{"--every", "3"}, "", {0, 3, 6}},
      {{"--index", "1:5", "--every", "2"}, "", {2, 4}},
      {{"-t", "/p", "--index", "4:"}, "/p", {4, 5}},
      {{"-t", "/q", "--index", "0"}, "/q", {0}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"-n", "0"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult run = RunTool(With(args, bag));
    EXPECT_EQ(run.out, HeaderLines(Clouds(c.topic), c.shown)) << c.args[1];
    EXPECT_EQ(run.err, "") << c.args[1];
    EXPECT_EQ(run.status, 0) << c.args[1];
  }
  // Points of a selected cloud are its own, and the summary counts only it.
  const RunResult one = RunTool({"--index", "3", bag});
  EXPECT_EQ(one.out, NumberedCloudReport(3, 12.5, "/q", 2));
  const nlohmann::json summary =
      nlohmann::json::parse(RunTool({"--json", "-", "--every", "2", bag}).out);
  EXPECT_EQ(summary["walk_clouds"], 7);
  EXPECT_EQ(summary["clouds"], 4);
  EXPECT_EQ(summary["topics"][0]["first_index"], 0);
  EXPECT_EQ(summary["topics"][0]["last_index"], 6);
}

TEST(Walk, RecordTimeWindowsAbsoluteAndAfterTheFirstMessage) {
  ScratchDir dir;
  const std::string bag = dir.Path("t.bag");
  WriteBag(bag, [](rosbag::Bag& b) { WriteMessages(b, kRecording); });
  const std::vector<Message> all = Clouds();
  // The window defines the walk: its first cloud has index 0.
  auto from = [&all](std::size_t first, std::size_t last) {
    std::string out;
    for (std::size_t i = first; i <= last; ++i) {
      out += CloudLine(static_cast<int>(i - first), all[i].recorded, all[i].topic);
    }
    return out;
  };
  const struct {
    std::vector<std::string> args;
    std::string expected;
  } cases[] = {
      {{"--start", "12"}, from(2, 6)},
      {{"--end", "11.0"}, from(0, 1)},
      {{"--start", "12.25", "--end", "14"}, from(3, 5)},
      // The first message (an IMU one) is at 10 s.
      {{"--start", "+2", "--end", "+3.5"}, from(2, 4)},
      {{"--start", "+4.5"}, from(6, 6)},
      {{"--start", "+2.5", "--index", "1"}, CloudLine(1, 13.0, "/p")},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"-n", "0"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult run = RunTool(With(args, bag));
    EXPECT_EQ(run.out, c.expected) << c.args[1];
    EXPECT_EQ(run.status, 0) << c.args[1];
  }
}

TEST(Walk, EmptySelectionsFailAndMalformedValuesAreCommandLineErrors) {
  ScratchDir dir;
  const std::string bag = dir.Path("t.bag");
  WriteBag(bag, [](rosbag::Bag& b) { WriteMessages(b, kRecording); });
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--index", "7"}, {"--index", "5:6", "--every", "4"}, {"--start", "20"}}) {
    const RunResult run = RunTool(With(args, bag));
    EXPECT_EQ(run.out, "") << args[1];
    const int walked = args[0] == "--start" ? 0 : 7;
    EXPECT_EQ(run.err, "bag_cloud_dump: the selection matches none of the " +
                           std::to_string(walked) + " cloud" + (walked == 1 ? "" : "s") +
                           " of the walk through '" + bag + "'\n")
        << args[1];
    EXPECT_EQ(run.status, 1) << args[1];
  }
  const struct {
    std::vector<std::string> args;
    std::string named;
  } bad[] = {{{"--index", "x"}, "'x'"},
             {{"--index", "3:1"}, "'3:1'"},
             {{"--index", ":"}, "':'"},
             {{"--index", "-1"}, "'-1'"},
             {{"--index", "1:2:3"}, "'1:2:3'"},
             {{"--every", "0"}, "'0'"},
             {{"--every", "2x"}, "'2x'"},
             {{"--start", "soon"}, "'soon'"},
             {{"--end", "+"}, "'+'"},
             {{"--start", "-3"}, "'-3'"},
             {{"--start", "1e9"}, "'1e9'"},
             {{"--end", "99999999999"}, "'99999999999'"},
             {{"--start", "20", "--end", "10"}, "--start is after --end"}};
  for (const auto& c : bad) {
    const RunResult run = RunTool(With(c.args, bag));
    EXPECT_NE(run.err.find(c.named), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.status, 2) << c.args[1];
  }
}

TEST(Walk, SplitBagsMergedReadAsTheUnsplitBag) {
  ScratchDir dir;
  const std::string whole = dir.Path("whole.bag");
  WriteBag(whole, [](rosbag::Bag& b) { WriteMessages(b, kRecording); });
  // The same messages split at record times, as a recorder splits a drive.
  auto split = [&dir](const std::string& name, const std::vector<double>& cuts) {
    std::vector<std::string> parts;
    for (std::size_t part = 0; part <= cuts.size(); ++part) {
      const double from = part == 0 ? 0 : cuts[part - 1];
      const double to = part == cuts.size() ? 1e9 : cuts[part];
      std::vector<Message> messages;
      for (const Message& m : kRecording) {
        if (m.recorded >= from && m.recorded < to) messages.push_back(m);
      }
      parts.push_back(dir.Path(name + "_" + std::to_string(part) + ".bag"));
      WriteBag(parts.back(), [&messages](rosbag::Bag& b) { WriteMessages(b, messages); });
    }
    return parts;
  };
  const std::vector<std::vector<std::string>> splits = {split("two", {12.2}),
                                                        split("three", {11.1, 13.2})};
  for (const std::vector<std::string>& options : std::vector<std::vector<std::string>>{
           {}, {"-s", "-n", "2"}, {"--index", "2:4"}, {"--start", "+1.5", "-t", "/p"}}) {
    std::vector<std::string> args = options;
    const RunResult expected = RunTool(With(args, whole));
    ASSERT_EQ(expected.status, 0);
    for (const std::vector<std::string>& parts : splits) {
      std::vector<std::string> merged = options;
      merged.push_back("--merge");
      merged.insert(merged.end(), parts.begin(), parts.end());
      const RunResult run = RunTool(merged);
      EXPECT_EQ(run.out, expected.out) << parts.size() << " parts";
      EXPECT_EQ(run.err, expected.err);
      EXPECT_EQ(run.status, 0);
    }
  }
  // Without --merge, arguments after the first bag are still ignored.
  EXPECT_EQ(RunTool({splits[0][0], splits[0][1]}).out, RunTool({splits[0][0]}).out);
  // A missing part: its open-failure line, and nothing walked.
  const std::string missing = dir.Path("three_9.bag");
  const RunResult run = RunTool({"--merge", splits[1][0], missing, splits[1][2]});
  EXPECT_EQ(run.out.rfind(" Bag file open failed, " + missing + ", msg = ", 0), 0u) << run.out;
  EXPECT_EQ(Lines(run.out).size(), 1u);
  EXPECT_EQ(run.status, 1);
}
