// A cloud taken out of the bag as a binary PCD file, with every field of the
// message as stored, for a viewer or a colleague.
#pragma once

#include <sensor_msgs/PointCloud2.h>

#include <string>
#include <vector>

// Writes the cloud, whose points fit its data, to `path` with PCL's PCD
// writer: every field with a known datatype keeps its name, type, count and
// bytes; padding between fields and at row ends is left out; width and
// height stay. Adds to `left_out` each field that could not be kept, and
// why. Returns what went wrong, or "".
std::string WriteCloudPcd(const std::string& path, const sensor_msgs::PointCloud2& cloud,
                          std::vector<std::string>& left_out);
