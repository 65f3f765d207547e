#include "recording.h"

#include "cloud_check.h"

#include <rosbag/query.h>
#include <rosbag/view.h>

#include <limits>
#include <stdexcept>
#include <tuple>

namespace {

const char* const kPointCloud2Md5 = "1158d486dd51d683ce2f1be655c3c181";

// The ROS 2 time window in ns; the ROS 1 limits mean no limit, so that
// messages stamped 0 or before are walked too (and then said to be
// out of ROS time's range).
std::pair<std::int64_t, std::int64_t> Ros2Window(const MessageQuery& query) {
  const std::int64_t start = query.start == ros::TIME_MIN
                                 ? std::numeric_limits<std::int64_t>::min()
                                 : static_cast<std::int64_t>(query.start.toNSec());
  const std::int64_t end = query.end == ros::TIME_MAX
                               ? std::numeric_limits<std::int64_t>::max()
                               : static_cast<std::int64_t>(query.end.toNSec());
  return {start, end};
}

ros::Time RecordTime(std::int64_t nanoseconds, const Ros2Cursor& cursor) {
  if (nanoseconds < 0 || static_cast<std::uint64_t>(nanoseconds) >= ros::TIME_MAX.toNSec()) {
    throw std::runtime_error("message " + std::to_string(cursor.id) + " of '" + cursor.file->path +
                             "' is recorded at " + std::to_string(nanoseconds) +
                             " ns, outside ROS time's range");
  }
  ros::Time time;
  time.fromNSec(static_cast<std::uint64_t>(nanoseconds));
  return time;
}

// One view over every ROS 1 bag of the recording, for the query.
void AddRos1Queries(rosbag::View& view, const Recording& recording, const MessageQuery& query) {
  for (const auto& bag : recording.ros1) {
    if (!bag) continue;
    if (query.topics.empty()) {
      view.addQuery(*bag, query.start, query.end);
    } else {
      view.addQuery(*bag, rosbag::TopicQuery(query.topics), query.start, query.end);
    }
  }
}

// Which bag each ROS 1 connection belongs to, by its header (each bag holds
// its own).
std::map<const void*, int> BagOfConnections(const Recording& recording) {
  std::map<const void*, int> bag_of;
  for (std::size_t i = 0; i < recording.ros1.size(); ++i) {
    if (!recording.ros1[i]) continue;
    rosbag::View everything(*recording.ros1[i]);
    for (const rosbag::ConnectionInfo* connection : everything.getConnections()) {
      bag_of[connection->header.get()] = static_cast<int>(i);
    }
  }
  return bag_of;
}

int FirstRos1Bag(const Recording& recording) {
  for (std::size_t i = 0; i < recording.ros1.size(); ++i) {
    if (recording.ros1[i]) return static_cast<int>(i);
  }
  return -1;
}

// A ROS 2 file's walk, and the bag it belongs to.
struct Ros2Source {
  Ros2Cursor cursor;
  int bag = 0;
  bool more = false;
};

}  // namespace

