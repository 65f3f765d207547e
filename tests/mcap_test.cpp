// MCAP recordings, written here with every choice a writer may make: the same
// report as the ROS 1 bag of the same clouds, files cut short read up to the
// cut, damaged files told in one line, and cloud topics that recorded nothing.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <rosbag/view.h>
#include <cstring>
#include <nlohmann/json.hpp>

#include "mcap_writer.h"
#include "test_support.h"

using namespace test_support;
using mcap_writer::Message;
using mcap_writer::Options;
using mcap_writer::Summary;

namespace {

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// The ROS 1 bag's output as the same recording's ros2-profile output reads.
std::string AsMcap(const std::string& text, const std::string& bag, const std::string& mcap,
                   bool ros2_types) {
  std::string out = Replaced(text, bag, mcap);
  if (!ros2_types) return out;
  return Replaced(Replaced(out, "sensor_msgs/PointCloud2", "sensor_msgs/msg/PointCloud2"),
                  "sensor_msgs/Imu", "sensor_msgs/msg/Imu");
}

std::vector<std::string> With(std::vector<std::string> args, const std::string& bag) {
  args.push_back(bag);
  return args;
}

// The top-level records of a file: offset and opcode.
std::vector<std::pair<std::size_t, int>> Records(const std::string& bytes) {
  std::vector<std::pair<std::size_t, int>> records;
  for (std::size_t at = 8; at + 9 <= bytes.size() - 8;) {
    std::uint64_t length;
    std::memcpy(&length, bytes.data() + at + 1, 8);
    records.emplace_back(at, static_cast<unsigned char>(bytes[at]));
    at += 9 + length;
  }
  return records;
}

// The offset of the n-th record with `opcode`.
std::size_t NthRecord(const std::string& bytes, int opcode, int n = 0) {
  for (const auto& [at, op] : Records(bytes)) {
    if (op == opcode && n-- == 0) return at;
  }
  throw std::logic_error("no such record");
}

template <typename T>
void PutAt(std::string& bytes, std::size_t at, T value) {
  std::memcpy(&bytes[at], &value, sizeof value);
}

// Three clouds of 3 points on /p, recorded and stamped at 1, 2 and 3 s.
std::vector<Message> ThreeClouds() {
  std::vector<Message> messages;
  for (int i = 1; i <= 3; ++i) {
    auto cloud = NumberedCloud(3, ros::Time(i, 0));
    cloud.header.frame_id = "";  // puts the CDR field count at byte 28
    messages.push_back(
        {"/p", "sensor_msgs/msg/PointCloud2", i * 1000000000LL, ros2_bag_writer::CdrCloud(cloud)});
  }
  return messages;
}

std::string ReportOfThree(int clouds) {
  std::string report;
  for (int i = 0; i < clouds; ++i) {
    report += Replaced(NumberedCloudReport(i, i + 1, "/p", 3), "sensor_msgs/PointCloud2",
                       "sensor_msgs/msg/PointCloud2");
  }
  return report;
}

}  // namespace

