// The summary's JSON document as '#' lines after the report, at most 100
// columns wide, each number with its unit.
#include "summary/rules.h"
#include "summary/summary.h"
#include "text_format.h"

#include <nlohmann/json.hpp>

#include <cstdarg>
#include <cstdio>
#include <string>

using nlohmann::ordered_json;

namespace {

constexpr std::size_t kColumns = 100;
const char kIndent[] = "#              ";  // where a line's text starts, after its label

long long Count(const ordered_json& value) { return value.get<long long>(); }

// A number with printf's format, or `none` for null.
std::string Number(const char* format, const ordered_json& value, const char* none = "none") {
  return value.is_null() ? none : Format(format, value.get<double>());
}

// "#   label      text", the text wrapped at blanks to stay within kColumns.
void PrintLine(const char* label, const std::string& text) {
  std::string line = Format("#   %-10s ", label);
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.size();
    if (line.size() + (end - at) > kColumns) {
      const std::size_t room = kColumns - line.size();
      const std::size_t blank = text.rfind(' ', at + room);
      if (blank != std::string::npos && blank > at) end = blank;
    }
    line += text.substr(at, end - at);
    std::printf("%s\n", line.c_str());
    at = end;
    while (at < text.size() && text[at] == ' ') ++at;
    line = kIndent;
  }
}

std::string Joined(const ordered_json& values, const char* separator) {
  std::string text;
  for (const auto& value : values) {
    if (!text.empty()) text += separator;
    text += value.is_string() ? value.get<std::string>() : value.dump();
  }
  return text;
}

std::string FrameIds(const ordered_json& frame_ids) {
  if (frame_ids.size() == 1) return "frame '" + frame_ids.begin().key() + "'";
  std::string text = "frames";
  for (auto it = frame_ids.begin(); it != frame_ids.end(); ++it) {
    text += Format("%s '%s' (%lld)", it == frame_ids.begin() ? "" : ",", it.key().c_str(),
                   Count(it.value()));
  }
  return text;
}

bool IsLidarLike(const ordered_json& topic) {
  return topic["kind"] != "radar" && topic["kind"] != "camera";
}

void PrintSweep(const ordered_json& sweep) {
  if (sweep.is_null()) {
    PrintLine("sweep", "none: no cloud with points to read");
    return;
  }
  const ordered_json& coverage = sweep["coverage_deg"];
  const long long partial = Count(sweep["partial_clouds"]);
  PrintLine("sweep", Format("%s° median (%lld° to %lld°), %s valid points median; %s, largest "
                            "gap %lld° (cloud %lld)",
                            Grouped(coverage["median"].get<double>()).c_str(),
                            Count(coverage["min"]), Count(coverage["max"]),
                            Grouped(sweep["valid_points"]["median"].get<double>()).c_str(),
                            Plural(partial, "partial sweep", "partial sweeps").c_str(),
                            Count(sweep["largest_gap_deg"]), Count(sweep["largest_gap_index"])));
}

// The consumers that read the topic as is on one line, then one line for
// each of the others with its reasons.
void PrintConsumers(const ordered_json& t) {
  if (t["consumers"].is_null()) {
    PrintLine("consumers", "not judged: no cloud's points can be read");
    return;
  }
  const std::vector<ConsumerWords> consumers = DescribeConsumers(t);
  std::string working;
  for (const ConsumerWords& consumer : consumers) {
    if (!consumer.works) continue;
    working += (working.empty() ? "" : ", ") + consumer.name +
               (consumer.how.empty() ? "" : " " + consumer.how);
  }
  PrintLine("consumers", "works as is: " + (working.empty() ? std::string("none") : working));
  for (const ConsumerWords& consumer : consumers) {
    if (consumer.works) continue;
    std::string reasons;
    for (const std::string& reason : consumer.reasons) {
      reasons += (reasons.empty() ? "" : "; ") + reason;
    }
    PrintLine("", consumer.name + ": " + reasons);
  }
}

// The first frame and its way through TF.
void PrintFrame(const ordered_json& t) {
  const ordered_json& frames = t["frames"];
  std::string text;
  if (frames["in_tf"] == true) {
    for (const ordered_json& frame : frames["tf_chain"]) {
      text +=
          text.empty() ? "'" + frame.get<std::string>() + "'" : " -> " + frame.get<std::string>();
    }
    text += " in TF";
  } else {
    std::string first = t["frame_ids"].empty() ? "" : t["frame_ids"].begin().key();
    if (!first.empty() && first[0] == '/') first.erase(0, 1);
    text = "'" + first + "' not in TF";
  }
  text +=
      Format("; %lld empty, %lld with '/'", Count(frames["empty"]), Count(frames["leading_slash"]));
  if (!frames["shared_with"].empty())
    text += "; shared with " + Joined(frames["shared_with"], ", ");
  PrintLine("frame", text);
}

