// A cloud taken out of the bag as a binary PCD file, with every field of the
// message as stored, for a viewer or a colleague.
//
// The writing lives in a module of its own, loaded only when clouds are
// exported: PCL's I/O library brings some sixty libraries with it, whose
// loading would otherwise add tens of milliseconds and megabytes to every run.
#pragma once

#include <sensor_msgs/PointCloud2.h>

#include <string>
#include <vector>

// Loads the module; returns what went wrong, or "".
std::string LoadPcdWriter();

// Writes the cloud, whose points fit its data, to `path` with PCL's PCD
// writer: every field with a known datatype keeps its name, type, count and
// bytes; padding between fields and at row ends is left out; width and
// height stay. Adds to `left_out` each field that could not be kept, and
// why. Returns what went wrong, or "". Needs LoadPcdWriter first.
std::string WriteCloudPcd(const std::string& path, const sensor_msgs::PointCloud2& cloud,
                          std::vector<std::string>& left_out);

// The module's entry point, looked up by this name.
extern "C" void BagCloudDumpWritePcd(const std::string& path, const sensor_msgs::PointCloud2& cloud,
                                     std::vector<std::string>& left_out, std::string& problem);