TEST(Mcap, ReportsEqualTheRos1BagsWhateverTheWriterChose) {
  ScratchDir dir;
  const std::string ros1 = dir.Path("odd.bag");
  WriteBag(ros1, WriteOddLayouts);
  const std::vector<Message> ros2 = ros2_bag_writer::MessagesOfRos1Bag(ros1);
  const auto with = [](std::function<void(Options&)> change) {
    Options options;
    change(options);
    return options;
  };
  struct Variant {
    const char* name;
    Options options;
    int files = 1;  // split into a directory of this many files
  };
  const std::vector<Variant> variants = {
      {"plain.mcap", {}},
      {"zstd.mcap", with([](Options& o) { o.compression = "zstd"; })},
      {"lz4.mcap", with([](Options& o) { o.compression = "lz4"; })},
      {"unchunked.mcap", with([](Options& o) { o.chunked = false; })},
      {"one-a-chunk-no-summary.mcap", with([](Options& o) {
         o.messages_per_chunk = 1;
         o.summary = Summary::kNone;
         o.compression = "zstd";
       })},
      {"channels-only-no-index.mcap", with([](Options& o) {
         o.summary = Summary::kChannelsOnly;
         o.message_indexes = false;
       })},
      {"padded.mcap", with([](Options& o) {
         o.padded = true;
         o.attachments = true;
         o.compression = "lz4";
         o.crc = false;
       })},
      {"ros1.mcap", with([](Options& o) { o.profile = "ros1"; })},
      {"x.mcap", with([](Options& o) { o.compression = "zstd"; }), 2},
      {"unlisted", {}, 3},
  };
  const std::vector<std::vector<std::string>> option_sets = {
      {},
      {"-n", "2", "-s"},
      {"-l", "-n", "0"},
      {"--json", "-"},
      {"-n", "1", "--index", "2:7", "--every", "2"},
      {"-n", "1", "--index", "5:"},
      {"-n", "1", "--start", "+4", "-t", "/organized", "-t", "/lidar/points"},
  };
  for (const Variant& v : variants) {
    const std::string path = dir.Path(v.name);
    const bool ros1_profile = v.options.profile == "ros1";
    const std::vector<Message> messages =
        ros1_profile ? mcap_writer::Ros1MessagesOfRos1Bag(ros1) : ros2;
    if (v.files == 1) {
      mcap_writer::WriteMcap(path, messages, v.options);
    } else {
      // A split recording, its files named against their time order.
      mkdir(path.c_str(), 0755);
      std::string listing;
      for (int f = 0; f < v.files; ++f) {
        const std::size_t from = messages.size() * f / v.files;
        const std::size_t to = messages.size() * (f + 1) / v.files;
        const std::string name = "part_" + std::to_string(v.files - f) + ".mcap";
        mcap_writer::WriteMcap(path + "/" + name, {messages.begin() + from, messages.begin() + to},
                               v.options);
        listing += "    - " + name + "\n";
      }
      if (std::string(v.name) != "unlisted") {
        WriteFile(path + "/metadata.yaml",
                  "rosbag2_bagfile_information:\n  version: 5\n  storage_identifier: mcap\n"
                  "  relative_file_paths:\n" +
                      listing);
      }
    }
    for (const auto& options : option_sets) {
      SCOPED_TRACE(std::string(v.name) + ", options: " + ::testing::PrintToString(options));
      const RunResult expected = RunTool(With(options, ros1));
      const RunResult run = RunTool(With(options, path));
      ASSERT_EQ(expected.status, 0) << expected.err;
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(run.out, AsMcap(expected.out, ros1, path, !ros1_profile));
      EXPECT_EQ(run.err, expected.err);
    }
  }
}

TEST(Mcap, LogTimeOrderAcrossOverlappingChunksAndTimeZero) {
  ScratchDir dir;
  // Chunks of two messages written out of order: (3, 1), (4, 2), (0, 5).
  std::vector<Message> messages;
  for (int t : {3, 1, 4, 2, 0, 5}) {
    messages.push_back({"/p", "sensor_msgs/msg/PointCloud2", t * 1000000000LL,
                        ros2_bag_writer::CdrCloud(NumberedCloud(1, ros::Time(10 + t, 0)))});
  }
  for (const char* compression : {"", "zstd"}) {
    Options options;
    options.messages_per_chunk = 2;
    options.compression = compression;
    const std::string path = dir.Path("order.mcap");
    mcap_writer::WriteMcap(path, messages, options);
    const RunResult run = RunTool({"-n", "0", path});
    std::string expected;
    for (int t = 0; t <= 5; ++t)
      expected += CloudLine(t, 10 + t, "/p", "sensor_msgs/msg/PointCloud2");
    EXPECT_EQ(run.out, expected) << compression;
    EXPECT_EQ(run.status, 0) << run.err;
    // A time window and an index through the same overlaps.
    EXPECT_EQ(RunTool({"-n", "0", "--start", "+1", "--end", "+2", path}).out,
              CloudLine(0, 11, "/p", "sensor_msgs/msg/PointCloud2") +
                  CloudLine(1, 12, "/p", "sensor_msgs/msg/PointCloud2"));
    EXPECT_EQ(RunTool({"-n", "0", "--index", "4", path}).out,
              CloudLine(4, 14, "/p", "sensor_msgs/msg/PointCloud2"));
  }
}

