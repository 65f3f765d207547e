// ROS 1 bags their recorder never closed, or copied part way: walked in file
// order instead of refused, with what was lost said at the end.
#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>

#include "test_support.h"

using namespace test_support;

namespace {

std::uint32_t U32At(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  std::memcpy(&value, bytes.data() + at, 4);
  return value;
}

void PutU32(std::string& bytes, std::size_t at, std::uint32_t value) {
  std::memcpy(&bytes[at], &value, 4);
}

// A record of a bag file: where it starts, its op, where its data starts and
// where it ends.
struct Span {
  std::size_t start, data, end;
  char op;
};

char OpOf(const std::string& bytes, std::size_t header, std::size_t header_size) {
  for (std::size_t at = header; at < header + header_size;) {
    const std::uint32_t length = U32At(bytes, at);
    if (bytes.compare(at + 4, 3, "op=") == 0) return bytes[at + 7];
    at += 4 + length;
  }
  return 0;
}

// The top-level records after the magic, in file order.
std::vector<Span> RecordsOf(const std::string& bytes) {
  std::vector<Span> records;
  for (std::size_t at = 13; at + 8 <= bytes.size();) {
    const std::uint32_t header = U32At(bytes, at);
    const std::size_t data = at + 8 + header;
    if (data > bytes.size()) {  // cut inside its header
      records.push_back({at, data, data, 0});
      break;
    }
    const std::size_t end = data + U32At(bytes, at + 4 + header);
    records.push_back({at, data, end, OpOf(bytes, at + 4, header)});
    at = end;
  }
  return records;
}

// Sets a header field of the record at `record` ("index_pos=" and so on).
void ZeroField(std::string& bytes, const char* field) {
  const std::size_t at = bytes.find(field);
  std::memset(&bytes[at + std::strlen(field)], 0, std::strcmp(field, "index_pos=") == 0 ? 8 : 4);
}

// The bag header as the recorder writes it before it closes the bag.
void ZeroIndex(std::string& bytes) {
  ZeroField(bytes, "index_pos=");
  ZeroField(bytes, "conn_count=");
  ZeroField(bytes, "chunk_count=");
}

// What a killed recorder leaves: the last chunk still open (its header's
// data length 0, its records after it in the file) and no index.
std::string KilledRecorder(std::string bytes) {
  std::vector<Span> records = RecordsOf(bytes);
  Span last{};
  for (const Span& r : records) {
    if (r.op == 0x05) last = r;
  }
  bytes.resize(last.end);
  PutU32(bytes, last.data - 4, 0);
  ZeroIndex(bytes);
  return bytes;
}

std::vector<Span> Chunks(const std::string& bytes) {
  std::vector<Span> chunks;
  for (const Span& r : RecordsOf(bytes)) {
    if (r.op == 0x05) chunks.push_back(r);
  }
  return chunks;
}

// Six clouds on /points, each in a chunk of its own, among IMU messages.
void Clouds(rosbag::Bag& bag) {
  bag.setChunkThreshold(1);
  for (int i = 0; i < 6; ++i) {
    const ros::Time at(100 + i * 0.1);
    bag.write("/points", at, NumberedCloud(3, at));
  }
}

// The first `clouds` header lines of a -n 0 report of the six clouds.
std::string FirstClouds(int clouds) {
  std::string report;
  for (int i = 0; i < clouds; ++i) report += CloudLine(i, 100 + i * 0.1, "/points");
  return report;
}

std::string Note(const std::string& path, int messages, const std::string& lost) {
  return "bag_cloud_dump: '" + path + "' was not closed by its recorder (no index): walked " +
         std::to_string(messages) + " messages in file order; " + lost + "\n";
}

}  // namespace

