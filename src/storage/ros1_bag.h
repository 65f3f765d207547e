// ROS 1 bags, read through rosbag.
#pragma once

#include "bag_reader.h"

// Opens a ROS 1 bag; null and rosbag's own reason when it cannot.
std::unique_ptr<BagReader> OpenRos1Bag(const std::string& path, std::string& problem);
