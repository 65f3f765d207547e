// What the summary's document, its problem rules, its consumer table and its
// text share inside the summary.
#pragma once

#include "summary/summary.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

// "FLOAT32" for 7; the number itself for a datatype PointField does not name.
std::string DatatypeName(std::uint8_t datatype);

// Facts of a topic that its problems' texts name but its JSON keys do not.
struct TopicFacts {
  int repeated_first_index = 0;
  // The first partial sweep.
  int partial_index = 0, partial_coverage = 0, partial_gap = 0, partial_gap_start = 0;
  std::uint64_t partial_valid = 0;
  std::vector<std::string> tf_frames;        // every frame the recording's transforms join, sorted
  bool imu_late = false, imu_early = false;  // of the first IMU that does not cover the clouds
};

// The problems of one topic's document, in the order of ProblemCodes().
nlohmann::ordered_json ProblemsJson(const nlohmann::ordered_json& topic, const TopicFacts& facts);

// Which consumers read the topic as is, judged on its first readable cloud;
// null for radar and camera topics and topics without a readable cloud.
// `topic` is the topic's document so far (stamps, time, invalid, fields).
nlohmann::ordered_json ConsumersJson(const TopicTally& tally, const nlohmann::ordered_json& topic);

// The topic's frames: clouds without one or with a leading '/', the other
// topics sharing one, and where the first sits in the recording's TF.
nlohmann::ordered_json FramesJson(const SummaryTally& tally, const TopicTally& topic,
                                  TopicFacts& facts);
// The topic's clock against each IMU's, and whether each IMU's stamps span
// the clouds'; `topic` is its document so far (time offsets).
nlohmann::ordered_json ImuOfTopicJson(const SummaryTally& tally, const TopicTally& topic,
                                      const nlohmann::ordered_json& json, TopicFacts& facts);
// The recording's lidar topics that hold no clouds, its TF and its IMUs.
nlohmann::ordered_json LidarNotCloudsJson(const SummaryTally& tally);
nlohmann::ordered_json TfJson(const ContextTally& context);
nlohmann::ordered_json ImuTopicsJson(const ContextTally& context);

// The consumer keys, in table order, for --fail-on consumer:KEY.
std::vector<std::string> ConsumerKeys();

// A consumer's verdict in words: "works as is", or why not.
struct ConsumerWords {
  std::string name;
  bool works = false;
  std::string how;  // for a consumer that works: "" or how it copes ("without deskewing")
  std::vector<std::string> reasons;  // for one that does not
};
std::vector<ConsumerWords> DescribeConsumers(const nlohmann::ordered_json& topic);

// Where the stamp sits in the sweep, in words: "at the sweep's start",
// "inside the sweep", "250.000 ms before the sweep" (a time with stamp_at).
std::string StampPlace(const nlohmann::ordered_json& time);