// What each lidar topic that holds no clouds is, and what to do with it.
void PrintLidarNotClouds(const ordered_json& document) {
  for (const ordered_json& topic : document["lidar_not_clouds"]) {
    const std::string form = topic["form"];
    const char* what =
        form == "packets"
            ? "raw sensor packets, not clouds: replay them through the driver's cloud node to get "
              "PointCloud2 (this tool and PointCloud2 consumers cannot read them)"
        : form == "livox-custom"
            ? "Livox's own point message: consumers that read PointCloud2 need the driver's "
              "PointCloud2 output"
            : "compressed clouds: decode them with point_cloud_transport before PointCloud2 "
              "consumers can read them";
    std::printf("# %s (%s, %s): %s\n", topic["topic"].get<std::string>().c_str(),
                topic["type"].get<std::string>().c_str(),
                Plural(Count(topic["messages"]), "message", "messages").c_str(), what);
  }
}

// TF and IMU as the recording holds them, for its cloud topics.
void PrintSurroundings(const ordered_json& document) {
  if (document["topics"].empty()) return;
  if (document["tf"]["transforms"].empty()) {
    std::printf(
        "# no TF in this recording: a consumer needs the lidar's mounting from elsewhere\n");
  }
  if (document["imu_topics"].empty()) {
    std::printf("# no IMU in this recording: lidar-inertial stacks cannot run on it\n");
  }
  for (const ordered_json& imu : document["imu_topics"]) {
    if (imu["acceleration_unit"] != "g") continue;
    std::printf(
        "# IMU %s reports acceleration in g (median %.2f), not m/s²: lidar-inertial "
        "stacks must scale it\n",
        imu["topic"].get<std::string>().c_str(), imu["acceleration_median"].get<double>());
  }
}

void PrintTopic(const ordered_json& t) {
  std::printf("# summary of %s (%s): %s (%d to %d), %s, %s\n",
              t["topic"].get<std::string>().c_str(), t["kind"].get<std::string>().c_str(),
              Plural(Count(t["clouds"]), "cloud", "clouds").c_str(), t["first_index"].get<int>(),
              t["last_index"].get<int>(), Joined(t["types"], ", ").c_str(),
              FrameIds(t["frame_ids"]).c_str());
  const ordered_json& points = t["points"];
  PrintLine("points", Format("%lld in all, %s to %s a cloud; %lld empty, %lld malformed",
                             Count(points["total"]), Number("%.0f", points["min"]).c_str(),
                             Number("%.0f", points["max"]).c_str(), Count(points["empty_clouds"]),
                             Count(t["malformed"])));
  std::string fields;
  for (const ordered_json& field : t["fields"]) {
    fields += (fields.empty() ? "" : " ") + field["name"].get<std::string>();
  }
  PrintLine("fields", Format("%s; %s, %lld organized, %lld big-endian",
                             fields.empty() ? "none" : fields.c_str(),
                             Plural(Count(t["layouts"]), "layout", "layouts").c_str(),
                             Count(t["organized_clouds"]), Count(t["bigendian_clouds"])));
  const ordered_json& s = t["stamps"];
  const long long zero = Count(s["zero"]);
  PrintLine("stamps",
            Format("%.3f to %.3f s, %s%s", s["first"].get<double>(), s["last"].get<double>(),
                   s["period_median"].is_null()
                       ? "no period"
                       : Format("%.3f Hz (period %s)", s["rate_hz"].get<double>(),
                                Duration(s["period_median"].get<double>()).c_str())
                             .c_str(),
                   zero == 0 ? "" : (", " + Plural(zero, "stamp", "stamps") + " 0").c_str()));
  PrintLine("gaps", Format("%lld over 1.5 periods, %lld backward, %lld repeated%s",
                           Count(s["gaps"]), Count(s["backward"]), Count(s["repeated"]),
                           s["jitter"].is_null()
                               ? ""
                               : (", jitter " + Duration(s["jitter"].get<double>())).c_str()));
  const ordered_json& l = t["latency"];
  PrintLine("latency",
            l["median"].is_null()
                ? std::string("none: no cloud has a stamp")
                : Format("%s median, %s (record time minus stamp)",
                         Duration(l["median"].get<double>()).c_str(),
                         DurationRange(l["min"].get<double>(), l["max"].get<double>()).c_str()));
  const ordered_json& i = t["invalid"];
  PrintLine("invalid", Format("%lld non-finite points, %lld at the origin; is_dense 0 in %s, "
                              "wrongly 1 in %lld",
                              Count(i["nonfinite_points"]), Count(i["zero_points"]),
                              Plural(Count(i["dense_flag_false"]), "cloud", "clouds").c_str(),
                              Count(i["dense_flag_wrong"])));
  const ordered_json& r = t["range"];
  // A finite range whose square overflows a double leaves max null.
  PrintLine("range", r["min"].is_null()   ? "no finite point away from the origin"
                     : r["max"].is_null() ? Format("%.3f m to over 1e154 m", r["min"].get<double>())
                                          : Format("%.3f to %.3f m", r["min"].get<double>(),
                                                   r["max"].get<double>()));
  if (IsLidarLike(t)) PrintSweep(t["sweep"]);
  const ordered_json& ring = t["ring"];
  if (ring.is_null()) {
    PrintLine("ring", "none");
  } else {
    std::string missing = "missing not counted";
    if (!ring["missing_count"].is_null()) {
      missing =
          Count(ring["missing_count"]) == 0
              ? "none missing"
              : Format("%lld missing: %s%s", Count(ring["missing_count"]),
                       Joined(ring["missing"], " ").c_str(),
                       Count(ring["missing_count"]) > static_cast<long long>(ring["missing"].size())
                           ? " ..."
                           : "");
    }
    PrintLine(
        "ring",
        Format("'%s' %s, %s to %s, %s%lld distinct, %s", ring["field"].get<std::string>().c_str(),
               ring["datatype"].get<std::string>().c_str(), Number("%.0f", ring["min"]).c_str(),
               Number("%.0f", ring["max"]).c_str(),
               ring["distinct_exact"] == true ? "" : "at least ", Count(ring["distinct"]),
               missing.c_str()));
  }
  const ordered_json& time = t["time"];
  if (time.is_null()) {
    PrintLine("time", "none");
  } else {
    const std::string unit = time["unit"];
    PrintLine("time", Format("'%s' %s, %s to %s, sweep span %s: %s%s; all 0 in %lld clouds",
                             time["field"].get<std::string>().c_str(),
                             time["datatype"].get<std::string>().c_str(),
                             Number("%g", time["min"]).c_str(), Number("%g", time["max"]).c_str(),
                             Number("%g", time["span_median"]).c_str(), unit.c_str(),
                             time["relative"].is_null()
                                 ? ""
                                 : (time["relative"] == true ? ", relative" : ", absolute"),
                             Count(time["zero_clouds"])) +
                          (time["stamp_at"].is_null() ? "" : "; stamp " + StampPlace(time)));
  }
  const ordered_json& intensity = t["intensity"];
  PrintLine(
      "intensity",
      intensity.is_null()
          ? "none"
          : Format("'%s' %s, %s to %s", intensity["field"].get<std::string>().c_str(),
                   intensity["datatype"].get<std::string>().c_str(),
                   Number("%g", intensity["min"]).c_str(), Number("%g", intensity["max"]).c_str()));
  if (IsLidarLike(t)) PrintConsumers(t);
  PrintFrame(t);
  if (t["problems"].empty()) PrintLine("problems", "none");
  for (const ordered_json& problem : t["problems"]) {
    PrintLine("problem",
              problem["code"].get<std::string>() + ": " + problem["text"].get<std::string>());
  }
}

