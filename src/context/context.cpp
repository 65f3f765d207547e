// Which topics hold the messages around the clouds, and their tally.
#include "context/context.h"

#include <algorithm>
#include <set>

namespace {

// "pkg/msg/Name" as "pkg/Name".
std::string Ros1Name(const std::string& type) {
  const std::size_t at = type.find("/msg/");
  return at == std::string::npos ? type : type.substr(0, at) + type.substr(at + 4);
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

const char* const kPacketTypes[] = {"velodyne_msgs/VelodyneScan",   "ouster_ros/PacketMsg",
                                    "ouster_sensor_msgs/PacketMsg", "rslidar_msgs/rslidarScan",
                                    "rslidar_msg/RslidarPacket",    "nebula_msgs/NebulaPackets"};

// A driver's raw packets by their type's name: a name holding "Packet"
// outside sensor_msgs, or a "...Scan" of a *_msgs package that is neither
// a radar's nor a laser scanner's decoded scan.
bool LooksLikePackets(const std::string& type) {
  const std::size_t slash = type.rfind('/');
  if (slash == std::string::npos) return false;
  const std::string package = type.substr(0, type.find('/'));
  const std::string name = type.substr(slash + 1);
  if (package != "sensor_msgs" && name.find("Packet") != std::string::npos) return true;
  return EndsWith(package, "_msgs") && package != "sensor_msgs" && package != "radar_msgs" &&
         EndsWith(name, "Scan") && name.find("Radar") == std::string::npos &&
         name.find("Laser") == std::string::npos;
}

std::string WithoutLeadingSlash(const std::string& frame) {
  return !frame.empty() && frame[0] == '/' ? frame.substr(1) : frame;
}

}  // namespace

ContextKind ContextKindOf(const std::string& type) {
  const std::string name = Ros1Name(type);
  if (name == "tf2_msgs/TFMessage" || name == "tf/tfMessage") return ContextKind::kTf;
  if (name == "sensor_msgs/Imu") return ContextKind::kImu;
  return ContextKind::kNone;
}

const char* LidarFormOf(const std::string& type) {
  const std::string name = Ros1Name(type);
  if (name == "livox_ros_driver/CustomMsg" || name == "livox_ros_driver2/CustomMsg") {
    return "livox-custom";
  }
  if (name == "point_cloud_interfaces/CompressedPointCloud2") return "compressed";
  for (const char* packets : kPacketTypes) {
    if (name == packets) return "packets";
  }
  return LooksLikePackets(name) ? "packets" : nullptr;
}

bool IsStaticTfTopic(const std::string& topic) {
  const std::size_t slash = topic.rfind('/');
  return topic.substr(slash == std::string::npos ? 0 : slash + 1) == "tf_static";
}

void NoteContextTopic(ContextTally& tally, const std::string& topic, const std::string& type) {
  switch (ContextKindOf(type)) {
    case ContextKind::kTf:
      tally.tf.topics.emplace(topic, 0);
      break;
    case ContextKind::kImu:
      tally.imu[topic].type = type;
      break;
    case ContextKind::kNone:
      break;
  }
}

void TallyContextMessage(ContextTally& tally, ContextKind kind, const std::string& topic,
                         std::int64_t record_ns, const SerializedMessage& message) {
  if (kind == ContextKind::kTf) {
    ++tally.tf.topics[topic];
    std::vector<FramePair> pairs;
    if (!DecodeTransforms(message, pairs)) {
      ++tally.tf.undecodable;
      return;
    }
    const bool is_static = IsStaticTfTopic(topic);
    std::set<std::pair<std::string, std::string>> held;  // a pair counts once a message
    for (const FramePair& pair : pairs) {
      const std::string parent = WithoutLeadingSlash(pair.parent);
      const std::string child = WithoutLeadingSlash(pair.child);
      if (held.emplace(parent, child).second) ++tally.tf.transforms[{parent, child, is_static}];
    }
    return;
  }
  if (kind != ContextKind::kImu) return;
  ImuTally& imu = tally.imu[topic];
  ++imu.messages;
  ImuSample sample;
  if (!DecodeImu(message, sample)) return;
  imu.stamps.push_back(sample.stamp_ns);
  imu.latencies.push_back(record_ns - sample.stamp_ns);
  imu.accelerations.push_back(sample.acceleration);
}
