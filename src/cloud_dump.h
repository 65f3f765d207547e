// Walks a ROS 1 bag and prints every sensor_msgs/PointCloud2 it holds.
#pragma once

#include "cloud_report.h"

#include <cstdio>
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

struct DumpOptions {
  std::vector<std::string> topics;  // only these topics; empty: every topic
  ReportOptions report;
  SummaryOptions summary;
  bool progress = false;  // a progress line on stderr
};

enum class DumpResult {
  kRead,           // the whole bag was walked
  kProblemsFound,  // ... and the summary found a problem listed in fail_on
  kFailed,         // it could not be opened or read, or output could not be written
};

// Prints the report of every point cloud in the bag to stdout, then the
// summary if asked for. Fails when the bag could not be opened (the reason is
// on stdout), went bad part way, none of the requested topics holds clouds
// or an image or the summary could not be written (the reason is on stderr).
// The walk runs in a child process, so that a crash of the bag library
// becomes one line on stderr.
DumpResult PlayPointCloud2(const char* bagFileName, const DumpOptions& options = DumpOptions());

// The same walk in the calling process, for fuzzing and for systems where a
// child process cannot be made.
DumpResult PlayPointCloud2InThisProcess(const char* bagFileName, const DumpOptions& options);
