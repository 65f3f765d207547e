// Walks a ROS 1 bag and prints every sensor_msgs/PointCloud2 it holds.
#pragma once

// Prints the report of every point cloud in the bag to stdout. Returns true
// when the whole bag was walked; false when it could not be opened (the reason
// is on stdout) or went bad part way (the reason is on stderr).
bool PlayPointCloud2(const char* bagFileName);
