// The stacks recorded lidar is most often fed to, as data: which point
// members each converts with PCL's matching (name, datatype, count 0 or 1),
// what makes it stop, and what it expects of the point times. Read from each
// project's own source (default branches, ROS 1 where there are both; PCL
// before 1.15, where a member whose field has another datatype stays 0).
#include "summary/rules.h"
#include "text_format.h"

#include <sensor_msgs/PointField.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

using nlohmann::ordered_json;
using sensor_msgs::PointField;

namespace {

struct Member {
  const char* name;
  std::uint8_t datatype;
  bool optional = false;  // judged only when the cloud has a field of this name
};

// How a consumer's time member is judged.
struct PointTimes {
  const char* member;  // nullptr: it reads no point time; "": its own pick (KISS-ICP)
  const char* unit;    // "s", "ns", or "any" (a setting): every known unit
  bool needs_start;    // the stamp at the sweep's start; otherwise anywhere
  // What it does without point times: "" when it cannot work without them,
  // or the words for how it copes.
  const char* without;
  bool judged_when_absent = true;  // false: no field of that name means no verdict
};

struct Consumer {
  const char* key;
  const char* name;
  std::vector<Member> members;
  std::vector<const char*> stops;  // the stop codes it can meet, in order
  PointTimes times;
};

constexpr std::uint8_t kF32 = PointField::FLOAT32, kU8 = PointField::UINT8,
                       kU16 = PointField::UINT16, kU32 = PointField::UINT32;

const std::vector<Consumer>& Consumers() {
  static const std::vector<Consumer> consumers = {
      {"lio-sam-velodyne",
       "LIO-SAM (velodyne, livox)",
       {{"x", kF32}, {"y", kF32}, {"z", kF32}, {"intensity", kF32}, {"ring", kU16}, {"time", kF32}},
       {"is_dense", "no-ring-field"},
       {"time", "s", true, ""}},
      {"lio-sam-ouster",
       "LIO-SAM (ouster)",
       {{"x", kF32}, {"y", kF32}, {"z", kF32}, {"intensity", kF32}, {"t", kU32}, {"ring", kU8}},
       {"is_dense", "no-ring-field"},
       {"t", "ns", true, ""}},
      {"fast-lio-velodyne",
       "FAST-LIO (velodyne)",
       {{"x", kF32},
        {"y", kF32},
        {"z", kF32},
        {"intensity", kF32},
        {"time", kF32, true},
        {"ring", kU16}},
       {},
       {"time", "any", true, "with times from the azimuth"}},
      {"fast-lio-ouster",
       "FAST-LIO (ouster)",
       {{"x", kF32}, {"y", kF32}, {"z", kF32}, {"intensity", kF32}, {"t", kU32}},
       {},
       {"t", "any", true, ""}},
      {"cartographer",
       "cartographer",
       {{"x", kF32}, {"y", kF32}, {"z", kF32}, {"intensity", kF32, true}, {"time", kF32, true}},
       {"point-after-last"},
       {"time", "s", false, "", false}},
      {"autoware",
       "Autoware (PointXYZIRCAEDT)",
       {{"x", kF32},
        {"y", kF32},
        {"z", kF32},
        {"intensity", kU8},
        {"return_type", kU8},
        {"channel", kU16},
        {"azimuth", kF32},
        {"elevation", kF32},
        {"distance", kF32},
        {"time_stamp", kU32}},
       {"layout"},
       {"time_stamp", "ns", true, ""}},
      {"kiss-icp",
       "KISS-ICP",
       {{"x", kF32}, {"y", kF32}, {"z", kF32}},
       {"time-datatype"},
       {"", "any", false, "without deskewing"}},
      {"lego-loam",
       "LeGO-LOAM",
       {{"x", kF32}, {"y", kF32}, {"z", kF32}, {"intensity", kF32}, {"ring", kU16}},
       {"is_dense"},
       {nullptr, "", false, ""}},
      {"a-loam", "A-LOAM", {{"x", kF32}, {"y", kF32}, {"z", kF32}}, {}, {nullptr, "", false, ""}},
  };
  return consumers;
}

// Autoware's own check of its point layout: exactly these fields, in this
// order, at these offsets, each a single value.
const Member kAutowareLayout[] = {{"x", kF32},         {"y", kF32},          {"z", kF32},
                                  {"intensity", kU8},  {"return_type", kU8}, {"channel", kU16},
                                  {"azimuth", kF32},   {"elevation", kF32},  {"distance", kF32},
                                  {"time_stamp", kU32}};
const std::uint32_t kAutowareOffsets[] = {0, 4, 8, 12, 13, 14, 16, 20, 24, 28};

bool IsAutowareLayout(const std::vector<PointField>& fields) {
  if (fields.size() != std::size(kAutowareLayout)) return false;
  for (std::size_t k = 0; k < fields.size(); ++k) {
    if (fields[k].name != kAutowareLayout[k].name ||
        fields[k].datatype != kAutowareLayout[k].datatype ||
        fields[k].offset != kAutowareOffsets[k] || fields[k].count != 1) {
      return false;
    }
  }
  return true;
}

// KISS-ICP's time field: the last one named t, timestamp or time.
const PointField* KissIcpTimeField(const std::vector<PointField>& fields) {
  const PointField* picked = nullptr;
  for (const PointField& field : fields) {
    if (field.name == "t" || field.name == "timestamp" || field.name == "time") picked = &field;
  }
  return picked;
}

bool KissIcpTakes(std::uint8_t datatype) {
  return datatype == kU32 || datatype == kF32 || datatype == PointField::FLOAT64;
}

enum class Match { kMatches, kMistyped, kMissing };

// PCL's rule: a field of the member's name and datatype, count 0 or 1.
// `found` is the first field of that name, when there is one.
Match MatchOf(const std::vector<PointField>& fields, const Member& member,
              const PointField*& found) {
  found = nullptr;
  for (const PointField& field : fields) {
    if (field.name != member.name) continue;
    if (field.datatype == member.datatype && field.count <= 1) return Match::kMatches;
    if (found == nullptr) found = &field;
  }
  return found != nullptr ? Match::kMistyped : Match::kMissing;
}

std::string FoundAs(const PointField& field) {
  std::string found = DatatypeName(field.datatype);
  if (field.count > 1) found += " (count " + std::to_string(field.count) + ")";
  return found;
}

bool Holds(const char* stop, const TopicTally& tally, const ordered_json& topic) {
  const std::vector<PointField>& fields = tally.readable_fields;
  const std::string code = stop;
  if (code == "is_dense") return tally.dense_flag_false > 0;
  if (code == "no-ring-field") {
    for (const PointField& field : fields) {
      if (field.name == "ring") return false;
    }
    return true;
  }
  if (code == "layout") return !IsAutowareLayout(fields);
  if (code == "time-datatype") {
    const PointField* time = KissIcpTimeField(fields);
    return time != nullptr && !KissIcpTakes(time->datatype);
  }
  // point-after-last
  const ordered_json& time = topic["time"];
  return !time.is_null() && time["field"] == "time" && !time["last_not_latest"].is_null() &&
         time["last_not_latest"].get<long long>() > 0;
}

// The verdict on the point times of a consumer whose time member is
// `member` (nullptr: it has none to match).
ordered_json TimeVerdict(const PointTimes& times, const std::string& member, bool usable,
                         const ordered_json& topic) {
  if (!usable) return "no time";
  const ordered_json& time = topic["time"];
  if (time.is_null() || time["field"] != member || time["unit"] == "unknown") return nullptr;
  const bool any_place = !times.needs_start;
  if (!any_place && time["stamp_at"].is_null()) return nullptr;
  if (std::string(times.unit) != "any" && time["unit"] != times.unit) return "unit";
  if (!any_place && time["stamp_at"] != "start") return "stamp";
  return "fits";
}

ordered_json Judge(const Consumer& consumer, const TopicTally& tally, const ordered_json& topic) {
  const std::vector<PointField>& fields = tally.readable_fields;
  ordered_json missing = ordered_json::array(), mistyped = ordered_json::array(),
               stops = ordered_json::array();
  bool time_usable = true;  // its time member matches
  bool time_present = true;
  for (const Member& member : consumer.members) {
    const PointField* found = nullptr;
    const Match match = MatchOf(fields, member, found);
    const bool is_time =
        consumer.times.member != nullptr && std::string(consumer.times.member) == member.name;
    if (is_time) {
      time_usable = match == Match::kMatches;
      time_present = match != Match::kMissing;
    }
    if (match == Match::kMissing && !member.optional) missing.push_back(member.name);
    if (match == Match::kMistyped) {
      mistyped.push_back({{"member", member.name},
                          {"expected", DatatypeName(member.datatype)},
                          {"found", FoundAs(*found)}});
    }
  }
  for (const char* stop : consumer.stops) {
    if (Holds(stop, tally, topic)) stops.push_back(stop);
  }
  ordered_json time = nullptr;
  const PointTimes& times = consumer.times;
  if (times.member != nullptr && *times.member == '\0') {
    const PointField* own = KissIcpTimeField(fields);
    const bool usable = own != nullptr && KissIcpTakes(own->datatype);
    time = TimeVerdict(times, usable ? own->name : "", usable, topic);
  } else if (times.member != nullptr && (time_present || times.judged_when_absent)) {
    time = TimeVerdict(times, times.member, time_usable, topic);
  }
  const bool time_fine = time.is_null() || time == "fits" || (time == "no time" && *times.without);
  return {{"consumer", consumer.key},
          {"name", consumer.name},
          {"works", missing.empty() && mistyped.empty() && stops.empty() && time_fine},
          {"missing", missing},
          {"mistyped", mistyped},
          {"stops", stops},
          {"time", time}};
}

const Consumer* ConsumerOf(const std::string& key) {
  for (const Consumer& consumer : Consumers()) {
    if (consumer.key == key) return &consumer;
  }
  return nullptr;
}

std::string StopInWords(const std::string& code, const ordered_json& topic) {
  if (code == "is_dense") return "is_dense 0";
  if (code == "no-ring-field") return "no 'ring' field";
  if (code == "layout") return "the fields are not its PointXYZIRCAEDT layout";
  if (code == "point-after-last") return "a point later than the cloud's last point";
  // time-datatype: the field it picks, from the topic's fields
  std::string field = "time", datatype;
  for (const ordered_json& f : topic["fields"]) {
    const std::string name = f["name"];
    if (name == "t" || name == "timestamp" || name == "time") {
      field = name;
      datatype = f["datatype"];
    }
  }
  return "its time field '" + field + "' is " + datatype + ", not UINT32, FLOAT32 or FLOAT64";
}

}  // namespace

