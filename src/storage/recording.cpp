#include "recording.h"

#include "open_bag.h"

#include <map>
#include <stdexcept>
#include <utility>

namespace {

ros::Time RecordTime(std::int64_t nanoseconds) {
  if (nanoseconds < 0 || static_cast<std::uint64_t>(nanoseconds) >= ros::TIME_MAX.toNSec()) {
    throw std::runtime_error("a message is recorded at " + std::to_string(nanoseconds) +
                             " ns, outside ROS time's range");
  }
  ros::Time time;
  time.fromNSec(static_cast<std::uint64_t>(nanoseconds));
  return time;
}

}  // namespace

std::string OpenBag(const std::string& name, Recording& recording) {
  std::string problem;
  std::unique_ptr<BagReader> bag = OpenBagReader(name, problem);
  if (!bag) return problem.empty() ? "cannot be read" : problem;
  recording.bags.push_back(std::move(bag));
  return "";
}

std::uint64_t MessageBytes(const RecordedMessage& message) { return message.cursor->Bytes(); }

boost::shared_ptr<sensor_msgs::PointCloud2> DecodeCloud(const RecordedMessage& message,
                                                        std::vector<std::uint8_t>& scratch) {
  return message.cursor->DecodeCloud(scratch);
}

SerializedMessage MessageData(const RecordedMessage& message, std::vector<std::uint8_t>& scratch) {
  return message.cursor->Serialized(scratch);
}

void WalkMessages(const Recording& recording, const MessageQuery& query, std::uint64_t skip_clouds,
                  std::uint64_t& skipped,
                  const std::function<bool(const RecordedMessage&)>& visit) {
  std::vector<std::unique_ptr<MessageCursor>> cursors;
  for (const auto& bag : recording.bags) cursors.push_back(bag->Walk(query));
  MergedCursor walk(std::move(cursors));
  skipped = skip_clouds > 0 ? walk.SkipClouds(skip_clouds) : 0;
  RecordedMessage message;
  message.cursor = &walk;
  while (walk.Next()) {
    const StoredMessage& stored = walk.Message();
    message.topic = stored.topic;
    message.datatype = stored.datatype;
    message.cloud = stored.cloud;
    message.bag = static_cast<int>(walk.Source());
    message.time = RecordTime(stored.time_ns);
    if (!visit(message)) return;
  }
}

std::uint64_t CountMessages(const Recording& recording, const MessageQuery& query) {
  std::uint64_t count = 0;
  for (const auto& bag : recording.bags) count += bag->CountMessages(query);
  return count;
}

std::int64_t FirstRecordTime(const Recording& recording, int bag) {
  return recording.bags[bag]->FirstRecordTime();
}

std::vector<StoredTopic> RecordingTopics(const Recording& recording) {
  TopicsByName merged;
  for (const auto& bag : recording.bags) {
    for (StoredTopic& topic : bag->Topics()) {
      const auto [at, added] = merged.emplace(std::make_pair(topic.name, topic.type), topic);
      if (added) continue;
      at->second.messages += topic.messages;
      if (!at->second.qos_stored && topic.qos_stored) {
        at->second.qos_stored = true;
        at->second.offered_qos = topic.offered_qos;
      }
    }
  }
  return ListOf(std::move(merged));
}
