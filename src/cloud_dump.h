// Walks a ROS 1 bag and prints every sensor_msgs/PointCloud2 it holds.
#pragma once

#include "pictures/timeline.h"
#include "report/cloud_report.h"

#include <cstdint>
#include <cstdio>
#include <limits>
#include <set>
#include <string>
#include <vector>

struct SummaryOptions {
  bool text = false;                  // '#' lines after the report
  FILE* json = nullptr;               // the JSON document goes here, when set
  std::string json_path;              // its name, for messages
  bool json_replaces_report = false;  // the JSON goes to stdout instead of the report
  std::set<std::string> fail_on;      // problem codes that fail the run ("any": every code)
  bool Wanted() const { return text || json != nullptr || !fail_on.empty(); }
};

// One end of the record-time window: nanoseconds since the epoch, or after
// the first message of the (first) bag.
struct TimeBound {
  bool set = false;
  bool after_first = false;  // given as +S
  std::int64_t nanoseconds = 0;
};

// Which clouds of the walk are reported, by their index in the walk.
struct CloudSelection {
  long long first = 0;
  long long last = std::numeric_limits<long long>::max();
  long long every = 1;
  bool given = false;  // --index or --every was given
  bool Selects(long long index) const {
    return index >= first && index <= last && index % every == 0;
  }
};

struct DumpOptions {
  std::vector<std::string> topics;  // only these topics; empty: every topic
  TimeBound start, end;             // only messages recorded in [start, end]
  CloudSelection selection;
  ReportOptions report;
  SummaryOptions summary;
  std::string pcd_dir;  // a PCD file of every reported cloud goes here, when set
  TimelineOptions timeline;
  bool progress = false;  // a progress line on stderr
};

enum class DumpResult {
  kRead,           // the whole bag was walked
  kProblemsFound,  // ... and the summary found a problem listed in fail_on
  kFailed,         // it could not be opened or read, or output could not be written
};

// Prints the report of every point cloud in the bags to stdout, then the
// summary if asked for. Several bags are walked as one recording, in record
// time order. Fails when a bag could not be opened (the reason is on stdout),
// went bad part way, none of the requested topics holds clouds, the
// selection matches no cloud, or an image, a PCD file or the summary could
// not be written (the reason is on stderr). The walk runs in a child
// process, so that a crash of the bag library becomes one line on stderr.
DumpResult PlayPointCloud2(const std::vector<std::string>& bags,
                           const DumpOptions& options = DumpOptions());

// The same walk in the calling process, for fuzzing and for systems where a
// child process cannot be made.
DumpResult PlayPointCloud2InThisProcess(const std::vector<std::string>& bags,
                                        const DumpOptions& options);

// The exit status of the tool, and of the walk's child process, for a result.
int ExitStatusOf(DumpResult result);
