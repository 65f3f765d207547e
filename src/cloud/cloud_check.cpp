#include "cloud/cloud_check.h"

#include <pcl_conversions/pcl_conversions.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

// Reads the serialized form front to back, checking every length it meets.
struct SerializedCursor {
  const std::uint8_t* at;
  std::uint32_t left;
  std::uint32_t total;

  void Need(std::uint64_t bytes, const char* what) {
    if (bytes <= left) return;
    char reason[160];
    std::snprintf(reason, sizeof reason,
                  "damaged PointCloud2 message: its %s needs %" PRIu64
                  " bytes, %u remain of its %u",
                  what, bytes, left, total);
    throw std::runtime_error(reason);
  }
  void Skip(std::uint64_t bytes, const char* what) {
    Need(bytes, what);
    at += bytes;
    left -= static_cast<std::uint32_t>(bytes);
  }
  std::uint32_t ReadU32(const char* what) {
    Need(4, what);
    std::uint32_t value;
    std::memcpy(&value, at, 4);
    Skip(4, what);
    return value;
  }
  void SkipString(const char* what) { Skip(ReadU32(what), what); }
};

}  // namespace

void CheckSerializedCloud(const std::uint8_t* data, std::uint32_t length) {
  SerializedCursor cursor{data, length, length};
  cursor.Skip(12, "header");  // seq, stamp.sec, stamp.nsec
  cursor.SkipString("frame_id");
  cursor.Skip(8, "height and width");
  const std::uint32_t field_count = cursor.ReadU32("field list");
  // Name length, offset, datatype and count: at least 13 bytes a field.
  cursor.Need(std::uint64_t{field_count} * 13, "field list");
  for (std::uint32_t i = 0; i < field_count; ++i) {
    cursor.SkipString("field name");
    cursor.Skip(9, "field");
  }
  cursor.Skip(9, "is_bigendian, point_step and row_step");
  cursor.SkipString("point data");
  cursor.Skip(1, "is_dense");
}

namespace {

std::string Format(const char* format, std::uint64_t a, std::uint64_t b) {
  char text[200];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

}  // namespace

std::string CloudInconsistency(const sensor_msgs::PointCloud2& cloud,
                               const std::vector<pcl::PCLPointField>& fields,
                               const std::vector<MemberMatch>& members) {
  const std::uint64_t width = cloud.width;
  const std::uint64_t height = cloud.height;
  const std::uint64_t points = width * height;
  if (points > UINT32_MAX) {
    return Format("width x height is %" PRIu64 " x %" PRIu64 ", more points than 32 bits count",
                  width, height);
  }
  if (points == 0) return "";
  if (cloud.point_step == 0) {
    return "point_step is 0 for " + std::to_string(points) + " points";
  }
  const std::uint64_t row_bytes = width * cloud.point_step;
  if (cloud.row_step < row_bytes) {
    return Format("row_step %" PRIu64 " is less than width x point_step = %" PRIu64, cloud.row_step,
                  row_bytes);
  }
  const std::uint64_t needed = height * cloud.row_step;
  if (cloud.data.size() < needed) {
    return Format("data holds %" PRIu64 " bytes, height x row_step needs %" PRIu64,
                  cloud.data.size(), needed);
  }
  // Every field the conversion copies must end inside the point; the bytes
  // between two fields it merges into one copy then do too.
  for (const MemberMatch& member : members) {
    if (member.field < 0) continue;
    const pcl::PCLPointField& field = fields[member.field];
    if (std::uint64_t{field.offset} + member.size > cloud.point_step) {
      char text[200];
      std::snprintf(text, sizeof text, "field '%s' at offset %u takes %u bytes, past point_step %u",
                    field.name.c_str(), field.offset, member.size, cloud.point_step);
      return text;
    }
  }
  return "";
}

CloudLayout ExamineCloud(const sensor_msgs::PointCloud2& cloud) {
  CloudLayout layout;
  pcl_conversions::toPCL(cloud.fields, layout.fields);
  layout.members = MatchMembers(layout.fields);
  layout.inconsistency = CloudInconsistency(cloud, layout.fields, layout.members);
  return layout;
}
