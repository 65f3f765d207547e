// The problems a topic's document points to, each with its code and its
// text in the form "facts: what they mean", and the codes --fail-on takes.
#include "summary/rules.h"
#include "text_format.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <string>

using nlohmann::ordered_json;

namespace {

struct ProblemRule {
  const char* code;
  // The problem's text, or "" when the topic does not have it.
  std::string (*find)(const ordered_json& topic, const TopicFacts& facts);
};

long long Count(const ordered_json& value) { return value.get<long long>(); }

std::string ListOf(const ordered_json& values) {
  std::string list;
  for (const auto& value : values) {
    list +=
        (list.empty() ? "" : ", ") + (value.is_string() ? value.get<std::string>() : value.dump());
  }
  return list;
}

// Radar targets and camera pixels have no rings and no per-point times to
// miss.
bool IsLidarLike(const ordered_json& topic) {
  return topic["kind"] != "radar" && topic["kind"] != "camera";
}

const ProblemRule kProblemRules[] = {
    {"malformed",
     [](const ordered_json& t, const TopicFacts&) {
       const long long n = Count(t["malformed"]);
       if (n == 0) return std::string();
       return Plural(n, "cloud's", "clouds'") +
              " metadata does not fit the data: those clouds' points cannot be read";
     }},
    {"empty-clouds",
     [](const ordered_json& t, const TopicFacts&) {
       const long long n = Count(t["points"]["empty_clouds"]);
       if (n == 0) return std::string();
       return Plural(n, "cloud", "clouds") + " without points: sweeps with no points";
     }},
    {"repeated-clouds",
     [](const ordered_json& t, const TopicFacts& facts) {
       if (t["repeated_clouds"].is_null() || Count(t["repeated_clouds"]) == 0) return std::string();
       const long long n = Count(t["repeated_clouds"]);
       return Format(
           "%s the previous cloud byte for byte (first: cloud %d): a frozen driver "
           "resending its last sweep",
           Plural(n, "cloud repeats", "clouds repeat").c_str(), facts.repeated_first_index);
     }},
    {"stamp-gaps",
     [](const ordered_json& t, const TopicFacts&) {
       const ordered_json& s = t["stamps"];
       const long long n = Count(s["gaps"]);
       if (n == 0) return std::string();
       return Format(
           "%s longer than 1.5 x the %s period, the first before cloud %d: "
           "dropped sweeps or a stalled driver",
           Plural(n, "stamp gap", "stamp gaps").c_str(),
           Duration(s["period_median"].get<double>()).c_str(), s["gap_indices"][0].get<int>());
     }},
    {"stamp-backward",
     [](const ordered_json& t, const TopicFacts&) {
       const long long n = Count(t["stamps"]["backward"]);
       if (n == 0) return std::string();
       return Plural(n, "stamp goes", "stamps go") +
              " back in time: odometry stacks clear their buffers (\"loop back\")";
     }},
    {"stamp-repeated",
     [](const ordered_json& t, const TopicFacts&) {
       const long long n = Count(t["stamps"]["repeated"]);
       if (n == 0) return std::string();
       return Plural(n, "stamp repeats", "stamps repeat") +
              " the one before: two clouds claim the same instant";
     }},
    {"stamp-zero",
     [](const ordered_json& t, const TopicFacts&) {
       const long long n = Count(t["stamps"]["zero"]);
       if (n == 0) return std::string();
       return Plural(n, "cloud", "clouds") +
              " with header.stamp 0: the driver never set header.stamp: TF lookups, "
              "synchronisation and deskewing fail for those clouds";
     }},
    {"stamp-jitter",
     [](const ordered_json& t, const TopicFacts&) {
       const ordered_json& s = t["stamps"];
       if (s["jitter"].is_null()) return std::string();
       const double jitter = s["jitter"].get<double>();
       const double period = s["period_median"].get<double>();
       const long long short_deltas = Count(s["short"]);
       if (!(jitter > 0.05 * period) && short_deltas == 0) return std::string();
       return Format(
           "stamps deviate by %s from the %s period (median), %s under half a period: "
           "stamps taken on arrival or by a drifting clock; deskewing and "
           "synchronisation suffer",
           Duration(jitter).c_str(), Duration(period).c_str(),
           Plural(short_deltas, "delta", "deltas").c_str());
     }},
    {"messages-lost",
     [](const ordered_json& t, const TopicFacts&) {
       const ordered_json& lost = t["stamps"]["seq_lost"];
       if (lost.is_null() || Count(lost) == 0) return std::string();
       const long long n = Count(lost);
       const double share =
           100.0 * static_cast<double>(n) / static_cast<double>(n + Count(t["clouds"]));
       return Format(
           "header.seq skips %lld numbers (%.1f %%): the recorder or the network "
           "dropped %s",
           n, share, Plural(n, "cloud", "clouds").c_str());
     }},
    {"clock-offset",
     [](const ordered_json& t, const TopicFacts&) {
       const ordered_json& latency = t["latency"]["median"];
       if (latency.is_null() || std::fabs(latency.get<double>()) <= 1) return std::string();
       const double median = latency.get<double>();
       return Format(
           "stamps lie %s %s the record time (median): stamps from another clock "
           "than the recorder's: sensor sync is off",
           Duration(std::fabs(median)).c_str(), median > 0 ? "before" : "after");
     }},
    {"nonfinite-points",
     [](const ordered_json& t, const TopicFacts&) {
       const long long n = Count(t["invalid"]["nonfinite_points"]);
       if (n == 0) return std::string();
       return Plural(n, "point", "points") +
              " with NaN or Inf in x, y or z: NaN/Inf points to filter";
     }},
    {"dense-flag-wrong",
     [](const ordered_json& t, const TopicFacts&) {
       const long long n = Count(t["invalid"]["dense_flag_wrong"]);
       if (n == 0) return std::string();
       return Plural(n, "cloud", "clouds") +
              " with is_dense 1 and NaN/Inf points: is_dense promises no NaN but there are some";
     }},
    {"not-dense",
     [](const ordered_json& t, const TopicFacts&) {
       const long long n = Count(t["invalid"]["dense_flag_false"]);
       if (n == 0) return std::string();
       return Plural(n, "cloud", "clouds") +
              " with is_dense 0: consumers that require dense clouds stop (\"Point cloud is not in "
              "dense format, please remove NaN points first!\")";
     }},
    {"zero-points",
     [](const ordered_json& t, const TopicFacts&) {
       const long long n = Count(t["invalid"]["zero_points"]);
       if (n == 0) return std::string();
       return Plural(n, "point", "points") + " at x = y = z = 0: no-return points at the origin";
     }},
    {"unmatched",
     [](const ordered_json& t, const TopicFacts&) {
       if (t["unmatched"].empty()) return std::string();
       return "no matching field for " + ListOf(t["unmatched"]) +
              ": PCL fills those record members with zero or neighbouring bytes (the warnings)";
     }},
    {"no-ring",
     [](const ordered_json& t, const TopicFacts&) {
       if (!t["ring"].is_null() || !IsLidarLike(t)) return std::string();
       return std::string(
           "no ring field (ring, channel, laser_id or line): ring-based consumers stop (\"Point "
           "cloud ring channel not available, please configure your point cloud data!\")");
     }},
    {"missing-rings",
     [](const ordered_json& t, const TopicFacts&) {
       const ordered_json& r = t["ring"];
       if (r.is_null() || r["missing_count"].is_null() || Count(r["missing_count"]) == 0) {
         return std::string();
       }
       const long long n = Count(r["missing_count"]);
       return Format(
           "%s between %lld and %lld never seen (%s%s): dead channels, or a ring "
           "numbering fault",
           Plural(n, "ring number", "ring numbers").c_str(), Count(r["min"]), Count(r["max"]),
           ListOf(r["missing"]).c_str(),
           n > static_cast<long long>(r["missing"].size()) ? ", ..." : "");
     }},
    {"partial-sweeps",
     [](const ordered_json& t, const TopicFacts& facts) {
       const ordered_json& sweep = t["sweep"];
       if (sweep.is_null() || Count(sweep["partial_clouds"]) == 0) return std::string();
       std::string gap;
       if (facts.partial_gap == 360) {
         gap = "no valid point";
       } else if (facts.partial_gap == 0) {
         gap = "no gap";
       } else {
         const int last = (facts.partial_gap_start + facts.partial_gap - 1) % 360;
         gap = Format("largest gap %d° from %d° to %d°", facts.partial_gap,
                      facts.partial_gap_start - 180, last - 179);
       }
       return Format(
           "%s less of the circle or hold fewer points than this topic's usual sweep (median: "
           "%s°, %s points; first: cloud %d, %d°, %s points, %s): lost packets or a "
           "stalled driver; scan matching degrades",
           Plural(Count(sweep["partial_clouds"]), "cloud covers", "clouds cover").c_str(),
           Grouped(sweep["coverage_deg"]["median"].get<double>()).c_str(),
           Grouped(sweep["valid_points"]["median"].get<double>()).c_str(), facts.partial_index,
           facts.partial_coverage, Grouped(static_cast<double>(facts.partial_valid)).c_str(),
           gap.c_str());
     }},
    {"no-time",
     [](const ordered_json& t, const TopicFacts&) {
       if (!t["time"].is_null() || !IsLidarLike(t)) return std::string();
       return std::string(
           "no per-point time field (time, t, timestamp, time_stamp, offset_time or "
           "time_offset): no deskewing possible (\"Point cloud timestamp not available, deskew "
           "function disabled, system will drift significantly!\")");
     }},
    {"time-zero",
     [](const ordered_json& t, const TopicFacts&) {
       const ordered_json& time = t["time"];
       if (time.is_null() || Count(time["zero_clouds"]) == 0) return std::string();
       return Plural(Count(time["zero_clouds"]), "cloud has", "clouds have") +
              " per-point times all 0: time present but all zero in some sweeps";
     }},
    {"time-constant",
     [](const ordered_json& t, const TopicFacts&) {
       const ordered_json& time = t["time"];
       if (time.is_null() || time["constant_clouds"].is_null() ||
           Count(time["constant_clouds"]) == 0) {
         return std::string();
       }
       return Plural(Count(time["constant_clouds"]), "cloud gives", "clouds give") +
              " every point the same time: deskewing does nothing";
     }},
    {"sweeps-overlap",
     [](const ordered_json& t, const TopicFacts&) {
       const ordered_json& time = t["time"];
       if (time.is_null() || time["overlaps"].is_null() || Count(time["overlaps"]) == 0) {
         return std::string();
       }
       return Format(
           "%s before the previous one ends, by up to %s (first: cloud %d): the same "
           "returns are counted twice, and consumers that require sequential sweeps "
           "stop",
           Plural(Count(time["overlaps"]), "cloud begins", "clouds begin").c_str(),
           Duration(time["overlap_max"].get<double>()).c_str(),
           time["overlap_first_index"].get<int>());
     }},
    {"time-unordered",
     [](const ordered_json& t, const TopicFacts&) {
       const ordered_json& time = t["time"];
       if (time.is_null() || time["unordered_clouds"].is_null() ||
           Count(time["unordered_clouds"]) == 0) {
         return std::string();
       }
       return "in " + Plural(Count(time["unordered_clouds"]), "cloud", "clouds") +
              " point times run backwards along a ring: consumers that take points in time "
              "order deskew them wrongly";
     }},
    {"time-unit",
     [](const ordered_json& t, const TopicFacts&) {
       const ordered_json& time = t["time"];
       const ordered_json& period = t["stamps"]["period_median"];
       if (time.is_null() || period.is_null() || time["unit"] == "s") return std::string();
       const std::string unit = time["unit"];
       const std::string span = time["span_median"].is_null()
                                    ? std::string("no finite value")
                                    : Format("%g", time["span_median"].get<double>());
       return Format(
           "per-point times span %s a sweep against a %.3f ms period, %s: consumers "
           "that read float seconds get %s",
           span.c_str(), period.get<double>() * 1e3,
           unit == "unknown" ? "in no known unit" : ("so in " + unit).c_str(),
           unit == "unknown" ? "nonsense" : unit.c_str());
     }},
    {"time-absolute",
     [](const ordered_json& t, const TopicFacts&) {
       const ordered_json& time = t["time"];
       if (time.is_null() || time["relative"] != false) return std::string();
       return Format(
           "per-point times reach %g %s: per-point times are absolute, not offsets "
           "within the sweep",
           std::max(std::fabs(time["min"].get<double>()), std::fabs(time["max"].get<double>())),
           time["unit"].get<std::string>().c_str());
     }},
    {"stamp-outside-sweep",
     [](const ordered_json& t, const TopicFacts&) {
       const ordered_json& time = t["time"];
       if (time.is_null() || time["stamp_at"].is_null()) return std::string();
       const std::string at = time["stamp_at"];
       if (at != "before" && at != "after") return std::string();
       const ordered_json& offsets = time["offsets"];
       const std::string where =
           at == "before"
               ? Duration(offsets["first_median"].get<double>()) + " before the sweep's first point"
               : Duration(-offsets["last_median"].get<double>()) + " after its last";
       return "the header stamp lies " + where +
              ": point times and the stamp come from different clocks, or the stamp is late: "
              "deskewing against the stamp moves every point";
     }},
    {"layout-changes",
     [](const ordered_json& t, const TopicFacts&) {
       const long long n = Count(t["layouts"]);
       if (n <= 1) return std::string();
       return std::to_string(n) + " layouts: the driver's layout changed during the recording";
     }},
    {"bigendian",
     [](const ordered_json& t, const TopicFacts&) {
       const long long n = Count(t["bigendian_clouds"]);
       if (n == 0) return std::string();
       return Plural(n, "cloud", "clouds") +
              " with is_bigendian set: the flag is set; values are taken as stored";
     }},
    {"frame-empty",
     [](const ordered_json& t, const TopicFacts&) {
       const long long n = Count(t["frames"]["empty"]);
       if (n == 0) return std::string();
       return Plural(n, "cloud has", "clouds have") +
              " no frame_id: TF cannot place them and viewers drop them";
     }},
    {"frame-slash",
     [](const ordered_json& t, const TopicFacts&) {
       if (Count(t["frames"]["leading_slash"]) == 0) return std::string();
       std::string frame;
       for (auto it = t["frame_ids"].begin(); it != t["frame_ids"].end() && frame.empty(); ++it) {
         if (!it.key().empty() && it.key()[0] == '/') frame = it.key();
       }
       return "frame_id '" + frame +
              "' starts with '/': tf2 rejects it, and consumers that validate frames stop";
     }},
    {"no-transform",
     [](const ordered_json& t, const TopicFacts& facts) {
       if (facts.tf_frames.empty() || t["frames"]["in_tf"] == true) return std::string();
       std::string frame = t["frame_ids"].empty() ? "" : t["frame_ids"].begin().key();
       if (!frame.empty() && frame[0] == '/') frame.erase(0, 1);
       constexpr std::size_t kMostFrames = 6;
       std::string joined;
       for (std::size_t i = 0; i < facts.tf_frames.size() && i < kMostFrames; ++i) {
         joined += (i == 0 ? "" : ", ") + facts.tf_frames[i];
       }
       if (facts.tf_frames.size() > kMostFrames) joined += ", ...";
       return "frame '" + frame +
              "' has no transform in this recording (its transforms join: " + joined +
              "): consumers that transform the clouds into the robot's frame wait for one forever";
     }},
    {"imu-clock",
     [](const ordered_json& t, const TopicFacts&) {
       const ordered_json& period = t["stamps"]["period_median"];
       const double p = period.is_null() ? 0 : period.get<double>();
       const bool sweep_known = !t["time"].is_null() && !t["time"]["offsets"].is_null();
       const double limit = sweep_known ? std::max(p, 0.1) : std::max(2 * p, 0.2);
       for (const ordered_json& imu : t["imu"]) {
         if (imu["clock_offset"].is_null()) continue;
         const double offset = imu["clock_offset"].get<double>();
         if (!(std::fabs(offset) > limit)) continue;
         return "the lidar's stamps lie " + Duration(std::fabs(offset)) +
                (offset > 0 ? " behind" : " ahead of") +
                " the IMU's, beyond the sweep itself: the two are stamped by different clocks: "
                "lidar-inertial odometry diverges";
       }
       return std::string();
     }},
    {"imu-short",
     [](const ordered_json&, const TopicFacts& facts) {
       if (!facts.imu_late && !facts.imu_early) return std::string();
       if (facts.imu_late && facts.imu_early) {
         return std::string(
             "the IMU's stamps start after and end before the clouds': the first "
             "and last sweeps cannot be deskewed");
       }
       return facts.imu_late ? std::string(
                                   "the IMU's stamps start after the clouds': the first "
                                   "sweeps cannot be deskewed")
                             : std::string(
                                   "the IMU's stamps end before the clouds': the last "
                                   "sweeps cannot be deskewed");
     }},
};

}  // namespace

