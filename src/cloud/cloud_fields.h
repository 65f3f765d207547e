// Which message field PCL's conversion copies into each member of the point
// record, found with PCL's own matching rule.
#pragma once

#include <pcl/PCLPointField.h>
#include <sensor_msgs/PointCloud2.h>

#include <cstdint>
#include <string>
#include <vector>

struct MemberMatch {
  const char* name;             // the member's registered name
  std::uint32_t record_offset;  // where the member sits in the record
  std::uint32_t size;           // its size in bytes
  int field;                    // index of the message field copied into it, or -1
};

// One entry per registered member, in registration order.
std::vector<MemberMatch> MatchMembers(const std::vector<pcl::PCLPointField>& fields);

// What decides how PCL fills the record: the fields (name, offset, datatype,
// count), point_step and the byte-order flag. Clouds with the same key have
// the same layout.
std::string LayoutKey(const sensor_msgs::PointCloud2& cloud);
