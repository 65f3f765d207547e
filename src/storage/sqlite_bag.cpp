#include "sqlite_bag.h"

#include "cdr_cloud.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include <boost/make_shared.hpp>

const char* const kRos2PointCloud2Type = "sensor_msgs/msg/PointCloud2";

namespace {

struct SqliteCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
  void operator()(sqlite3_blob* blob) const { sqlite3_blob_close(blob); }
};
using SqliteDatabase = std::unique_ptr<sqlite3, SqliteCloser>;
using SqliteStatement = std::unique_ptr<sqlite3_stmt, SqliteCloser>;
using SqliteBlob = std::unique_ptr<sqlite3_blob, SqliteCloser>;

struct Ros2Topic {
  std::string name;
  std::string type;
  bool cloud = false;  // a PointCloud2 in CDR
  bool qos_stored = false;
  std::string offered_qos;
};

// One .db3 file of a recording.
struct Ros2File {
  std::string path;  // as found, for messages
  SqliteDatabase db;
  std::map<std::int64_t, Ros2Topic> topics;  // by the file's own topic ids
  std::int64_t first_time = 0;               // its earliest message in ns; max when empty
};

// A path as an SQLite URI that opens it read-only and immutable, so that
// SQLite writes nothing, takes no locks and reads a write-protected file or
// a read-only disk.
std::string ImmutableUri(const std::string& path) {
  std::string uri = path.compare(0, 1, "/") == 0 ? "file://" : "file:";
  for (const unsigned char c : path) {
    if (std::isalnum(c) || std::strchr("/._-~", c) != nullptr) {
      uri += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      uri += escaped;
    }
  }
  return uri + "?immutable=1";
}

SqliteStatement Prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
    sqlite3_finalize(statement);
    throw std::runtime_error(sqlite3_errmsg(db));
  }
  return SqliteStatement(statement);
}

// Steps a statement; false when it has no more rows.
bool Step(sqlite3_stmt* statement) {
  const int result = sqlite3_step(statement);
  if (result == SQLITE_ROW) return true;
  if (result == SQLITE_DONE) return false;
  throw std::runtime_error(sqlite3_errmsg(sqlite3_db_handle(statement)));
}

std::string ColumnText(sqlite3_stmt* statement, int column) {
  const unsigned char* text = sqlite3_column_text(statement, column);
  return text == nullptr ? "" : reinterpret_cast<const char*>(text);
}

// Decompresses a zstd-compressed file into a new temporary file; returns ""
// or why it could not. The caller removes `temporary` once it is open.
std::string DecompressToTemporaryFile(const std::string& path, std::string& temporary) {
  const char* dir = std::getenv("TMPDIR");
  std::string pattern =
      std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/bag_cloud_dump-XXXXXX";
  const int out = mkstemp(&pattern[0]);
  if (out < 0)
    return "cannot make a temporary file to decompress it into: " + std::string(strerror(errno));
  temporary = pattern;
  FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) {
    close(out);
    return strerror(errno);
  }
  std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> context(ZSTD_createDCtx(), ZSTD_freeDCtx);
  std::vector<char> in_buffer(ZSTD_DStreamInSize()), out_buffer(ZSTD_DStreamOutSize());
  std::string problem;
  std::size_t last = 0;
  std::size_t read = 0;
  while (problem.empty() && (read = std::fread(in_buffer.data(), 1, in_buffer.size(), in)) > 0) {
    ZSTD_inBuffer input = {in_buffer.data(), read, 0};
    while (problem.empty() && input.pos < input.size) {
      ZSTD_outBuffer output = {out_buffer.data(), out_buffer.size(), 0};
      last = ZSTD_decompressStream(context.get(), &output, &input);
      if (ZSTD_isError(last)) {
        problem = std::string("zstd: ") + ZSTD_getErrorName(last);
      } else if (write(out, out_buffer.data(), output.pos) != static_cast<ssize_t>(output.pos)) {
        problem = "cannot write its decompressed copy to '" + temporary + "': " + strerror(errno);
      }
    }
  }
  if (problem.empty() && std::ferror(in)) problem = strerror(errno);
  if (problem.empty() && last != 0) problem = "zstd: the compressed file ends early";
  std::fclose(in);
  close(out);
  return problem;
}

