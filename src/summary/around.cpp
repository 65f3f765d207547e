// The recording around the clouds in the summary's document: each cloud
// topic's frames against TF and its clock against the IMUs', and the
// recording's TF, IMU topics and lidar recorded in other forms.
#include "summary/rules.h"
#include "summary/summary.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>

using nlohmann::ordered_json;

namespace {

std::string WithoutLeadingSlash(const std::string& frame) {
  return !frame.empty() && frame[0] == '/' ? frame.substr(1) : frame;
}

double Seconds(std::int64_t nanoseconds) {
  const std::int64_t seconds = nanoseconds / 1000000000;
  return static_cast<double>(seconds) +
         1e-9 * static_cast<double>(nanoseconds - seconds * 1000000000);
}

// The frames met following parents from `frame`: a child with several
// parents follows the first in the transforms' order; a loop ends the chain
// before the first frame met twice.
ordered_json TfChain(const TfTally& tf, const std::string& frame) {
  ordered_json chain = ordered_json::array({frame});
  std::set<std::string> met = {frame};
  std::string at = frame;
  for (;;) {
    const std::string* parent = nullptr;
    for (const auto& [pair, messages] : tf.transforms) {
      if (std::get<1>(pair) == at) {
        parent = &std::get<0>(pair);
        break;
      }
    }
    if (parent == nullptr || !met.insert(*parent).second) return chain;
    chain.push_back(*parent);
    at = *parent;
  }
}

bool InTf(const TfTally& tf, const std::string& frame) {
  for (const auto& [pair, messages] : tf.transforms) {
    if (std::get<0>(pair) == frame || std::get<1>(pair) == frame) return true;
  }
  return false;
}

// Over the set stamps, as a cloud topic's.
struct StampFacts {
  std::optional<double> period;  // s
  std::optional<std::int64_t> first, last;
  std::optional<double> latency;  // median, s
};

StampFacts FactsOf(const std::vector<std::int64_t>& stamps,
                   const std::vector<std::int64_t>& latencies) {
  StampFacts facts;
  std::vector<std::int64_t> positive, set_latencies;
  std::optional<std::int64_t> before;
  for (std::size_t i = 0; i < stamps.size(); ++i) {
    if (stamps[i] == 0) continue;
    if (!facts.first) facts.first = stamps[i];
    facts.last = stamps[i];
    if (before && stamps[i] - *before > 0) positive.push_back(stamps[i] - *before);
    before = stamps[i];
    set_latencies.push_back(latencies[i]);
  }
  if (const auto period = Median(positive)) facts.period = *period / 1e9;
  if (const auto latency = Median(set_latencies)) facts.latency = *latency / 1e9;
  return facts;
}

ordered_json OrNull(const std::optional<double>& value) {
  return value ? ordered_json(*value) : ordered_json(nullptr);
}

}  // namespace

ordered_json FramesJson(const SummaryTally& tally, const TopicTally& topic, TopicFacts& facts) {
  long long empty = 0, slash = 0;
  std::set<std::string> mine;
  for (const auto& [frame, count] : topic.frame_ids) {
    if (frame.empty()) empty += count;
    if (!frame.empty() && frame[0] == '/') slash += count;
    mine.insert(frame);
  }
  ordered_json shared = ordered_json::array();
  std::set<std::string> sharing;
  for (const TopicTally& other : tally.topics) {
    if (other.topic == topic.topic) continue;
    for (const auto& [frame, count] : other.frame_ids) {
      if (mine.count(frame) != 0) sharing.insert(other.topic);
    }
  }
  for (const std::string& name : sharing) shared.push_back(name);
  const std::string frame =
      WithoutLeadingSlash(topic.frame_ids.empty() ? "" : topic.frame_ids.front().first);
  const bool in_tf = InTf(tally.context.tf, frame);
  std::set<std::string> joined;
  for (const auto& [pair, messages] : tally.context.tf.transforms) {
    joined.insert(std::get<0>(pair));
    joined.insert(std::get<1>(pair));
  }
  facts.tf_frames.assign(joined.begin(), joined.end());
  return {{"empty", empty},
          {"leading_slash", slash},
          {"shared_with", shared},
          {"in_tf", in_tf},
          {"tf_chain", in_tf ? TfChain(tally.context.tf, frame) : ordered_json(nullptr)}};
}