TEST(Mcap, FilesCutShortShowEverySweepBeforeTheCut) {
  struct Case {
    const char* what;
    std::string compression;
    std::function<std::size_t(const std::string& bytes)> cut;  // the length kept
    int clouds;                                                // walked before the cut
    std::string reason;
  };
  const Case cases[] = {
      {"inside the second chunk", "", [](const std::string& b) { return NthRecord(b, 6, 1) + 300; },
       1, "inside the chunk that starts at byte"},
      {"inside the last zstd chunk's messages", "zstd",
       [](const std::string& b) { return NthRecord(b, 6, 2) + 60; }, 2, "rest of that chunk"},
      {"after the last chunk's index", "lz4",
       [](const std::string& b) { return NthRecord(b, 0x0F); }, 3,
       "whatever followed, the summary and the footer"},
      {"only the footer lost", "", [](const std::string& b) { return b.size() - 20; }, 3,
       "lost from there: the summary and the footer"},
      {"inside a chunk's header", "", [](const std::string& b) { return NthRecord(b, 6, 1) + 12; },
       1, "a record of"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    const std::string path = dir.Path("killed.mcap");
    Options options;
    options.messages_per_chunk = 1;
    options.compression = c.compression;
    mcap_writer::WriteMcap(path, ThreeClouds(), options);
    const std::string bytes = ReadFile(path);
    WriteFile(path, bytes.substr(0, c.cut(bytes)));
    const RunResult run = RunTool({path});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, ReportOfThree(c.clouds));
    EXPECT_EQ(run.err.rfind("bag_cloud_dump: failed to read '" + path + "' after " +
                                std::to_string(c.clouds) + " cloud",
                            0),
              0u)
        << run.err;
    EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
    EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
    const nlohmann::json summary = nlohmann::json::parse(RunTool({"--json", "-", path}).out);
    EXPECT_EQ(summary["complete"], false);
    EXPECT_EQ(summary["clouds"], c.clouds);
  }
  ScratchDir dir;
  WriteFile(dir.Path("header.mcap"), std::string("\x89MCAP0\r\n\x01\x40\0\0\0\0\0\0\0ros2", 21));
  const RunResult run = RunTool({dir.Path("header.mcap")});
  EXPECT_EQ(run.out, " Bag file open failed, " + dir.Path("header.mcap") + ", msg = '" +
                         dir.Path("header.mcap") + "' is too short to hold its MCAP header\n");
  EXPECT_EQ(run.status, 1);
}

