// The bags of one walk, of whichever kinds, and their messages in record
// time order as one recording.
#pragma once

#include "bag_reader.h"

#include <ros/time.h>
#include <sensor_msgs/PointCloud2.h>

#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

struct Recording {
  std::vector<std::unique_ptr<BagReader>> bags;
};

// Opens the bag `name` of any kind and adds it; returns "" or the reason it
// cannot be read.
std::string OpenBag(const std::string& name, Recording& recording);

// One message of the walk. Its bytes are read only by DecodeCloud.
struct RecordedMessage {
  const std::string* topic = nullptr;
  const std::string* datatype = nullptr;
  ros::Time time;
  int bag = 0;         // which of the recording's bags it is in
  bool cloud = false;  // a PointCloud2 the tool decodes
  MessageCursor* cursor = nullptr;
};

// The message's size in the bag.
std::uint64_t MessageBytes(const RecordedMessage& message);

// Decodes a cloud message; null when the library declines it. Throws with
// the reason when its bytes are not a PointCloud2.
boost::shared_ptr<sensor_msgs::PointCloud2> DecodeCloud(const RecordedMessage& message,
                                                        std::vector<std::uint8_t>& scratch);

// The message's bytes as stored, valid until the walk moves on; `scratch`
// may hold them.
SerializedMessage MessageData(const RecordedMessage& message, std::vector<std::uint8_t>& scratch);

// Hands every message the query selects to `visit`, in record-time order
// across all bags (ties in the order of the bags), until it returns false.
// First passes over up to `skip_clouds` clouds where an index allows it
// without reading them, and says how many in `skipped`. Errors of the
// readers propagate.
void WalkMessages(const Recording& recording, const MessageQuery& query, std::uint64_t skip_clouds,
                  std::uint64_t& skipped, const std::function<bool(const RecordedMessage&)>& visit);

// How many messages the query selects.
std::uint64_t CountMessages(const Recording& recording, const MessageQuery& query);

// The record time of the first message of bag `bag`, in ns; 0 when empty.
std::int64_t FirstRecordTime(const Recording& recording, int bag);

// Every topic of every bag, merged by name and type (messages added up), in
// name order.
std::vector<StoredTopic> RecordingTopics(const Recording& recording);
