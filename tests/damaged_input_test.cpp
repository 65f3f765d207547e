// Bags that open but go bad part way: the report so far stays, the reason is
// on stderr, the status says it failed.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "test_support.h"

using namespace test_support;

namespace {

// Offset of the n-th (0-based) occurrence of `needle` in `bytes`.
std::size_t NthOffset(const std::string& bytes, const std::string& needle, int n) {
  std::size_t at = bytes.find(needle);
  for (int i = 0; i < n && at != std::string::npos; ++i) at = bytes.find(needle, at + 1);
  if (at == std::string::npos) throw std::runtime_error("pattern not found");
  return at;
}

}  // namespace

TEST(DamagedInput, CorruptMessageMidBagKeepsEarlierCloudsAndFails) {
  ScratchDir dir;
  const std::string path = dir.Path("t.bag");
  WriteBag(path, [](rosbag::Bag& bag) {
    for (int i = 0; i < 3; ++i)
      bag.write("/points", ros::Time(1 + i, 0), NumberedCloud(2, ros::Time(1 + i, 0)));
  });
  // Give the second cloud's frame_id a length far beyond its record; the
  // bag's index stays intact.
  std::string bytes = ReadFile(path);
  const std::string frame_id("\x05\0\0\0lidar", 9);
  bytes.replace(NthOffset(bytes, frame_id, 1), 4, "\xff\xff\xff\x7f");
  WriteFile(path, bytes);

  const RunResult run = RunTool({path});
  EXPECT_EQ(run.out, NumberedCloudReport(0, 1, "/points", 2));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
  EXPECT_EQ(run.err.rfind("bag_cloud_dump: failed to read '" + path + "' after 1 cloud: ", 0), 0u)
      << run.err;
}