TEST(Mcap, DamagedFilesStopTheWalkWithTheReason) {
  struct Case {
    const char* what;
    std::string compression;
    std::function<void(std::string& bytes)> damage;  // of a file with one cloud a chunk
    int clouds;
    std::string reason;
  };
  // The chunk's fields: start, end, uncompressed size, CRC, compression.
  const auto chunk_field = [](int n, std::size_t field) {
    return [n, field](std::string& b) { return NthRecord(b, 6, n) + 9 + field; };
  };
  const Case cases[] = {
      {"a byte of the second cloud changed", "",
       [&](std::string& b) { b[chunk_field(1, 200)(b)] ^= 1; }, 1, "records' CRC is"},
      {"an uncompressed size of 1 TiB", "zstd",
       [&](std::string& b) { PutAt<std::uint64_t>(b, chunk_field(1, 16)(b), 1ull << 40); }, 1,
       "declares 1099511627776 uncompressed bytes, more than the reader takes"},
      {"an uncompressed size too small", "lz4",
       [&](std::string& b) { PutAt<std::uint64_t>(b, chunk_field(1, 16)(b), 100); }, 1,
       "decompresses to more than its declared size"},
      {"not zstd data", "zstd", [&](std::string& b) { b[chunk_field(2, 44)(b)] ^= 0x55; }, 2,
       "zstd: "},
      {"an unknown compression", "zstd", [&](std::string& b) { b[chunk_field(0, 35)(b)] = 'x'; }, 0,
       "compression 'zstx' is not known"},
      {"a message on an undefined channel", "",
       [&](std::string& b) {
         // The third chunk's message names channel 7 (its record follows the
         // chunk's 49-byte header).
         const std::size_t message = chunk_field(2, 40)(b);
         PutAt<std::uint16_t>(b, message + 9, 7);
         PutAt<std::uint32_t>(b, chunk_field(2, 24)(b), 0);  // no CRC to catch it first
       },
       2, "a message names channel 7, which no channel record defines"},
      {"a record length past the data section", "",
       [&](std::string& b) { PutAt<std::uint64_t>(b, NthRecord(b, 7, 1) + 1, 1ull << 50); }, 2,
       "its length reaches past the data section"},
      {"opcode 0", "", [&](std::string& b) { b[NthRecord(b, 7, 1)] = 0; }, 2,
       "opcode 0 is no record"},
      {"a cloud whose CDR field count lies", "",
       [&](std::string& b) {
         const std::size_t data = chunk_field(1, 40)(b) + 9 + 22;
         PutAt<std::uint32_t>(b, data + 28, 100000000);
         PutAt<std::uint32_t>(b, chunk_field(1, 24)(b), 0);
       },
       1, "fields claims 100000000 entries"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    const std::string path = dir.Path("bad.mcap");
    Options options;
    options.messages_per_chunk = 1;
    options.compression = c.compression;
    std::vector<Message> messages = ThreeClouds();
    for (Message& m : messages) m.topic = "/p";
    mcap_writer::WriteMcap(path, messages, options);
    std::string bytes = ReadFile(path);
    c.damage(bytes);
    WriteFile(path, bytes);
    const RunResult run = RunTool({path});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, ReportOfThree(c.clouds));
    EXPECT_NE(run.err.find("'" + path + "'"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
    EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
  }
}

TEST(Mcap, IndexedSelectionsLeaveOtherChunksUnread) {
  // The first chunk is damaged: a walk that skips it through the index
  // never meets the damage.
  ScratchDir dir;
  const std::string path = dir.Path("skip.mcap");
  std::vector<Message> messages = ThreeClouds();
  messages.push_back(messages[0]);
  messages.back().topic = "/q";
  messages.back().time_ns = 4000000000LL;
  Options options;
  options.messages_per_chunk = 1;
  mcap_writer::WriteMcap(path, messages, options);
  std::string bytes = ReadFile(path);
  bytes[NthRecord(bytes, 6, 0) + 9 + 200] ^= 1;
  WriteFile(path, bytes);
  const std::string line = "sensor_msgs/msg/PointCloud2";
  for (const auto& [args, out] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--index", "2"}, CloudLine(2, 3, "/p", line)},
           {{"--index", "1:"},
            CloudLine(1, 2, "/p", line) + CloudLine(2, 3, "/p", line) +
                CloudLine(3, 1, "/q", line)},
           {{"--start", "+1"},
            CloudLine(0, 2, "/p", line) + CloudLine(1, 3, "/p", line) +
                CloudLine(2, 1, "/q", line)},
           {{"-t", "/q"}, CloudLine(0, 1, "/q", line)}}) {
    std::vector<std::string> argv = args;
    argv.insert(argv.begin(), {"-n", "0"});
    const RunResult run = RunTool(With(argv, path));
    EXPECT_EQ(run.out, out) << ::testing::PrintToString(args);
    EXPECT_EQ(run.status, 0) << run.err;
  }
  EXPECT_EQ(RunTool({"-n", "0", path}).status, 1);  // the whole walk meets it
}

TEST(Mcap, CloudTopicsThatRecordedNothingAreNamed) {
  ScratchDir dir;
  Options options;
  options.silent_channels = {{"/livox/lidar", "sensor_msgs/msg/PointCloud2"}};
  options.offered_qos = {
      {"/livox/lidar", "- history: 3\n  depth: 0\n  reliability: 2\n  durability: 2\n"}};
  std::vector<Message> imu = {{"/imu", "sensor_msgs/msg/Imu", 1000000000LL, {0, 1, 0, 0}}};
  const std::string mcap = dir.Path("silent.mcap");
  mcap_writer::WriteMcap(mcap, imu, options);
  // The same in a sqlite3 recording: a topic row without messages, and no
  // publisher seen.
  const std::string db3 = dir.Path("silent_db3");
  ros2_bag_writer::WriteRos2Bag(db3, imu);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((db3 + "/silent_db3_0.db3").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "INSERT INTO topics (id, name, type, serialization_format, "
                         "offered_qos_profiles) VALUES (9, '/livox/lidar', "
                         "'sensor_msgs/msg/PointCloud2', 'cdr', '[]')",
                         nullptr, nullptr, nullptr),
            SQLITE_OK)
      << sqlite3_errmsg(db);
  sqlite3_close(db);
  const std::string meaning =
      "it recorded no message: its driver never published, or published with a QoS the recorder "
      "could not match (best effort against reliable); offered QoS: ";
  for (const auto& [path, qos] :
       {std::make_pair(mcap, std::string("reliability best_effort, "
                                         "durability volatile")),
        std::make_pair(db3, std::string("none (no publisher was seen)"))}) {
    SCOPED_TRACE(path);
    const RunResult text = RunTool({"-s", path});
    EXPECT_EQ(text.out, "# no point clouds in '" + path +
                            "'; its other topics: /imu (sensor_msgs/msg/Imu, 1 message)\n"
                            "# silent cloud topic /livox/lidar (sensor_msgs/msg/PointCloud2): " +
                            meaning + qos + "\n");
    EXPECT_EQ(text.status, 0);
    const nlohmann::json document = nlohmann::json::parse(RunTool({"--json", "-", path}).out);
    EXPECT_EQ(document["silent_cloud_topics"],
              nlohmann::json::parse(R"([{"topic": "/livox/lidar", "type": )"
                                    R"("sensor_msgs/msg/PointCloud2", "offered_qos": ")" +
                                    qos + "\"}]"));
    EXPECT_EQ(RunTool({"--fail-on", "silent-topics", path}).status, 3);
    EXPECT_EQ(RunTool({"--fail-on", "any", path}).status, 3);
    EXPECT_EQ(RunTool({"--fail-on", "stamp-gaps", path}).status, 0);
  }
  // Every document has the list.
  WriteBag(dir.Path("t.bag"),
           [](rosbag::Bag& b) { b.write("/p", ros::Time(1), NumberedCloud(1, ros::Time(1))); });
  EXPECT_EQ(
      nlohmann::json::parse(RunTool({"--json", "-", dir.Path("t.bag")}).out)["silent_cloud_topics"],
      nlohmann::json::array());
}