ordered_json ConsumersJson(const TopicTally& tally, const ordered_json& topic) {
  if (tally.kind == "radar" || tally.kind == "camera" || !tally.readable) return nullptr;
  ordered_json verdicts = ordered_json::array();
  for (const Consumer& consumer : Consumers()) verdicts.push_back(Judge(consumer, tally, topic));
  return verdicts;
}

std::vector<std::string> ConsumerKeys() {
  std::vector<std::string> keys;
  for (const Consumer& consumer : Consumers()) keys.emplace_back(consumer.key);
  return keys;
}

std::vector<ConsumerWords> DescribeConsumers(const ordered_json& topic) {
  std::vector<ConsumerWords> described;
  for (const ordered_json& verdict : topic["consumers"]) {
    const Consumer* consumer = ConsumerOf(verdict["consumer"]);
    ConsumerWords words;
    words.name = verdict["name"];
    words.works = verdict["works"];
    if (words.works) {
      if (verdict["time"] == "no time" && consumer != nullptr) words.how = consumer->times.without;
      described.push_back(words);
      continue;
    }
    for (const ordered_json& m : verdict["mistyped"]) {
      words.reasons.push_back(m["member"].get<std::string>() + " is " +
                              m["found"].get<std::string>() + ", needs " +
                              m["expected"].get<std::string>());
    }
    for (const ordered_json& name : verdict["missing"]) {
      std::string datatype;
      if (consumer != nullptr) {
        for (const Member& member : consumer->members) {
          if (name == member.name) datatype = " " + DatatypeName(member.datatype);
        }
      }
      words.reasons.push_back("no '" + name.get<std::string>() + "'" + datatype);
    }
    const ordered_json& time = topic["time"];
    if (verdict["time"] == "unit" && consumer != nullptr) {
      words.reasons.push_back("point times are in " + time["unit"].get<std::string>() +
                              "; it needs " + consumer->times.unit);
    } else if (verdict["time"] == "stamp") {
      words.reasons.push_back("point times put the stamp " + StampPlace(time) +
                              "; it needs the start");
    }
    if (!verdict["stops"].empty()) {
      std::string stops;
      for (const ordered_json& stop : verdict["stops"]) {
        stops += (stops.empty() ? "" : ", ") + StopInWords(stop, topic);
      }
      words.reasons.push_back("stops: " + stops);
    }
    described.push_back(words);
  }
  return described;
}

std::string StampPlace(const ordered_json& time) {
  const std::string at = time["stamp_at"];
  const ordered_json& offsets = time["offsets"];
  if (at == "start" || at == "end" || at == "middle") return "at the sweep's " + at;
  if (at == "inside") return "inside the sweep";
  if (at == "before") return Duration(offsets["first_median"].get<double>()) + " before the sweep";
  return Duration(-offsets["last_median"].get<double>()) + " after the sweep";
}
