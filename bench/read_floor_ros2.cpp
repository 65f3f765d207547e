// The floor for ROS 2 recordings: what SQLite and Fast CDR themselves need to
// read every message of a rosbag2 .db3 file in time order and deserialize
// every PointCloud2, with no conversion and no report.
//   read_floor_ros2 FILE.db3
#include "floor_cdr.h"

#include <sensor_msgs/PointCloud2.h>
#include <sqlite3.h>

#include <cstdio>
#include <exception>
#include <set>
#include <string>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE.db3\n", argv[0]);
    return 2;
  }
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(argv[1], &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    std::fprintf(stderr, "read_floor_ros2: %s: %s\n", argv[1], sqlite3_errmsg(db));
    return 1;
  }
  std::set<std::int64_t> cloud_topics;
  sqlite3_stmt* topics = nullptr;
  sqlite3_prepare_v2(db, "SELECT id FROM topics WHERE type = 'sensor_msgs/msg/PointCloud2'", -1,
                     &topics, nullptr);
  while (sqlite3_step(topics) == SQLITE_ROW) cloud_topics.insert(sqlite3_column_int64(topics, 0));
  sqlite3_finalize(topics);
  sqlite3_stmt* messages = nullptr;
  sqlite3_prepare_v2(db, "SELECT topic_id, data FROM messages ORDER BY timestamp, id", -1,
                     &messages, nullptr);
  unsigned long long clouds = 0, bytes = 0;
  try {
    while (sqlite3_step(messages) == SQLITE_ROW) {
      if (cloud_topics.count(sqlite3_column_int64(messages, 0)) == 0) continue;
      sensor_msgs::PointCloud2 cloud;
      DeserializeCdrCloud(static_cast<const char*>(sqlite3_column_blob(messages, 1)),
                          static_cast<std::size_t>(sqlite3_column_bytes(messages, 1)), cloud);
      ++clouds;
      bytes += cloud.data.size();
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "read_floor_ros2: %s: %s\n", argv[1], e.what());
    return 1;
  }
  sqlite3_finalize(messages);
  sqlite3_close(db);
  std::printf("%llu clouds, %llu bytes of point data\n", clouds, bytes);
  return 0;
}