TEST(UnclosedBag, WalkedUpToWhereItEnds) {
  struct Case {
    const char* what;
    rosbag::compression::CompressionType compression;
    std::function<std::string(const std::string&)> damage;
    int clouds;        // in the report
    std::string lost;  // what the note says was lost; "": rosbag refuses it as today
  };
  const auto cut_in_chunk = [](int k, std::size_t into) {
    return [k, into](const std::string& b) {
      std::string bytes = b;
      ZeroIndex(bytes);
      bytes.resize(Chunks(bytes)[k].data + into);
      return bytes;
    };
  };
  using rosbag::compression::BZ2;
  using rosbag::compression::LZ4;
  using rosbag::compression::Uncompressed;
  const std::vector<Case> cases = {
      {"its index zeroed", Uncompressed,
       [](const std::string& b) {
         std::string bytes = b;
         ZeroIndex(bytes);
         return bytes;
       },
       6, "nothing lost before the end of the file"},
      {"a killed recorder, its last chunk open", Uncompressed, KilledRecorder, 6,
       "nothing lost before the end of the file"},
      {"a killed recorder of bz2 chunks", BZ2, KilledRecorder, 5,
       "the open chunk at byte @5 was compressed (bz2) and cannot be read before it is closed"},
      {"cut between chunks", Uncompressed,
       [](const std::string& b) {
         std::string bytes = b;
         ZeroIndex(bytes);
         bytes.resize(Chunks(bytes)[4].start);
         return bytes;
       },
       4, "nothing lost before the end of the file"},
      {"cut inside a plain chunk", Uncompressed, cut_in_chunk(3, 100), 3,
       "the file ends inside a record at byte #3"},
      {"cut inside a bz2 chunk", BZ2, cut_in_chunk(2, 20), 2,
       "the file ends inside a record at byte @2"},
      {"cut inside an lz4 chunk", LZ4, cut_in_chunk(5, 20), 5,
       "the file ends inside a record at byte @5"},
      {"cut inside the index", Uncompressed,
       [](const std::string& b) { return b.substr(0, b.size() - 30); }, 6,
       "the file ends inside a record at byte @i"},  // the index's last record
      {"cut inside the bag header", Uncompressed,
       [](const std::string& b) { return b.substr(0, 100); }, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    const std::string closed = dir.Path("closed.bag"), path = dir.Path("open.bag");
    WriteBag(closed, Clouds, c.compression);
    const std::string original = ReadFile(closed);
    const std::string bytes = c.damage(original);
    WriteFile(path, bytes);
    const RunResult run = RunTool({"-n", "0", path});
    if (c.lost.empty()) {
      EXPECT_EQ(run.out.rfind(" Bag file open failed, " + path + ", msg = ", 0), 0u) << run.out;
      EXPECT_EQ(run.status, 1);
      continue;
    }
    EXPECT_EQ(run.out, FirstClouds(c.clouds));
    // Where the note says the walk stopped: a chunk's start (@N), its
    // first record's (#N), or the last record's (@i).
    std::string lost = c.lost;
    const std::size_t mark = lost.find_first_of("@#");
    if (mark != std::string::npos) {
      std::size_t at = 0;
      const char what = lost[mark + 1];
      if (what >= '0' && what <= '9') {
        const Span chunk = Chunks(bytes)[what - '0'];
        at = lost[mark] == '@' ? chunk.start : chunk.data;
      } else {
        for (const Span& r : RecordsOf(bytes)) at = r.start;
      }
      lost = lost.substr(0, mark) + std::to_string(at) + lost.substr(mark + 2);
      if (lost.find("the file ends") == 0) lost += " of " + std::to_string(bytes.size());
    }
    EXPECT_EQ(run.err, Note(path, c.clouds, lost));
    EXPECT_EQ(run.status, 1);
  }
}

TEST(UnclosedBag, OptionsApplyToTheWalkInFileOrder) {
  ScratchDir dir;
  const std::string closed = dir.Path("closed.bag"), path = dir.Path("open.bag");
  WriteBag(closed, [](rosbag::Bag& bag) {
    Clouds(bag);
    bag.write("/imu", ros::Time(100.05), ImuAtRest(ros::Time(100.05)));
  });
  WriteFile(path, KilledRecorder(ReadFile(closed)));
  const std::vector<std::vector<std::string>> option_sets = {
      {},
      {"-n", "2"},
      {"-t", "/points"},
      {"--index", "2:3"},
      {"--every", "2"},
      {"--start", "+0.25", "--end", "+0.45"},
      {"-s", "-n", "0"},
  };
  for (const auto& options : option_sets) {
    std::string shown;
    for (const std::string& o : options) shown += o + " ";
    SCOPED_TRACE(shown);
    std::vector<std::string> args = options, closed_args = options;
    args.push_back(path);
    closed_args.push_back(closed);
    const RunResult open = RunTool(args), whole = RunTool(closed_args);
    if (options.size() > 0 && options[0] == "-s") {
      // The summary's first line says the recording is not whole.
      const std::string first = "# '" + path + "' was not closed by its recorder (no index)";
      EXPECT_NE(open.out.find("\n" + first), std::string::npos) << open.out;
      const std::string rest = open.out.substr(open.out.find("# summary of"));
      EXPECT_EQ(rest, whole.out.substr(whole.out.find("# summary of")));
    } else {
      EXPECT_EQ(open.out, whole.out);
    }
    EXPECT_EQ(open.status, 1);
    EXPECT_NE(open.err.find("was not closed by its recorder"), std::string::npos) << open.err;
  }
  // The JSON says it is not complete, and --fail-on does not hide it.
  const RunResult json_run = RunTool({"--json", "-", "--fail-on", "any", path});
  EXPECT_EQ(json_run.status, 1);
  EXPECT_EQ(nlohmann::json::parse(json_run.out)["complete"], false);
  // PCD files of its clouds, as of the closed bag's.
  const RunResult pcd = RunTool({"-n", "0", "--index", "1", "--pcd", dir.Path("pcd"), path});
  EXPECT_EQ(pcd.status, 1);
  EXPECT_EQ(ReadFile(dir.Path("pcd/000001_points_100.100000000.pcd")).empty(), false);
  // Merged with a closed bag, each bag's messages in its own order.
  const std::string later = dir.Path("later.bag");
  WriteBag(later, [](rosbag::Bag& bag) {
    const ros::Time at(100.35);
    bag.write("/other", at, NumberedCloud(2, at));
  });
  const RunResult merged = RunTool({"-n", "0", "--merge", path, later});
  EXPECT_EQ(merged.out, FirstClouds(4) + CloudLine(4, 100.35, "/other") +
                            CloudLine(5, 100.4, "/points") + CloudLine(6, 100.5, "/points"));
  EXPECT_EQ(merged.status, 1);
}

TEST(UnclosedBag, DamageAndUndefinedConnections) {
  ScratchDir dir;
  const std::string closed = dir.Path("closed.bag"), path = dir.Path("open.bag");
  WriteBag(closed, Clouds);
  const std::string killed = KilledRecorder(ReadFile(closed));
  // A message naming a connection no record defined before it: skipped.
  std::string undefined = killed;
  const std::vector<Span> chunks = Chunks(undefined);
  const std::size_t message = undefined.find("conn=", chunks[5].data);
  PutU32(undefined, message + 5, 99);
  WriteFile(path, undefined);
  RunResult run = RunTool({"-n", "0", path});
  EXPECT_EQ(run.out, FirstClouds(5));
  EXPECT_EQ(run.err, Note(path, 5,
                          "nothing lost before the end of the file, 1 message of undefined "
                          "connections skipped"));
  // A compressed chunk whose data is damaged ends the walk there.
  for (auto compression : {rosbag::compression::BZ2, rosbag::compression::LZ4}) {
    WriteBag(closed, Clouds, compression);
    std::string bytes = ReadFile(closed);
    ZeroIndex(bytes);
    const Span chunk = Chunks(bytes)[2];
    for (std::size_t i = chunk.data + 8; i < chunk.end; ++i) bytes[i] ^= 0x5a;
    WriteFile(path, bytes);
    run = RunTool({"-n", "0", path});
    EXPECT_EQ(run.out, FirstClouds(2));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(
        run.err.find("': the record at byte " + std::to_string(chunk.start) + " is damaged: its "),
        std::string::npos)
        << run.err;
  }
  // A header field's length past its header ends the walk, the report kept.
  std::string damaged = killed;
  const std::size_t chunk = Chunks(killed)[3].start;
  PutU32(damaged, chunk + 4, 0x7fffffff);
  WriteFile(path, damaged);
  run = RunTool({"-n", "0", path});
  EXPECT_EQ(run.out, FirstClouds(3));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.rfind("bag_cloud_dump: failed to read '" + path + "' after 3 clouds: '" + path +
                              "': the record at byte " + std::to_string(chunk) + " is damaged: ",
                          0),
            0u)
      << run.err;
}

