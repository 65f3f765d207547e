// ROS 2 recordings in rosbag2's sqlite3 storage: a directory with a
// metadata.yaml and one or more .db3 files (plain or zstd-compressed per file
// or per message), or one .db3 file. Read-only: the files are opened
// immutable and never changed.
#pragma once

#include <sensor_msgs/PointCloud2.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;
struct sqlite3_blob;

struct SqliteCloser {
  void operator()(sqlite3* db) const;
  void operator()(sqlite3_stmt* statement) const;
  void operator()(sqlite3_blob* blob) const;
};
using SqliteDatabase = std::unique_ptr<sqlite3, SqliteCloser>;
using SqliteStatement = std::unique_ptr<sqlite3_stmt, SqliteCloser>;
using SqliteBlob = std::unique_ptr<sqlite3_blob, SqliteCloser>;

// The type name of the clouds, as ROS 2 records it.
extern const char* const kRos2PointCloud2Type;

struct Ros2Topic {
  std::string name;
  std::string type;
  bool cloud = false;  // a PointCloud2 in CDR
};

// One .db3 file of a recording.
struct Ros2File {
  std::string path;  // as found, for messages
  SqliteDatabase db;
  std::map<std::int64_t, Ros2Topic> topics;  // by the file's own topic ids
  std::int64_t first_time = 0;               // its earliest message in ns; max when empty
};

struct Ros2Bag {
  std::vector<Ros2File> files;       // in the order of their first messages
  bool compressed_messages = false;  // each message is a zstd frame
};

// Whether `path` is to be read as a ROS 2 recording, by its content: a
// directory, an SQLite database, an MCAP file (refused when opened) or a
// zstd-compressed file. Anything else is left to the ROS 1 reader.
bool IsRos2Recording(const std::string& path);

// Opens the recording at `path`; returns "" or why it cannot be read.
std::string OpenRos2Bag(const std::string& path, Ros2Bag& bag);

// The messages of one file in timestamp order (ties by id), within the
// record-time window [start_ns, end_ns] and, when `topics` is not empty, on
// those topics only. Message bytes are read only when asked for.
struct Ros2Cursor {
  const Ros2File* file = nullptr;
  bool compressed = false;
  SqliteStatement rows;  // id, topic_id, timestamp, length(data)
  SqliteBlob data;       // the data of one message, moved from message to message
  // Its bytes, in a buffer kept from message to message: SQLite would
  // allocate (and the system fault in) a fresh one for every message.
  std::vector<std::uint8_t> bytes_read;
  // The current message.
  std::int64_t id = 0;
  std::int64_t timestamp = 0;
  std::int64_t bytes = 0;
  const Ros2Topic* topic = nullptr;
};

// False when none of `topics` is in the file, so it has nothing to walk.
bool StartCursor(const Ros2File& file, bool compressed, const std::vector<std::string>& topics,
                 std::int64_t start_ns, std::int64_t end_ns, Ros2Cursor& cursor);

// Moves to the next message; false after the last. Throws on a read error.
bool NextMessage(Ros2Cursor& cursor);

// The number of messages the cursor will walk.
std::uint64_t CountFileMessages(const Ros2File& file, const std::vector<std::string>& topics,
                                std::int64_t start_ns, std::int64_t end_ns);

// Decodes the current message as a cloud, using `scratch` for decompressed
// bytes. Throws std::runtime_error with the reason when it cannot.
void ReadCurrentCloud(Ros2Cursor& cursor, std::vector<std::uint8_t>& scratch,
                      sensor_msgs::PointCloud2& cloud);

// Messages per topic id over the whole file.
std::map<std::int64_t, std::uint64_t> MessagesPerTopic(const Ros2File& file);
