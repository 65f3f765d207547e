// Walks a ROS 1 bag and prints every sensor_msgs/PointCloud2 it holds.
#pragma once

#include "cloud_report.h"

#include <string>
#include <vector>

struct DumpOptions {
  std::vector<std::string> topics;  // only these topics; empty: every topic
  ReportOptions report;
  bool progress = false;  // a progress line on stderr
};

// Prints the report of every point cloud in the bag to stdout. Returns true
// when the whole bag was walked; false when it could not be opened (the reason
// is on stdout), went bad part way, none of the requested topics holds clouds
// or an image could not be written (the reason is on stderr). The walk runs in a child process, so
// that a crash of the bag library becomes one line on stderr.
bool PlayPointCloud2(const char* bagFileName, const DumpOptions& options = DumpOptions());

// The same walk in the calling process, for fuzzing and for systems where a
// child process cannot be made.
bool PlayPointCloud2InThisProcess(const char* bagFileName, const DumpOptions& options);
