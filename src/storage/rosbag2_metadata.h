// What the walk needs of a rosbag2 recording's directory: its storage, its
// files and how they are compressed, from metadata.yaml when there is one.
#pragma once

#include <string>
#include <vector>

struct Rosbag2Directory {
  std::string storage;             // "sqlite3" or "mcap"
  std::vector<std::string> files;  // paths, in the order listed (or by name)
  bool compressed_files = false;   // each file is one zstd frame
  bool compressed_messages = false;
};

bool IsDirectory(const std::string& path);

// Reads the directory's metadata.yaml, or without one finds its .db3 files,
// else its .mcap files; returns "" or why it cannot be read.
std::string ReadRosbag2Directory(const std::string& dir, Rosbag2Directory& directory);

// The QoS profiles a rosbag2 recording stores as offered by a topic's
// publishers (YAML), in words: "reliability best_effort, durability
// volatile", one profile after another; an empty list means no publisher was
// seen.
std::string DescribeOfferedQos(const std::string& yaml);
