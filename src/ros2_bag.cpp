#include "ros2_bag.h"

#include "cdr_cloud.h"

#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>
#include <zstd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>

const char* const kRos2PointCloud2Type = "sensor_msgs/msg/PointCloud2";

void SqliteCloser::operator()(sqlite3* db) const { sqlite3_close_v2(db); }
void SqliteCloser::operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
void SqliteCloser::operator()(sqlite3_blob* blob) const { sqlite3_blob_close(blob); }

namespace {

const char kSqliteMagic[] = "SQLite format 3";  // and its NUL: 16 bytes
const char kMcapMagic[] = "\x89MCAP0\r\n";
const unsigned char kZstdMagic[] = {0x28, 0xB5, 0x2F, 0xFD};

const char* const kMcapRefused =
    "MCAP storage is not supported; ROS 1 bags and rosbag2 sqlite3 (.db3) bags are";

bool IsDirectory(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The first bytes of a file; fewer when it is shorter or unreadable.
std::string FileStart(const std::string& path, std::size_t bytes) {
  std::string start(bytes, '\0');
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return "";
  start.resize(std::fread(&start[0], 1, bytes, file));
  std::fclose(file);
  return start;
}

bool StartsWith(const std::string& text, const char* prefix, std::size_t length) {
  return text.size() >= length && text.compare(0, length, prefix, length) == 0;
}

bool IsSqlite(const std::string& start) { return StartsWith(start, kSqliteMagic, 16); }
bool IsMcap(const std::string& start) { return StartsWith(start, kMcapMagic, 8); }
bool IsZstd(const std::string& start) {
  return StartsWith(start, reinterpret_cast<const char*>(kZstdMagic), 4);
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The names in a folder that end with `suffix`, sorted.
std::vector<std::string> FilesEndingWith(const std::string& dir, const std::string& suffix) {
  std::vector<std::string> names;
  DIR* folder = opendir(dir.c_str());
  if (folder == nullptr) return names;
  while (const dirent* entry = readdir(folder)) {
    if (EndsWith(entry->d_name, suffix)) names.push_back(dir + "/" + entry->d_name);
  }
  closedir(folder);
  std::sort(names.begin(), names.end());
  return names;
}

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
      SqliteStatement topics =
          Prepare(db, "SELECT id, name, type, serialization_format FROM topics");
      while (Step(topics.get())) {
        Ros2Topic& topic = file.topics[sqlite3_column_int64(topics.get(), 0)];
        topic.name = ColumnText(topics.get(), 1);
        topic.type = ColumnText(topics.get(), 2);
        topic.cloud = topic.type == kRos2PointCloud2Type && ColumnText(topics.get(), 3) == "cdr";
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

struct Metadata {
  std::vector<std::string> files;  // relative to the directory; empty: not listed
  bool compressed_files = false;
  bool compressed_messages = false;
};

// Reads what the walk needs of a recording's metadata.yaml; returns "" or
// why the recording cannot be read.
std::string ReadMetadata(const std::string& path, Metadata& metadata) {
  try {
    const YAML::Node info = YAML::LoadFile(path)["rosbag2_bagfile_information"];
    if (!info.IsMap()) return "'" + path + "' has no rosbag2_bagfile_information";
    const std::string storage = info["storage_identifier"].as<std::string>("sqlite3");
    if (storage == "mcap") return kMcapRefused + std::string(" read");
    if (storage != "sqlite3") {
      return "storage '" + storage + "' is not supported; only sqlite3 is";
    }
    for (const YAML::Node& file : info["relative_file_paths"]) {
      metadata.files.push_back(file.as<std::string>());
    }
    const std::string format = info["compression_format"].as<std::string>("");
    std::string mode = info["compression_mode"].as<std::string>("");
    std::transform(mode.begin(), mode.end(), mode.begin(), ::tolower);
    if (!format.empty() && mode != "none" && !mode.empty()) {
      if (format != "zstd") return "compression '" + format + "' is not supported; only zstd is";
      if (mode != "file" && mode != "message") {
        return "compression mode '" + mode + "' is not known";
      }
      metadata.compressed_files = mode == "file";
      metadata.compressed_messages = mode == "message";
    }
  } catch (const YAML::Exception& e) {
    return "'" + path + "': " + e.what();
  }
  return "";
}

// The .db3 files of a recording's directory, and how they are compressed.
std::string FilesOfDirectory(const std::string& dir, Metadata& metadata) {
  const std::string metadata_path = dir + "/metadata.yaml";
  if (access(metadata_path.c_str(), F_OK) == 0) {
    std::string problem = ReadMetadata(metadata_path, metadata);
    if (!problem.empty()) return problem;
    for (std::string& file : metadata.files) file = dir + "/" + file;
  }
  if (metadata.files.empty()) {
    metadata.files = FilesEndingWith(dir, metadata.compressed_files ? ".db3.zstd" : ".db3");
  }
  if (metadata.files.empty()) {
    if (!FilesEndingWith(dir, ".mcap").empty()) return kMcapRefused + std::string(" read");
    return "no .db3 files in the directory";
  }
  return "";
}

}  // namespace

bool IsRos2Recording(const std::string& path) {
  if (IsDirectory(path)) return true;
  const std::string start = FileStart(path, 16);
  return IsSqlite(start) || IsMcap(start) || IsZstd(start);
}

std::string OpenRos2Bag(const std::string& path, Ros2Bag& bag) {
  Metadata metadata;
  if (IsDirectory(path)) {
    std::string problem = FilesOfDirectory(path, metadata);
    if (!problem.empty()) return problem;
  } else {
    const std::string start = FileStart(path, 16);
    if (IsMcap(start)) return kMcapRefused + std::string(" read");
    metadata.compressed_files = IsZstd(start);
    metadata.files.push_back(path);
  }
  bag.compressed_messages = metadata.compressed_messages;
  for (const std::string& name : metadata.files) {
    bag.files.emplace_back();
    std::string problem = OpenFile(name, metadata.compressed_files, bag.files.back());
    if (!problem.empty()) return problem;
  }
  // Split recordings are walked in the order of their files' first
  // messages, whatever the files are called.
  std::stable_sort(bag.files.begin(), bag.files.end(), [](const Ros2File& a, const Ros2File& b) {
    return a.first_time < b.first_time;
  });
  return "";
}

namespace {

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

}  // namespace

bool StartCursor(const Ros2File& file, bool compressed, const std::vector<std::string>& topics,
                 std::int64_t start_ns, std::int64_t end_ns, Ros2Cursor& cursor) {
  const std::string where = MessageFilter(file, topics);
  if (where.empty()) return false;
  cursor.file = &file;
  cursor.compressed = compressed;
  // Ordering only the ids and times keeps the message bytes out of SQLite's
  // sorter when the table has no index on timestamp.
  cursor.rows =
      Prepare(file.db.get(), "SELECT id, topic_id, timestamp, length(data) FROM messages" + where +
                                 " ORDER BY timestamp, id");
  BindWindow(cursor.rows.get(), start_ns, end_ns);
  return true;
}

bool NextMessage(Ros2Cursor& cursor) {
  if (!Step(cursor.rows.get())) return false;
  sqlite3_stmt* row = cursor.rows.get();
  cursor.id = sqlite3_column_int64(row, 0);
  cursor.timestamp = sqlite3_column_int64(row, 2);
  cursor.bytes = sqlite3_column_int64(row, 3);
  const auto topic = cursor.file->topics.find(sqlite3_column_int64(row, 1));
  if (topic == cursor.file->topics.end()) {
    throw std::runtime_error("message " + std::to_string(cursor.id) + " of '" + cursor.file->path +
                             "' names topic id " + std::to_string(sqlite3_column_int64(row, 1)) +
                             ", which its topics table lacks");
  }
  cursor.topic = &topic->second;
  return true;
}

std::uint64_t CountFileMessages(const Ros2File& file, const std::vector<std::string>& topics,
                                std::int64_t start_ns, std::int64_t end_ns) {
  const std::string where = MessageFilter(file, topics);
  if (where.empty()) return 0;
  SqliteStatement count = Prepare(file.db.get(), "SELECT COUNT(*) FROM messages" + where);
  BindWindow(count.get(), start_ns, end_ns);
  return Step(count.get()) ? static_cast<std::uint64_t>(sqlite3_column_int64(count.get(), 0)) : 0;
}

namespace {

// Reads the current message's bytes into the cursor's buffer.
void ReadCurrentBytes(Ros2Cursor& cursor) {
  sqlite3* db = cursor.file->db.get();
  int result = SQLITE_OK;
  if (cursor.data) {
    result = sqlite3_blob_reopen(cursor.data.get(), cursor.id);
  } else {
    sqlite3_blob* blob = nullptr;
    result = sqlite3_blob_open(db, "main", "messages", "data", cursor.id, 0, &blob);
    cursor.data.reset(blob);
  }
  const int size = result == SQLITE_OK ? sqlite3_blob_bytes(cursor.data.get()) : 0;
  if (result == SQLITE_OK) {
    if (cursor.bytes_read.size() < static_cast<std::size_t>(size)) cursor.bytes_read.resize(size);
    result = sqlite3_blob_read(cursor.data.get(), cursor.bytes_read.data(), size, 0);
  }
  if (result != SQLITE_OK) {
    // A blob handle that failed is closed; the next message opens a new one.
    cursor.data.reset();
    throw std::runtime_error("message " + std::to_string(cursor.id) + " of '" + cursor.file->path +
                             "': " + sqlite3_errmsg(db));
  }
  cursor.bytes = size;
}

}  // namespace

void ReadCurrentCloud(Ros2Cursor& cursor, std::vector<std::uint8_t>& scratch,
                      sensor_msgs::PointCloud2& cloud) {
  ReadCurrentBytes(cursor);
  const std::uint8_t* bytes = cursor.bytes_read.data();
  auto size = static_cast<std::size_t>(cursor.bytes);
  std::string problem;
  if (cursor.compressed) {
    problem = DecompressMessage(bytes, size, scratch);
    bytes = scratch.data();
    size = scratch.size();
  }
  if (problem.empty()) problem = ReadCdrCloud(bytes, size, cloud);
  if (!problem.empty()) {
    throw std::runtime_error("message " + std::to_string(cursor.id) + " on " + cursor.topic->name +
                             " in '" + cursor.file->path + "': " + problem);
  }
}

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
