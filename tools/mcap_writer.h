// Writes MCAP files for the tests, the fuzzers' seeds and the benchmarks,
// with every choice a writer may make (chunked or not, compressed or not,
// with or without indexes and summary, padded records, records of unknown
// kinds), so that the reader meets them all.
#pragma once

#include "ros2_bag_writer.h"

#include <map>
#include <string>
#include <vector>

namespace mcap_writer {

using ros2_bag_writer::Message;  // serialization "cdr" or "ros1"

enum class Summary {
  kNone,          // the footer's offsets are 0
  kWhole,         // schemas, channels, chunk indexes, statistics, summary offsets
  kChannelsOnly,  // schemas and channels
};

struct Options {
  std::string profile = "ros2";
  bool chunked = true;
  std::string compression;  // "", "zstd" or "lz4"
  std::size_t messages_per_chunk = 3;
  // When set, a chunk ends once its records reach this size instead (as
  // rosbag2 does, with 768 KiB).
  std::size_t chunk_bytes = 0;
  bool message_indexes = true;
  Summary summary = Summary::kWhole;
  bool crc = true;
  // Four bytes past the known fields of every record that may grow, and
  // records of an unknown and a private opcode among the others.
  bool padded = false;
  // An attachment and a metadata record in the data section.
  bool attachments = false;
  // Channels without any message: topic -> type.
  std::map<std::string, std::string> silent_channels;
  // Topics whose channel names no schema (schema id 0).
  std::vector<std::string> without_schema;
  // Channel metadata "offered_qos_profiles", by topic.
  std::map<std::string, std::string> offered_qos;
};

// Writes the messages, in the order given, into one MCAP file at `path`;
// chunks take consecutive messages. Throws std::runtime_error on failure.
void WriteMcap(const std::string& path, const std::vector<Message>& messages,
               const Options& options = Options());

using ros2_bag_writer::Ros1MessagesOfRos1Bag;

}  // namespace mcap_writer
