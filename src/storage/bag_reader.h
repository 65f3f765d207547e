// One small interface over the kinds of recording the tool reads (ROS 1 bags,
// rosbag2 sqlite3 recordings, MCAP files), so that the walk sees one stream of
// messages and never asks which kind it came from.
#pragma once

#include <sensor_msgs/PointCloud2.h>

#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// Which messages a walk reads: those recorded in [start_ns, end_ns] and,
// when `topics` is not empty, only on those topics.
struct MessageQuery {
  std::vector<std::string> topics;
  std::int64_t start_ns = std::numeric_limits<std::int64_t>::min();
  std::int64_t end_ns = std::numeric_limits<std::int64_t>::max();
  bool Wants(const std::string& topic) const;
  bool Within(std::int64_t time_ns) const { return time_ns >= start_ns && time_ns <= end_ns; }
};

// A topic of a recording, over the whole recording.
struct StoredTopic {
  std::string name;
  std::string type;
  bool cloud = false;  // its messages are PointCloud2 the tool decodes
  std::uint64_t messages = 0;
  bool qos_stored = false;  // the recording keeps the publishers' offered QoS
  std::string offered_qos;  // ... in words: "reliability best_effort, durability volatile"
};

// Topics gathered by name and type, and as the list readers hand over.
using TopicsByName = std::map<std::pair<std::string, std::string>, StoredTopic>;
std::vector<StoredTopic> ListOf(TopicsByName topics);

// A message's bytes as stored: ROS 1 serialization, or CDR with its
// encapsulation header (ROS 2 recordings, MCAP's ros2 profile).
struct SerializedMessage {
  const std::uint8_t* data = nullptr;
  std::uint64_t size = 0;
  bool cdr = false;
};

// The message a cursor stands on.
struct StoredMessage {
  const std::string* topic = nullptr;
  const std::string* datatype = nullptr;
  std::int64_t time_ns = 0;  // record time
  bool cloud = false;
};

// The messages of a query in record-time order.
class MessageCursor {
 public:
  virtual ~MessageCursor() = default;
  // Moves to the next message; false after the last. Throws
  // std::runtime_error with the reason when the recording is damaged there.
  virtual bool Next() = 0;
  virtual const StoredMessage& Message() const = 0;
  // The current message's size as stored.
  virtual std::uint64_t Bytes() = 0;
  // Decodes the current message, a cloud; null when the library declines
  // it. Throws with the reason when its bytes are not a PointCloud2.
  virtual boost::shared_ptr<sensor_msgs::PointCloud2> DecodeCloud(
      std::vector<std::uint8_t>& scratch) = 0;
  // The current message's bytes, valid until the next call on the cursor;
  // `scratch` may hold them. Throws with the reason when they cannot be read.
  virtual SerializedMessage Serialized(std::vector<std::uint8_t>& scratch) = 0;
  // Before the first Next(): passes over at most `clouds` clouds without
  // reading them, where an index tells how many there are, together with the
  // other messages stored among them. Returns how many clouds it passed.
  virtual std::uint64_t SkipClouds(std::uint64_t clouds) {
    (void)clouds;
    return 0;
  }
};

class BagReader {
 public:
  virtual ~BagReader() = default;
  virtual std::vector<StoredTopic> Topics() = 0;
  // The record time of its first message in ns; 0 when it has none.
  virtual std::int64_t FirstRecordTime() = 0;
  virtual std::unique_ptr<MessageCursor> Walk(const MessageQuery& query) = 0;
  // How many messages the query selects.
  virtual std::uint64_t CountMessages(const MessageQuery& query) = 0;
  // Once a walk is done: why the recording was not whole, for a diagnostic
  // line; "" when it was.
  virtual std::string Incomplete() { return ""; }
};

// Cursors merged into one in record-time order; ties go to the earlier
// cursor of the list.
class MergedCursor : public MessageCursor {
 public:
  explicit MergedCursor(std::vector<std::unique_ptr<MessageCursor>> cursors);
  bool Next() override;
  const StoredMessage& Message() const override { return cursors_[current_]->Message(); }
  std::uint64_t Bytes() override { return cursors_[current_]->Bytes(); }
  boost::shared_ptr<sensor_msgs::PointCloud2> DecodeCloud(
      std::vector<std::uint8_t>& scratch) override {
    return cursors_[current_]->DecodeCloud(scratch);
  }
  SerializedMessage Serialized(std::vector<std::uint8_t>& scratch) override {
    return cursors_[current_]->Serialized(scratch);
  }
  // Only a single cursor can pass over clouds: among several, their clouds
  // interleave.
  std::uint64_t SkipClouds(std::uint64_t clouds) override {
    return cursors_.size() == 1 ? cursors_[0]->SkipClouds(clouds) : 0;
  }
  // Which of the cursors the current message came from.
  std::size_t Source() const { return current_; }

 private:
  std::vector<std::unique_ptr<MessageCursor>> cursors_;
  std::vector<bool> more_;
  bool started_ = false;
  std::size_t current_ = 0;
};

std::unique_ptr<MessageCursor> MergeCursors(std::vector<std::unique_ptr<MessageCursor>> cursors);