ordered_json ImuOfTopicJson(const SummaryTally& tally, const TopicTally& topic,
                            const ordered_json& json, TopicFacts& topic_facts) {
  const StampFacts clouds = FactsOf(topic.stamps, topic.latencies);
  const ordered_json& time = json["time"];
  std::optional<double> last_median;
  if (!time.is_null() && !time["offsets"].is_null()) {
    last_median = time["offsets"]["last_median"].get<double>();
  }
  ordered_json list = ordered_json::array();
  for (const auto& [name, imu] : tally.context.imu) {
    const StampFacts facts = FactsOf(imu.stamps, imu.latencies);
    ordered_json offset = nullptr, covers = nullptr;
    if (clouds.latency && facts.latency) {
      offset = (*clouds.latency - last_median.value_or(0)) - *facts.latency;
    }
    if (clouds.first && facts.first) {
      const double slack = facts.period.value_or(0);
      const double start = Seconds(*clouds.first);
      const double end = Seconds(*clouds.last) + last_median.value_or(0);
      const bool late = Seconds(*facts.first) - slack > start;
      const bool early = Seconds(*facts.last) + slack < end;
      covers = !late && !early;
      if ((late || early) && !topic_facts.imu_late && !topic_facts.imu_early) {
        topic_facts.imu_late = late;
        topic_facts.imu_early = early;
      }
    }
    list.push_back({{"topic", name}, {"clock_offset", offset}, {"covers", covers}});
  }
  return list;
}

ordered_json LidarNotCloudsJson(const SummaryTally& tally) {
  ordered_json list = ordered_json::array();
  for (const LidarNotClouds& topic : tally.lidar_not_clouds) {
    list.push_back({{"topic", topic.topic},
                    {"type", topic.type},
                    {"form", topic.form},
                    {"messages", topic.messages}});
  }
  return list;
}

ordered_json TfJson(const ContextTally& context) {
  ordered_json topics = ordered_json::array(), transforms = ordered_json::array();
  for (const auto& [topic, messages] : context.tf.topics) {
    topics.push_back({{"topic", topic}, {"messages", messages}});
  }
  for (const auto& [pair, messages] : context.tf.transforms) {
    transforms.push_back({{"parent", std::get<0>(pair)},
                          {"child", std::get<1>(pair)},
                          {"static", std::get<2>(pair)},
                          {"messages", messages}});
  }
  return {{"topics", topics}, {"transforms", transforms}, {"undecodable", context.tf.undecodable}};
}

ordered_json ImuTopicsJson(const ContextTally& context) {
  ordered_json list = ordered_json::array();
  for (const auto& [name, imu] : context.imu) {
    const StampFacts facts = FactsOf(imu.stamps, imu.latencies);
    long long gaps = 0, backward = 0, zero = 0;
    std::optional<std::int64_t> before;
    for (const std::int64_t stamp : imu.stamps) {
      if (stamp == 0) {
        ++zero;
        continue;
      }
      if (before) {
        const std::int64_t delta = stamp - *before;
        if (delta < 0) ++backward;
        if (facts.period && static_cast<double>(delta) > 1.5 * *facts.period * 1e9) ++gaps;
      }
      before = stamp;
    }
    const std::optional<double> acceleration = Median(imu.accelerations);
    ordered_json unit = nullptr;
    if (acceleration) {
      unit = *acceleration >= 8 && *acceleration <= 11.5    ? "m/s2"
             : *acceleration >= 0.8 && *acceleration <= 1.2 ? "g"
                                                            : "unknown";
    }
    const bool any = !imu.stamps.empty();
    list.push_back({{"topic", name},
                    {"type", imu.type},
                    {"messages", imu.messages},
                    {"stamps",
                     {{"first", any ? ordered_json(Seconds(imu.stamps.front())) : nullptr},
                      {"last", any ? ordered_json(Seconds(imu.stamps.back())) : nullptr},
                      {"period_median", OrNull(facts.period)},
                      {"rate_hz", facts.period ? ordered_json(1.0 / *facts.period) : nullptr},
                      {"gaps", gaps},
                      {"backward", backward},
                      {"zero", zero}}},
                    {"latency_median", OrNull(facts.latency)},
                    {"acceleration_median", OrNull(acceleration)},
                    {"acceleration_unit", unit}});
  }
  return list;
}