namespace {

// The messages in the file format mcap_tool.mjs reads.
void WriteMessagesForNode(const std::string& path, const std::vector<Message>& messages) {
  std::string bytes;
  const auto number = [&bytes](auto value) {
    bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
  };
  const auto text = [&](const std::string& value) {
    number(static_cast<std::uint16_t>(value.size()));
    bytes += value;
  };
  for (const Message& m : messages) {
    text(m.topic);
    text(m.type);
    text(m.serialization);
    number(static_cast<std::uint64_t>(m.time_ns));
    number(static_cast<std::uint32_t>(m.data.size()));
    bytes.append(reinterpret_cast<const char*>(m.data.data()), m.data.size());
  }
  WriteFile(path, bytes);
}

RunResult RunNode(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"node", MCAP_JS_TOOL};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(NODE_EXECUTABLE, argv);
}

}  // namespace

TEST(McapCrossCheck, FilesOfTheFormatAuthorsLibraryReadLikeTheRos1Bag) {
  ScratchDir dir;
  const std::string ros1 = dir.Path("odd.bag");
  WriteBag(ros1, WriteOddLayouts);
  const std::string messages = dir.Path("messages.bin");
  WriteMessagesForNode(messages, ros2_bag_writer::MessagesOfRos1Bag(ros1));
  for (const std::vector<std::string>& layout :
       std::vector<std::vector<std::string>>{{"none", "chunks", "index"},
                                             {"zstd", "chunks", "index"},
                                             {"lz4", "chunks", "index"},
                                             {"zstd", "chunks", "no-index"},
                                             {"none", "no-chunks", "no-index"}}) {
    SCOPED_TRACE(::testing::PrintToString(layout));
    const std::string mcap = dir.Path("authors.mcap");
    std::vector<std::string> args = {"write", messages, mcap};
    args.insert(args.end(), layout.begin(), layout.end());
    const RunResult written = RunNode(args);
    ASSERT_EQ(written.status, 0) << written.err;
    for (const std::vector<std::string>& options :
         std::vector<std::vector<std::string>>{{}, {"--json", "-"}, {"-n", "1", "--index", "4:"}}) {
      const RunResult expected = RunTool(With(options, ros1));
      const RunResult run = RunTool(With(options, mcap));
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(run.out, AsMcap(expected.out, ros1, mcap, true));
      EXPECT_EQ(run.err, expected.err);
    }
  }
}

TEST(McapCrossCheck, FilesOfOurWriterPassTheFormatAuthorsIndexedReader) {
  ScratchDir dir;
  const std::string ros1 = dir.Path("odd.bag");
  WriteBag(ros1, WriteOddLayouts);
  const std::vector<Message> messages = ros2_bag_writer::MessagesOfRos1Bag(ros1);
  std::map<std::string, int> counts;
  for (const Message& m : messages) ++counts[m.topic];
  std::string expected;
  for (const auto& [topic, count] : counts) expected += topic + " " + std::to_string(count) + "\n";
  for (const char* compression : {"", "zstd", "lz4"}) {
    for (const bool padded : {false, true}) {
      Options options;
      options.compression = compression;
      options.padded = padded;
      options.attachments = padded;
      const std::string path = dir.Path("ours.mcap");
      mcap_writer::WriteMcap(path, messages, options);
      const RunResult run = RunNode({"check", path});
      EXPECT_EQ(run.status, 0) << compression << padded << run.err;
      EXPECT_EQ(run.out, expected) << compression << padded;
    }
  }
}

