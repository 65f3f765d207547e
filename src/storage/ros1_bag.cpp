#include "ros1_bag.h"
#include "ros1_records.h"
#include "ros1_unindexed.h"

#include "cloud/cloud_check.h"

#include <rosbag/bag.h>
#include <rosbag/query.h>
#include <rosbag/view.h>

#include <map>
#include <utility>

namespace {

const char* const kPointCloud2Md5 = "1158d486dd51d683ce2f1be655c3c181";

// ROS 1 times start at (0, 1): the limits of a query mean no limit.
ros::Time Ros1Time(std::int64_t nanoseconds, const ros::Time& limit) {
  if (nanoseconds <= static_cast<std::int64_t>(ros::TIME_MIN.toNSec())) {
    return limit == ros::TIME_MIN ? ros::TIME_MIN : ros::Time(0, 0);
  }
  if (static_cast<std::uint64_t>(nanoseconds) >= ros::TIME_MAX.toNSec()) return ros::TIME_MAX;
  ros::Time time;
  time.fromNSec(static_cast<std::uint64_t>(nanoseconds));
  return time;
}

void AddQuery(rosbag::View& view, rosbag::Bag& bag, const MessageQuery& query) {
  const ros::Time start = Ros1Time(query.start_ns, ros::TIME_MIN);
  const ros::Time end = Ros1Time(query.end_ns, ros::TIME_MAX);
  if (query.topics.empty()) {
    view.addQuery(bag, start, end);
  } else {
    view.addQuery(bag, rosbag::TopicQuery(query.topics), start, end);
  }
}

class Ros1Cursor : public MessageCursor {
 public:
  Ros1Cursor(rosbag::Bag& bag, const MessageQuery& query) : view_(false) {
    AddQuery(view_, bag, query);
    at_ = view_.begin();
  }

  bool Next() override {
    if (started_ && at_ != view_.end()) ++at_;
    started_ = true;
    if (at_ == view_.end()) return false;
    const rosbag::MessageInstance& m = *at_;
    message_.topic = &m.getTopic();
    message_.datatype = &m.getDataType();
    message_.time_ns = static_cast<std::int64_t>(m.getTime().toNSec());
    message_.cloud = m.getMD5Sum() == kPointCloud2Md5;
    return true;
  }
  const StoredMessage& Message() const override { return message_; }
  std::uint64_t Bytes() override { return (*at_).size(); }
  boost::shared_ptr<sensor_msgs::PointCloud2> DecodeCloud(std::vector<std::uint8_t>&) override {
    return (*at_).instantiate<GuardedPointCloud2>();
  }
  SerializedMessage Serialized(std::vector<std::uint8_t>& scratch) override {
    const rosbag::MessageInstance& m = *at_;
    scratch.resize(m.size());
    ros::serialization::OStream stream(scratch.data(), static_cast<std::uint32_t>(scratch.size()));
    m.write(stream);
    return {scratch.data(), scratch.size(), false};
  }

 private:
  rosbag::View view_;
  rosbag::View::iterator at_;
  bool started_ = false;
  StoredMessage message_;
};

class Ros1Bag : public BagReader {
 public:
  std::vector<StoredTopic> Topics() override {
    TopicsByName topics;
    rosbag::View everything(bag);
    for (const rosbag::ConnectionInfo* connection : everything.getConnections()) {
      StoredTopic& topic = topics[{connection->topic, connection->datatype}];
      topic.name = connection->topic;
      topic.type = connection->datatype;
      topic.cloud = connection->md5sum == kPointCloud2Md5;
      const std::uint32_t id = connection->id;
      rosbag::View one(bag, [id](const rosbag::ConnectionInfo* c) { return c->id == id; });
      topic.messages += one.size();
    }
    // The library's views leave out connections without messages; the
    // index lists them.
    for (const ros1::Connection& connection : ros1::IndexedConnections(path)) {
      StoredTopic& topic = topics[{connection.topic, connection.type}];
      topic.name = connection.topic;
      topic.type = connection.type;
      topic.cloud = topic.cloud || connection.md5sum == kPointCloud2Md5;
    }
    return ListOf(std::move(topics));
  }
  std::int64_t FirstRecordTime() override {
    rosbag::View everything(bag);
    return everything.size() > 0 ? static_cast<std::int64_t>(everything.getBeginTime().toNSec())
                                 : 0;
  }
  std::unique_ptr<MessageCursor> Walk(const MessageQuery& query) override {
    return std::make_unique<Ros1Cursor>(bag, query);
  }
  std::uint64_t CountMessages(const MessageQuery& query) override {
    rosbag::View view(false);
    AddQuery(view, bag, query);
    return view.size();
  }

  rosbag::Bag bag;
  std::string path;
};

}  // namespace

std::unique_ptr<BagReader> OpenRos1Bag(const std::string& path, std::string& problem) {
  auto reader = std::make_unique<Ros1Bag>();
  try {
    reader->bag.open(path, rosbag::bagmode::Read);
    reader->path = path;
  } catch (const std::exception& e) {
    // A bag whose index is missing or lies past its end: its records.
    if (std::unique_ptr<BagReader> unindexed = OpenUnindexedRos1Bag(path)) return unindexed;
    problem = e.what();
    return nullptr;
  }
  return reader;
}