// Opens one .db3 file (decompressing it first when `zstd`) and reads its
// topics and its first message's time.
std::string OpenFile(const std::string& path, bool zstd, Ros2File& file) {
  file.path = path;
  std::string temporary;
  if (zstd) {
    const std::string problem = DecompressToTemporaryFile(path, temporary);
    if (!problem.empty()) {
      if (!temporary.empty()) unlink(temporary.c_str());
      return "'" + path + "': " + problem;
    }
  }
  sqlite3* db = nullptr;
  const int opened = sqlite3_open_v2(ImmutableUri(zstd ? temporary : path).c_str(), &db,
                                     SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
  file.db.reset(db);
  std::string problem;
  if (opened != SQLITE_OK) {
    problem = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
  } else {
    try {
      // Recordings before rosbag2 kept the publishers' QoS have no such column.
      SqliteStatement topics;
      bool qos_stored = true;
      try {
        topics = Prepare(
            db, "SELECT id, name, type, serialization_format, offered_qos_profiles FROM topics");
      } catch (const std::runtime_error&) {
        topics = Prepare(db, "SELECT id, name, type, serialization_format FROM topics");
        qos_stored = false;
      }
      while (Step(topics.get())) {
        Ros2Topic& topic = file.topics[sqlite3_column_int64(topics.get(), 0)];
        topic.name = ColumnText(topics.get(), 1);
        topic.type = ColumnText(topics.get(), 2);
        topic.cloud = topic.type == kRos2PointCloud2Type && ColumnText(topics.get(), 3) == "cdr";
        topic.qos_stored = qos_stored;
        if (qos_stored) topic.offered_qos = DescribeOfferedQos(ColumnText(topics.get(), 4));
      }
      SqliteStatement first = Prepare(db, "SELECT MIN(timestamp) FROM messages");
      // An empty file sorts last.
      file.first_time = std::numeric_limits<std::int64_t>::max();
      if (Step(first.get()) && sqlite3_column_type(first.get(), 0) != SQLITE_NULL) {
        file.first_time = sqlite3_column_int64(first.get(), 0);
      }
    } catch (const std::runtime_error& e) {
      problem = e.what();
    }
  }
  // The decompressed copy stays readable through SQLite's open descriptor.
  if (!temporary.empty()) unlink(temporary.c_str());
  return problem.empty() ? "" : "'" + path + "': " + problem;
}

// The WHERE clause of a walk: the time window and, when asked, the ids of
// the requested topics. Empty when none of the topics is in the file.
std::string MessageFilter(const Ros2File& file, const std::vector<std::string>& topics) {
  std::string where = " WHERE timestamp BETWEEN ?1 AND ?2";
  if (topics.empty()) return where;
  std::string ids;
  for (const auto& [id, topic] : file.topics) {
    if (std::find(topics.begin(), topics.end(), topic.name) == topics.end()) continue;
    ids += (ids.empty() ? "" : ",") + std::to_string(id);
  }
  return ids.empty() ? "" : where + " AND topic_id IN (" + ids + ")";
}

void BindWindow(sqlite3_stmt* statement, std::int64_t start_ns, std::int64_t end_ns) {
  sqlite3_bind_int64(statement, 1, start_ns);
  sqlite3_bind_int64(statement, 2, end_ns);
}

// No PointCloud2 holds more: its lengths are 32-bit.
const std::size_t kLargestMessage = std::size_t{1} << 32;

// Decompresses one zstd frame into `out`, growing it only as the frame
// really yields bytes (a frame's declared size is not trusted). Returns ""
// or why it could not.
std::string DecompressMessage(const void* data, std::size_t size, std::vector<std::uint8_t>& out) {
  std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> context(ZSTD_createDCtx(), ZSTD_freeDCtx);
  ZSTD_inBuffer input = {data, size, 0};
  std::size_t produced = 0;
  std::size_t last = 1;
  if (out.size() < ZSTD_DStreamOutSize()) out.resize(ZSTD_DStreamOutSize());
  while (last != 0) {
    if (produced == out.size()) {
      if (out.size() > kLargestMessage) return "zstd: the message decompresses to over 4 GiB";
      out.resize(out.size() * 2);
    }
    ZSTD_outBuffer output = {out.data() + produced, out.size() - produced, 0};
    last = ZSTD_decompressStream(context.get(), &output, &input);
    if (ZSTD_isError(last)) return std::string("zstd: ") + ZSTD_getErrorName(last);
    produced += output.pos;
    if (last != 0 && input.pos == input.size && output.pos < output.size) {
      return "zstd: the compressed message ends early";
    }
  }
  out.resize(produced);
  return "";
}

// The messages of one file in timestamp order (ties by id). Message bytes
// are read only when asked for.
class FileCursor : public MessageCursor {
 public:
  FileCursor(const Ros2File& file, bool compressed, const std::string& where,
             const MessageQuery& query)
      : file_(file), compressed_(compressed) {
    // Ordering only the ids and times keeps the message bytes out of
    // SQLite's sorter when the table has no index on timestamp.
    rows_ = Prepare(file.db.get(), "SELECT id, topic_id, timestamp, length(data) FROM messages" +
                                       where + " ORDER BY timestamp, id");
    BindWindow(rows_.get(), query.start_ns, query.end_ns);
  }

  bool Next() override {
    if (!Step(rows_.get())) return false;
    sqlite3_stmt* row = rows_.get();
    id_ = sqlite3_column_int64(row, 0);
    message_.time_ns = sqlite3_column_int64(row, 2);
    bytes_ = sqlite3_column_int64(row, 3);
    const auto topic = file_.topics.find(sqlite3_column_int64(row, 1));
    if (topic == file_.topics.end()) {
      throw std::runtime_error("message " + std::to_string(id_) + " of '" + file_.path +
                               "' names topic id " + std::to_string(sqlite3_column_int64(row, 1)) +
                               ", which its topics table lacks");
    }
    topic_ = &topic->second;
    message_.topic = &topic_->name;
    message_.datatype = &topic_->type;
    message_.cloud = topic_->cloud;
    return true;
  }
  const StoredMessage& Message() const override { return message_; }
  std::uint64_t Bytes() override { return static_cast<std::uint64_t>(bytes_); }

  boost::shared_ptr<sensor_msgs::PointCloud2> DecodeCloud(
      std::vector<std::uint8_t>& scratch) override {
    const SerializedMessage bytes = Serialized(scratch);
    auto cloud = boost::make_shared<sensor_msgs::PointCloud2>();
    const std::string problem = ReadCdrCloud(bytes.data, bytes.size, *cloud);
    if (!problem.empty()) {
      throw std::runtime_error("message " + std::to_string(id_) + " on " + topic_->name + " in '" +
                               file_.path + "': " + problem);
    }
    return cloud;
  }

  SerializedMessage Serialized(std::vector<std::uint8_t>& scratch) override {
    ReadCurrentBytes();
    if (!compressed_) return {bytes_read_.data(), static_cast<std::uint64_t>(bytes_), true};
    const std::string problem =
        DecompressMessage(bytes_read_.data(), static_cast<std::size_t>(bytes_), scratch);
    if (!problem.empty()) {
      throw std::runtime_error("message " + std::to_string(id_) + " on " + topic_->name + " in '" +
                               file_.path + "': " + problem);
    }
    return {scratch.data(), scratch.size(), true};
  }

 private:
  // Reads the current message's bytes into a buffer kept from message to
  // message: SQLite would allocate (and the system fault in) a fresh one
  // for every message.
  void ReadCurrentBytes() {
    sqlite3* db = file_.db.get();
    int result = SQLITE_OK;
    if (data_) {
      result = sqlite3_blob_reopen(data_.get(), id_);
    } else {
      sqlite3_blob* blob = nullptr;
      result = sqlite3_blob_open(db, "main", "messages", "data", id_, 0, &blob);
      data_.reset(blob);
    }
    const int size = result == SQLITE_OK ? sqlite3_blob_bytes(data_.get()) : 0;
    if (result == SQLITE_OK) {
      if (bytes_read_.size() < static_cast<std::size_t>(size)) bytes_read_.resize(size);
      result = sqlite3_blob_read(data_.get(), bytes_read_.data(), size, 0);
    }
    if (result != SQLITE_OK) {
      // A blob handle that failed is closed; the next message opens a new one.
      data_.reset();
      throw std::runtime_error("message " + std::to_string(id_) + " of '" + file_.path +
                               "': " + sqlite3_errmsg(db));
    }
    bytes_ = size;
  }

  const Ros2File& file_;
  bool compressed_;
  SqliteStatement rows_;  // id, topic_id, timestamp, length(data)
  SqliteBlob data_;       // the data of one message, moved from message to message
  std::vector<std::uint8_t> bytes_read_;
  std::int64_t id_ = 0;
  std::int64_t bytes_ = 0;
  const Ros2Topic* topic_ = nullptr;
  StoredMessage message_;
};

// Messages per topic id over the whole file.
std::map<std::int64_t, std::uint64_t> MessagesPerTopic(const Ros2File& file) {
  std::map<std::int64_t, std::uint64_t> counts;
  SqliteStatement rows =
      Prepare(file.db.get(), "SELECT topic_id, COUNT(*) FROM messages GROUP BY topic_id");
  while (Step(rows.get())) {
    counts[sqlite3_column_int64(rows.get(), 0)] =
        static_cast<std::uint64_t>(sqlite3_column_int64(rows.get(), 1));
  }
  return counts;
}

class SqliteBag : public BagReader {
 public:
  std::vector<StoredTopic> Topics() override {
    TopicsByName topics;
    for (const Ros2File& file : files) {
      const std::map<std::int64_t, std::uint64_t> counts = MessagesPerTopic(file);
      for (const auto& [id, topic] : file.topics) {
        StoredTopic& stored = topics[{topic.name, topic.type}];
        stored.name = topic.name;
        stored.type = topic.type;
        stored.cloud = topic.cloud;
        const auto count = counts.find(id);
        stored.messages += count == counts.end() ? 0 : count->second;
        if (topic.qos_stored && !stored.qos_stored) {
          stored.qos_stored = true;
          stored.offered_qos = topic.offered_qos;
        }
      }
    }
    return ListOf(std::move(topics));
  }

  std::int64_t FirstRecordTime() override {
    std::int64_t first = std::numeric_limits<std::int64_t>::max();
    for (const Ros2File& file : files) first = std::min(first, file.first_time);
    return first == std::numeric_limits<std::int64_t>::max() ? 0 : first;
  }

  std::unique_ptr<MessageCursor> Walk(const MessageQuery& query) override {
    std::vector<std::unique_ptr<MessageCursor>> cursors;
    for (const Ros2File& file : files) {
      const std::string where = MessageFilter(file, query.topics);
      if (!where.empty()) {
        cursors.push_back(std::make_unique<FileCursor>(file, compressed_messages, where, query));
      }
    }
    return MergeCursors(std::move(cursors));
  }

  std::uint64_t CountMessages(const MessageQuery& query) override {
    std::uint64_t total = 0;
    for (const Ros2File& file : files) {
      const std::string where = MessageFilter(file, query.topics);
      if (where.empty()) continue;
      SqliteStatement count = Prepare(file.db.get(), "SELECT COUNT(*) FROM messages" + where);
      BindWindow(count.get(), query.start_ns, query.end_ns);
      if (Step(count.get()))
        total += static_cast<std::uint64_t>(sqlite3_column_int64(count.get(), 0));
    }
    return total;
  }

  std::vector<Ros2File> files;  // in the order of their first messages
  bool compressed_messages = false;
};

}  // namespace

std::unique_ptr<BagReader> OpenSqliteBag(const Rosbag2Directory& directory, std::string& problem) {
  auto bag = std::make_unique<SqliteBag>();
  bag->compressed_messages = directory.compressed_messages;
  for (const std::string& name : directory.files) {
    bag->files.emplace_back();
    problem = OpenFile(name, directory.compressed_files, bag->files.back());
    if (!problem.empty()) return nullptr;
  }
  // Split recordings are walked in the order of their files' first
  // messages, whatever the files are called.
  std::stable_sort(bag->files.begin(), bag->files.end(), [](const Ros2File& a, const Ros2File& b) {
    return a.first_time < b.first_time;
  });
  return bag;
}