namespace {

// One top-level record of a bag file (format 2.0).
struct Record {
  std::size_t start;   // offset of the header length
  std::size_t header;  // offset of the first header field
  std::uint32_t header_len;
  std::size_t data;  // offset of the data
  std::uint32_t data_len;
  int op;
};

std::uint32_t U32(const std::string& bytes, std::size_t at) {
  std::uint32_t value;
  std::memcpy(&value, bytes.data() + at, 4);
  return value;
}

void PutU32(std::string& bytes, std::size_t at, std::uint32_t value) {
  if (at + 4 > bytes.size()) throw std::out_of_range("PutU32 past the end");
  std::memcpy(&bytes[at], &value, 4);
}

// The value offset of header field `name` in a record, or npos.
std::size_t FieldValue(const std::string& bytes, const Record& record, const std::string& name) {
  std::size_t at = record.header;
  while (at + 4 <= record.header + record.header_len) {
    const std::uint32_t len = U32(bytes, at);
    const std::string field = bytes.substr(at + 4, len);
    if (field.compare(0, name.size() + 1, name + "=") == 0) return at + 4 + name.size() + 1;
    at += 4 + len;
  }
  return std::string::npos;
}

std::vector<Record> TopLevelRecords(const std::string& bytes) {
  std::vector<Record> records;
  std::size_t at = std::string("#ROSBAG V2.0\n").size();
  while (at + 8 <= bytes.size()) {
    Record record;
    record.start = at;
    record.header_len = U32(bytes, at);
    record.header = at + 4;
    record.data = record.header + record.header_len + 4;
    record.data_len = U32(bytes, record.header + record.header_len);
    record.op = 0;
    const std::size_t op = FieldValue(bytes, record, "op");
    if (op != std::string::npos) record.op = static_cast<unsigned char>(bytes[op]);
    records.push_back(record);
    at = record.data + record.data_len;
  }
  return records;
}

// Records inside a chunk can be located only when it is stored uncompressed.
bool Uncompressed(const std::string& bytes, const Record& chunk) {
  return bytes.compare(FieldValue(bytes, chunk, "compression"), 4, "none") == 0;
}

const Record& Nth(const std::vector<Record>& records, int op, int n) {
  for (const Record& record : records) {
    if (record.op == op && n-- == 0) return record;
  }
  throw std::runtime_error("no such record");
}

#ifdef BAG_CLOUD_DUMP_SANITIZED
constexpr bool kSanitizedBuild = true;
#else
constexpr bool kSanitizedBuild = false;
#endif

constexpr int kChunk = 5, kConnection = 7, kIndex = 4;

// Four chunks of one sweep each, so damage can land in the middle.
void WriteFourChunks(const std::string& path, rosbag::compression::CompressionType compression) {
  WriteBag(
      path,
      [](rosbag::Bag& bag) {
        bag.setChunkThreshold(1);
        for (int i = 0; i < 4; ++i) {
          bag.write("/points", ros::Time(10 + i, 0),
                    cloud_builder::MakeSweep(8, 50, ros::Time(10 + i, 0), i));
        }
      },
      compression);
}

// A damaged bag must end with exit status 1 and either the open-failure line
// or a prefix of the intact report, cut at a cloud, and a failure line on
// stderr after any lines the bag library logged. Damage to bytes the reader
// never needs may also go unnoticed, with the whole report and status 0.
void ExpectCleanFailure(const std::string& path, const std::string& intact_report) {
  const RunResult run = RunTool({path});
  if (run.status == 0 && run.out == intact_report && run.err.empty()) return;
  EXPECT_EQ(run.status, 1) << run.err;
  if (run.out.rfind(" Bag file open failed, " + path + ", msg = ", 0) == 0) {
    EXPECT_EQ(Lines(run.out).size(), 1u) << run.out;
    for (const std::string& line : Lines(run.err)) {
      EXPECT_EQ(line.rfind("bag_cloud_dump: bag library: ", 0), 0u) << run.err;
    }
    return;
  }
  EXPECT_EQ(intact_report.compare(0, run.out.size(), run.out), 0) << run.out;
  const std::string rest = intact_report.substr(run.out.size());
  EXPECT_TRUE(rest.empty() || rest.compare(0, 14, std::string(14, ' ')) == 0) << "cut mid-cloud";
  const std::vector<std::string> errors = Lines(run.err);
  ASSERT_FALSE(errors.empty());
  for (std::size_t i = 0; i + 1 < errors.size(); ++i) {
    EXPECT_EQ(errors[i].rfind("bag_cloud_dump: bag library: ", 0), 0u) << run.err;
  }
  // A bag whose index rosbag cannot use is walked record by record, and
  // ends with what was lost.
  EXPECT_TRUE(
      errors.back().rfind("bag_cloud_dump: failed to read '" + path + "' after ", 0) == 0 ||
      errors.back().rfind(
          "bag_cloud_dump: '" + path + "' was not closed by its recorder (no index): ", 0) == 0)
      << run.err;
}

struct Damage {
  const char* what;
  std::function<void(std::string&, const std::vector<Record>&)> apply;
  // rosbag (cpp_common's header parser) then reads past its buffer. The tool
  // contains that, but AddressSanitizer reports it from inside the library,
  // so sanitizer builds skip these cases.
  bool library_reads_out_of_bounds = false;
};

const std::vector<Damage>& Damages() {
  static const std::vector<Damage> damages = {
      {"truncated in the second chunk",
       [](std::string& b, const std::vector<Record>& r) { b.resize(Nth(r, kChunk, 1).data + 40); }},
      {"truncated before the index",
       [](std::string& b, const std::vector<Record>& r) {
         b.resize(Nth(r, kConnection, 0).start + 3);
       }},
      {"file header's index position past the end",
       [](std::string& b, const std::vector<Record>& r) {
         PutU32(b, FieldValue(b, r[0], "index_pos"), 0x7fffff00);
       }},
      {"file header's first field longer than the header (found by fuzzing)",
       [](std::string& b, const std::vector<Record>& r) { PutU32(b, r[0].header, 0x10000); }, true},
      {"bag still marked unindexed",
       [](std::string& b, const std::vector<Record>& r) {
         PutU32(b, FieldValue(b, r[0], "index_pos"), 0);
         PutU32(b, FieldValue(b, r[0], "index_pos") + 4, 0);
       }},
      {"chunk header's data length huge",
       [](std::string& b, const std::vector<Record>& r) {
         PutU32(b, Nth(r, kChunk, 1).data - 4, 0xfffffff0);
       }},
      {"chunk's uncompressed size huge",
       [](std::string& b, const std::vector<Record>& r) {
         PutU32(b, FieldValue(b, Nth(r, kChunk, 2), "size"), 0xfffffff0);
       }},
      {"connection record's header length huge",
       [](std::string& b, const std::vector<Record>& r) {
         PutU32(b, Nth(r, kConnection, 0).start, 0xfffffff0);
       }},
      {"index record's count huge",
       [](std::string& b, const std::vector<Record>& r) {
         PutU32(b, FieldValue(b, Nth(r, kIndex, 1), "count"), 0xfffffff0);
       }},
      {"message record header length huge inside a chunk",
       [](std::string& b, const std::vector<Record>& r) {
         const Record& chunk = Nth(r, kChunk, 2);
         if (Uncompressed(b, chunk)) PutU32(b, chunk.data, 0xfffffff0);
       }},
      {"message data length huge inside a chunk",
       [](std::string& b, const std::vector<Record>& r) {
         const Record& chunk = Nth(r, kChunk, 2);
         if (Uncompressed(b, chunk)) PutU32(b, chunk.data + 4 + U32(b, chunk.data), 0xfffffff0);
       }},
      {"index entry pointing far outside its chunk",
       [](std::string& b, const std::vector<Record>& r) {
         PutU32(b, Nth(r, kIndex, 1).data + 8, 0x7ffffff0);
       }},
      {"chunk payload overwritten",
       [](std::string& b, const std::vector<Record>& r) {
         const Record& chunk = Nth(r, kChunk, 1);
         for (std::size_t i = chunk.data + 20; i < chunk.data + 400 && i < b.size(); ++i)
           b[i] ^= 0x5a;
       }},
  };
  return damages;
}

}  // namespace