TEST(UnclosedBag, EncryptedBagsAreRefusedAsBefore) {
  // An encryptor named in the bag header, its key not: rosbag's own words,
  // and an unindexed one is not walked.
  ScratchDir dir;
  const std::string closed = dir.Path("closed.bag"), path = dir.Path("encrypted.bag");
  WriteBag(closed, Clouds);
  for (const bool unindexed : {false, true}) {
    std::string bytes = ReadFile(closed);
    if (unindexed) ZeroIndex(bytes);
    const std::uint32_t header = U32At(bytes, 13);
    const std::string field = "encryptor=rosbag/AesCbcEncryptor";
    std::string extra(4, '\0');
    PutU32(extra, 0, static_cast<std::uint32_t>(field.size()));
    extra += field;
    const std::uint32_t padding = U32At(bytes, 17 + header);
    std::string changed = bytes.substr(0, 13);
    changed.append(4, '\0');
    PutU32(changed, 13, header + static_cast<std::uint32_t>(extra.size()));
    changed += bytes.substr(17, header) + extra;
    changed.append(4, '\0');
    PutU32(changed, changed.size() - 4, padding - static_cast<std::uint32_t>(extra.size()));
    changed += std::string(padding - extra.size(), ' ') + bytes.substr(17 + header + 4 + padding);
    WriteFile(path, changed);
    const RunResult run = RunTool({"-n", "0", path});
    EXPECT_EQ(run.out,
              " Bag file open failed, " + path + ", msg = " +
                  (unindexed ? "Bag unindexed" : "Encrypted symmetric key is not found in header") +
                  "\n");
    EXPECT_EQ(run.status, 1);
  }
}