// Says there are no clouds, and what the bag holds instead.
void PrintNoClouds(const ordered_json& document) {
  std::string others;
  for (const ordered_json& other : document["other_topics"]) {
    others +=
        Format("%s%s (%s, %s)", others.empty() ? "" : ", ",
               other["topic"].get<std::string>().c_str(), other["type"].get<std::string>().c_str(),
               Plural(Count(other["messages"]), "message", "messages").c_str());
  }
  std::string bags;
  for (const ordered_json& bag : document["bags"]) {
    bags += (bags.empty() ? "'" : ", '") + bag.get<std::string>() + "'";
  }
  const std::string where =
      document["topics_requested"] == true ? "on the requested topics of " + bags : "in " + bags;
  std::printf(
      "# no point clouds %s; %s\n", where.c_str(),
      others.empty() ? "it holds no other messages" : ("its other topics: " + others).c_str());
}

}  // namespace

void PrintSummaryText(const ordered_json& document, const std::string& incomplete) {
  if (!incomplete.empty()) {
    std::printf("# %s\n", incomplete.c_str());
  } else if (document["complete"] != true) {
    std::printf("# the walk stopped on a damaged message: this covers the %s before it\n",
                Plural(Count(document["clouds"]), "cloud", "clouds").c_str());
  }
  if (document["topics"].empty() && Count(document["walk_clouds"]) > 0) {
    std::printf("# no cloud selected among the %s of the walk\n",
                Plural(Count(document["walk_clouds"]), "cloud", "clouds").c_str());
  } else if (document["topics"].empty()) {
    PrintNoClouds(document);
  }
  for (const ordered_json& topic : document["topics"]) PrintTopic(topic);
  for (const ordered_json& silent : document["silent_cloud_topics"]) {
    const ordered_json& qos = silent["offered_qos"];
    std::printf(
        "# silent cloud topic %s (%s): it recorded no message: its driver never published, or "
        "published with a QoS the recorder could not match (best effort against reliable)%s\n",
        silent["topic"].get<std::string>().c_str(), silent["type"].get<std::string>().c_str(),
        qos.is_null() ? "" : ("; offered QoS: " + qos.get<std::string>()).c_str());
  }
  PrintLidarNotClouds(document);
  PrintSurroundings(document);
}