ordered_json ProblemsJson(const ordered_json& topic, const TopicFacts& facts) {
  ordered_json problems = ordered_json::array();
  for (const ProblemRule& rule : kProblemRules) {
    const std::string text = rule.find(topic, facts);
    if (!text.empty()) problems.push_back({{"code", rule.code}, {"text", text}});
  }
  return problems;
}

const std::vector<std::string>& ProblemCodes() {
  static const std::vector<std::string> codes = [] {
    std::vector<std::string> list;
    for (const ProblemRule& rule : kProblemRules) list.emplace_back(rule.code);
    list.emplace_back(kSilentTopicsCode);
    list.emplace_back(kLidarNotCloudsCode);
    for (const std::string& key : ConsumerKeys()) list.push_back(kConsumerCodePrefix + key);
    return list;
  }();
  return codes;
}

bool HasListedProblem(const ordered_json& document, const std::set<std::string>& codes) {
  const bool any = codes.count("any") != 0;
  if ((any || codes.count(kSilentTopicsCode) != 0) && !document["silent_cloud_topics"].empty()) {
    return true;
  }
  if ((any || codes.count(kLidarNotCloudsCode) != 0) && !document["lidar_not_clouds"].empty()) {
    return true;
  }
  for (const ordered_json& topic : document["topics"]) {
    for (const ordered_json& problem : topic["problems"]) {
      if (any || codes.count(problem["code"].get<std::string>()) != 0) return true;
    }
    // Consumers are gated by name only: "any" is about problems.
    if (topic["consumers"].is_null()) continue;
    for (const ordered_json& consumer : topic["consumers"]) {
      if (consumer["works"] == false &&
          codes.count(kConsumerCodePrefix + consumer["consumer"].get<std::string>()) != 0) {
        return true;
      }
    }
  }
  return false;
}
