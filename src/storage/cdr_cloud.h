// Reads a sensor_msgs/msg/PointCloud2 as a ROS 2 recording stores it (CDR,
// with its four-byte encapsulation header) into the ROS 1 message type, so
// that everything after decoding is shared by both kinds of bag.
#pragma once

#include <sensor_msgs/PointCloud2.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Fills `cloud` from the `size` bytes at `data`; returns "" or why they are
// not a PointCloud2. Every length is checked against the bytes left before
// anything is allocated for it.
std::string ReadCdrCloud(const std::uint8_t* data, std::size_t size,
                         sensor_msgs::PointCloud2& cloud);