TEST(Mcap, ValidFilesWithoutCloudsSayWhatTheyHold) {
  ScratchDir dir;
  std::vector<Message> status = {{"/status", "std_msgs/msg/String", 5, {0, 1, 0, 0, 1, 0, 0, 0}},
                                 {"/raw", "unused", 6, {7}}};
  Options schemaless;
  schemaless.without_schema = {"/raw"};
  Options no_summary;
  no_summary.summary = Summary::kNone;
  const std::string holds =
      "its other topics: /raw (, 1 message), /status (std_msgs/msg/String, "
      "1 message)";
  struct Case {
    const char* what;
    std::function<void(const std::string&)> write;
    std::string says;
  };
  const Case cases[] = {
      {"no messages", [](const std::string& p) { mcap_writer::WriteMcap(p, {}); },
       "it holds no other messages"},
      {"a header and a footer only",
       [](const std::string& p) {
         std::string bytes("\x89MCAP0\r\n\x01\x08\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 25);
         bytes += std::string("\x02\x14\0\0\0\0\0\0\0", 9) + std::string(20, '\0');
         WriteFile(p, bytes + std::string("\x89MCAP0\r\n", 8));
       },
       "it holds no other messages"},
      {"a channel without schema",
       [&](const std::string& p) { mcap_writer::WriteMcap(p, status, schemaless); }, holds},
      {"... and no summary",
       [&](const std::string& p) {
         Options both = schemaless;
         both.summary = Summary::kNone;
         mcap_writer::WriteMcap(p, status, both);
       },
       holds},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir.Path("none.mcap");
    c.write(path);
    const RunResult run = RunTool({"-s", path});
    EXPECT_EQ(run.out, "# no point clouds in '" + path + "'; " + c.says + "\n");
    EXPECT_EQ(run.status, 0) << run.err;
  }
}

TEST(Mcap, MergesWithRos1BagsAndSqliteRecordings) {
  ScratchDir dir;
  const std::string whole = dir.Path("whole.bag");
  WriteBag(whole, WriteOddLayouts);
  // Every third message to each kind of recording.
  std::vector<Message> parts[3];
  int n = 0;
  for (Message& m : ros2_bag_writer::MessagesOfRos1Bag(whole)) parts[n++ % 3].push_back(m);
  const std::string mcap = dir.Path("part.mcap"), sqlite = dir.Path("part_db3");
  const std::string ros1 = dir.Path("part.bag");
  mcap_writer::WriteMcap(mcap, parts[0]);
  ros2_bag_writer::WriteRos2Bag(sqlite, parts[1]);
  WriteBag(ros1, [&](rosbag::Bag& out) {
    rosbag::Bag in(whole, rosbag::bagmode::Read);
    int i = 0;
    for (const rosbag::MessageInstance& m : rosbag::View(in)) {
      if (i++ % 3 == 2) out.write(m.getTopic(), m.getTime(), m);
    }
  });
  const RunResult run = RunTool({"-n", "1", "--merge", sqlite, ros1, mcap});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Replaced(run.out, "sensor_msgs/msg/PointCloud2", "sensor_msgs/PointCloud2"),
            RunTool({"-n", "1", whole}).out);
}

TEST(Mcap, ASummaryOffsetPointingAstrayStillReadsTheWholeDataSection) {
  ScratchDir dir;
  const std::string path = dir.Path("astray.mcap");
  Options options;
  options.messages_per_chunk = 1;
  mcap_writer::WriteMcap(path, ThreeClouds(), options);
  std::string bytes = ReadFile(path);
  // The footer's summary_start names the second chunk instead.
  PutAt<std::uint64_t>(bytes, bytes.size() - 8 - 20, NthRecord(bytes, 6, 1));
  WriteFile(path, bytes);
  const RunResult run = RunTool({path});
  EXPECT_EQ(run.out, ReportOfThree(3));
  EXPECT_EQ(run.status, 0) << run.err;
}
