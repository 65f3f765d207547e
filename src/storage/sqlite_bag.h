// ROS 2 recordings in rosbag2's sqlite3 storage: one or more .db3 files
// (plain, or zstd-compressed per file or per message). Read-only: the files
// are opened immutable and never changed.
#pragma once

#include "bag_reader.h"
#include "rosbag2_metadata.h"

// The type name of the clouds, as ROS 2 records it.
extern const char* const kRos2PointCloud2Type;

// Opens the files of a recording; null and the reason when it cannot.
std::unique_ptr<BagReader> OpenSqliteBag(const Rosbag2Directory& directory, std::string& problem);
