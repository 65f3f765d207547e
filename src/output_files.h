// Folders and file names for what the walk writes per cloud (pictures, PCD
// files).
#pragma once

#include <ros/time.h>

#include <string>

// Creates the folder if missing and checks that files can be written in it;
// returns what is wrong, or "".
std::string PrepareOutputDir(const std::string& dir);

// The file name of a cloud's picture or export: sorts in walk order and says
// where it came from, e.g. "000003_lidar_points_1773480413.250000000.png".
std::string CloudFileName(int index, const std::string& topic, const ros::Time& stamp,
                          const char* extension);