std::string OpenBag(const std::string& name, Recording& recording) {
  recording.ros1.emplace_back();
  recording.ros2.emplace_back();
  if (IsRos2Recording(name)) {
    recording.ros2.back() = std::make_unique<Ros2Bag>();
    return OpenRos2Bag(name, *recording.ros2.back());
  }
  recording.ros1.back() = std::make_unique<rosbag::Bag>();
  try {
    recording.ros1.back()->open(name, rosbag::bagmode::Read);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

std::uint64_t MessageBytes(const RecordedMessage& message) {
  if (message.ros1 != nullptr) return message.ros1->size();
  return static_cast<std::uint64_t>(message.ros2->bytes);
}

boost::shared_ptr<sensor_msgs::PointCloud2> DecodeCloud(const RecordedMessage& message,
                                                        std::vector<std::uint8_t>& scratch) {
  if (message.ros1 != nullptr) return message.ros1->instantiate<GuardedPointCloud2>();
  auto cloud = boost::make_shared<sensor_msgs::PointCloud2>();
  ReadCurrentCloud(*message.ros2, scratch, *cloud);
  return cloud;
}

void WalkMessages(const Recording& recording, const MessageQuery& query,
                  const std::function<bool(const RecordedMessage&)>& visit) {
  const int first_ros1 = FirstRos1Bag(recording);
  rosbag::View view(false);
  AddRos1Queries(view, recording, query);
  const std::map<const void*, int> bag_of =
      recording.ros1.size() > 1 ? BagOfConnections(recording) : std::map<const void*, int>();

  const auto [start_ns, end_ns] = Ros2Window(query);
  std::vector<Ros2Source> sources;
  for (std::size_t bag = 0; bag < recording.ros2.size(); ++bag) {
    if (!recording.ros2[bag]) continue;
    const Ros2Bag& ros2 = *recording.ros2[bag];
    for (const Ros2File& file : ros2.files) {
      Ros2Source source;
      source.bag = static_cast<int>(bag);
      if (StartCursor(file, ros2.compressed_messages, query.topics, start_ns, end_ns,
                      source.cursor)) {
        sources.push_back(std::move(source));
      }
    }
  }
  for (Ros2Source& source : sources) source.more = NextMessage(source.cursor);

  RecordedMessage message;
  rosbag::View::iterator ros1 = view.begin();
  const rosbag::View::iterator ros1_end = view.end();
  for (;;) {
    // The earliest message of all sources; ties go to the earlier bag, then
    // to the earlier file of a split recording.
    using Key = std::tuple<std::uint64_t, int, std::size_t>;
    Key best{};
    bool any = ros1 != ros1_end;
    bool ros1_chosen = any;
    Ros2Source* chosen = nullptr;
    if (ros1_chosen) best = Key{ros1->getTime().toNSec(), first_ros1, 0};
    for (std::size_t i = 0; i < sources.size(); ++i) {
      if (!sources[i].more) continue;
      const std::int64_t timestamp = sources[i].cursor.timestamp;
      const Key key{timestamp < 0 ? 0 : static_cast<std::uint64_t>(timestamp), sources[i].bag, i};
      if (!any || key < best) {
        best = key;
        chosen = &sources[i];
        ros1_chosen = false;
        any = true;
      }
    }
    if (ros1_chosen) {
      const rosbag::MessageInstance& m = *ros1;
      message = RecordedMessage();
      message.topic = &m.getTopic();
      message.datatype = &m.getDataType();
      message.time = m.getTime();
      message.bag = bag_of.empty() ? first_ros1 : bag_of.at(m.getConnectionHeader().get());
      message.cloud = m.getMD5Sum() == kPointCloud2Md5;
      message.ros1 = &m;
      if (!visit(message)) return;
      ++ros1;
    } else if (chosen != nullptr) {
      Ros2Cursor& cursor = chosen->cursor;
      message = RecordedMessage();
      message.topic = &cursor.topic->name;
      message.datatype = &cursor.topic->type;
      message.bag = chosen->bag;
      message.cloud = cursor.topic->cloud;
      message.ros2 = &cursor;
      message.time = RecordTime(cursor.timestamp, cursor);
      if (!visit(message)) return;
      chosen->more = NextMessage(cursor);
    } else {
      return;
    }
  }
}

std::uint64_t CountMessages(const Recording& recording, const MessageQuery& query) {
  rosbag::View view(false);
  AddRos1Queries(view, recording, query);
  std::uint64_t count = view.size();
  const auto [start_ns, end_ns] = Ros2Window(query);
  for (const auto& bag : recording.ros2) {
    if (!bag) continue;
    for (const Ros2File& file : bag->files) {
      count += CountFileMessages(file, query.topics, start_ns, end_ns);
    }
  }
  return count;
}

std::int64_t FirstRecordTime(const Recording& recording, int bag) {
  if (recording.ros1[bag]) {
    rosbag::View everything(*recording.ros1[bag]);
    return everything.size() > 0 ? static_cast<std::int64_t>(everything.getBeginTime().toNSec())
                                 : 0;
  }
  std::int64_t first = std::numeric_limits<std::int64_t>::max();
  for (const Ros2File& file : recording.ros2[bag]->files) first = std::min(first, file.first_time);
  return first == std::numeric_limits<std::int64_t>::max() ? 0 : first;
}

std::set<std::string> CloudTopics(const Recording& recording) {
  std::set<std::string> topics;
  for (const auto& bag : recording.ros1) {
    if (!bag) continue;
    rosbag::View everything(*bag);
    for (const rosbag::ConnectionInfo* connection : everything.getConnections()) {
      if (connection->md5sum == kPointCloud2Md5) topics.insert(connection->topic);
    }
  }
  for (const auto& bag : recording.ros2) {
    if (!bag) continue;
    for (const Ros2File& file : bag->files) {
      for (const auto& [id, topic] : file.topics) {
        if (topic.cloud) topics.insert(topic.name);
      }
    }
  }
  return topics;
}

std::map<std::pair<std::string, std::string>, std::uint64_t> OtherTopicMessages(
    const Recording& recording) {
  std::map<std::pair<std::string, std::string>, std::uint64_t> messages;
  for (const auto& bag : recording.ros1) {
    if (!bag) continue;
    rosbag::View everything(*bag);
    for (const rosbag::ConnectionInfo* connection : everything.getConnections()) {
      if (connection->md5sum == kPointCloud2Md5) continue;
      const std::uint32_t id = connection->id;
      rosbag::View one(*bag, [id](const rosbag::ConnectionInfo* c) { return c->id == id; });
      messages[{connection->topic, connection->datatype}] += one.size();
    }
  }
  for (const auto& bag : recording.ros2) {
    if (!bag) continue;
    for (const Ros2File& file : bag->files) {
      const std::map<std::int64_t, std::uint64_t> counts = MessagesPerTopic(file);
      for (const auto& [id, topic] : file.topics) {
        if (topic.cloud) continue;
        const auto count = counts.find(id);
        messages[{topic.name, topic.type}] += count == counts.end() ? 0 : count->second;
      }
    }
  }
  return messages;
}