TEST(DamagedInput, EveryKindOfDamageEndsCleanly) {
  for (auto compression :
       {rosbag::compression::Uncompressed, rosbag::compression::BZ2, rosbag::compression::LZ4}) {
    ScratchDir dir;
    const std::string good = dir.Path("good.bag");
    WriteFourChunks(good, compression);
    const RunResult intact = RunTool({good});
    ASSERT_EQ(intact.status, 0);
    const std::string bytes = ReadFile(good);
    const std::vector<Record> records = TopLevelRecords(bytes);
    for (const Damage& damage : Damages()) {
      if (damage.library_reads_out_of_bounds && kSanitizedBuild) continue;
      SCOPED_TRACE(std::string(damage.what) + ", compression " + std::to_string(compression));
      std::string damaged = bytes;
      damage.apply(damaged, records);
      const std::string path = dir.Path("damaged.bag");
      WriteFile(path, damaged);
      ExpectCleanFailure(path, intact.out);
    }
  }
}

TEST(DamagedInput, CrashInsideTheBagLibraryIsContained) {
  // An index entry pointing far past its chunk makes rosbag read outside its
  // buffer; the tool reports that as one line and keeps the clouds before it.
  ScratchDir dir;
  const std::string path = dir.Path("t.bag");
  WriteFourChunks(path, rosbag::compression::LZ4);
  const RunResult intact = RunTool({path});
  std::string bytes = ReadFile(path);
  PutU32(bytes, Nth(TopLevelRecords(bytes), kIndex, 2).data + 8, 0x7ffffff0);
  WriteFile(path, bytes);

  const RunResult run = RunTool({path});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, intact.out.substr(0, 2 * intact.out.size() / 4));
  EXPECT_EQ(run.err, "bag_cloud_dump: failed to read '" + path +
                         "' after 2 clouds: the reader crashed (Segmentation fault) at message 3 "
                         "of the bag\n");
}
