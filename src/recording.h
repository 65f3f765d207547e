// The bags of one walk, ROS 1 and ROS 2 alike, and their messages in record
// time order as one recording.
#pragma once

#include "ros2_bag.h"

#include <ros/time.h>
#include <rosbag/bag.h>
#include <rosbag/message_instance.h>
#include <sensor_msgs/PointCloud2.h>

#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

// Each bag is of one kind: exactly one of ros1[i] and ros2[i] is set.
struct Recording {
  std::vector<std::unique_ptr<rosbag::Bag>> ros1;
  std::vector<std::unique_ptr<Ros2Bag>> ros2;
};

// Opens the bag `name` of either kind and adds it; returns "" or the reason
// it cannot be read (the ROS 1 library's own words for a ROS 1 bag).
std::string OpenBag(const std::string& name, Recording& recording);

// Which messages a walk reads.
struct MessageQuery {
  std::vector<std::string> topics;  // empty: every topic
  ros::Time start = ros::TIME_MIN, end = ros::TIME_MAX;
};

// One message of the walk. Its bytes are read only by DecodeCloud.
struct RecordedMessage {
  const std::string* topic = nullptr;
  const std::string* datatype = nullptr;
  ros::Time time;
  int bag = 0;         // which of the recording's bags it is in
  bool cloud = false;  // a PointCloud2 (by MD5 sum in ROS 1, by type in ROS 2)
  const rosbag::MessageInstance* ros1 = nullptr;
  Ros2Cursor* ros2 = nullptr;
};

// The message's size in the bag; reads the record header of a ROS 1 message.
std::uint64_t MessageBytes(const RecordedMessage& message);

// Decodes a cloud message; null when the ROS 1 library declines it. Throws
// with the reason when its bytes are not a PointCloud2.
boost::shared_ptr<sensor_msgs::PointCloud2> DecodeCloud(const RecordedMessage& message,
                                                        std::vector<std::uint8_t>& scratch);

// Hands every message the query selects to `visit`, in record-time order
// across all bags (ties in the order of the bags), until it returns false.
// Errors of the libraries propagate.
void WalkMessages(const Recording& recording, const MessageQuery& query,
                  const std::function<bool(const RecordedMessage&)>& visit);

// How many messages the query selects.
std::uint64_t CountMessages(const Recording& recording, const MessageQuery& query);

// The record time of the first message of bag `bag`, in ns; 0 when empty.
std::int64_t FirstRecordTime(const Recording& recording, int bag);

// The topics that hold clouds, in name order.
std::set<std::string> CloudTopics(const Recording& recording);

// Messages per topic and type, over every topic that does not hold clouds.
std::map<std::pair<std::string, std::string>, std::uint64_t> OtherTopicMessages(
    const Recording& recording);
