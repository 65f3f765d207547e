// ROS 1 bags that a recorder never closed (killed, out of power or disk)
// and bags copied part way: rosbag refuses them, since their index is
// missing or lies past the end. Their records are walked from the start
// instead, in the order the recorder wrote them.
#pragma once

#include "bag_reader.h"

#include <memory>
#include <string>

// A reader of the bag's records in file order, when the bag is one rosbag
// refused for its index: a ROS 1 bag 2.0, its bag header whole and not
// encrypted. Null otherwise (then rosbag's reason stands).
std::unique_ptr<BagReader> OpenUnindexedRos1Bag(const std::string& path);
