// The messages around the clouds that a consumer needs as much as the clouds:
// TF (where the lidar sits), IMU (the clock and the motion lidar-inertial
// stacks deskew with), and lidar recorded in a form other than PointCloud2.
// The walk hands those messages here; the summary reads what they tally.
#pragma once

#include "storage/bag_reader.h"

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

enum class ContextKind { kNone, kTf, kImu };

// What a topic of this type holds for the summary: tf2_msgs/TFMessage (and
// ROS 1's tf/tfMessage, the same definition), sensor_msgs/Imu, or neither.
// ROS 2 names ("pkg/msg/Name") count as their ROS 1 names.
ContextKind ContextKindOf(const std::string& type);

// "packets", "livox-custom" or "compressed" for lidar data recorded as
// something other than PointCloud2; nullptr otherwise.
const char* LidarFormOf(const std::string& type);

// A TF topic whose last name component is tf_static holds static transforms.
bool IsStaticTfTopic(const std::string& topic);

// A transform's frames, each without a leading '/'.
struct FramePair {
  std::string parent, child;
};

// Decodes a TF message into its frame pairs; false when its bytes are not
// a TFMessage. Every length is checked against the bytes before anything
// is allocated for it.
bool DecodeTransforms(const SerializedMessage& message, std::vector<FramePair>& pairs);

// An IMU message's header stamp and the length of its linear acceleration.
struct ImuSample {
  std::int64_t stamp_ns = 0;
  double acceleration = 0;
};
bool DecodeImu(const SerializedMessage& message, ImuSample& sample);

struct TfTally {
  std::map<std::string, std::uint64_t> topics;  // every TF topic, with its messages
  // Per (parent, child, static): the messages holding the pair.
  std::map<std::tuple<std::string, std::string, bool>, std::uint64_t> transforms;
  std::uint64_t undecodable = 0;
};

struct ImuTally {
  std::string type;
  std::uint64_t messages = 0;
  std::vector<std::int64_t> stamps;     // ns, per message in walk order
  std::vector<std::int64_t> latencies;  // record time minus stamp, ns
  std::vector<double> accelerations;    // |linear_acceleration|
};

struct ContextTally {
  TfTally tf;
  std::map<std::string, ImuTally> imu;  // by topic
};

// Notes a topic of the recording, so that one without messages is listed.
void NoteContextTopic(ContextTally& tally, const std::string& topic, const std::string& type);

// Tallies one TF or IMU message; messages that cannot be decoded are
// counted (TF) or left out (IMU), never fatal.
void TallyContextMessage(ContextTally& tally, ContextKind kind, const std::string& topic,
                         std::int64_t record_ns, const SerializedMessage& message);
