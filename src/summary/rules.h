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
};

// The problems of one topic's document, in the order of ProblemCodes().
nlohmann::ordered_json ProblemsJson(const nlohmann::ordered_json& topic, const TopicFacts& facts);

// Which consumers read the topic as is, judged on its first readable cloud;
// null for radar and camera topics and topics without a readable cloud.
// `topic` is the topic's document so far (stamps, time, invalid, fields).
nlohmann::ordered_json ConsumersJson(const TopicTally& tally, const nlohmann::ordered_json& topic);

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
