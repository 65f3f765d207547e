#include "export/cloud_export.h"

#include "cloud/field_values.h"

#include <pcl/PCLPointCloud2.h>
#include <pcl/io/pcd_io.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

namespace {

// Bytes copied as one piece from each point of the message into the packed
// point of the PCD.
struct CopySpan {
  std::uint32_t from;
  std::uint32_t to;
  std::uint32_t size;
};

// The PCD's fields, packed in the order of their offsets, and how each
// point's bytes get there. Adjacent fields copy as one span.
std::vector<CopySpan> PackFields(const sensor_msgs::PointCloud2& cloud,
                                 std::vector<pcl::PCLPointField>& fields,
                                 std::vector<std::string>& left_out) {
  std::vector<const sensor_msgs::PointField*> kept;
  for (const sensor_msgs::PointField& field : cloud.fields) {
    const std::uint64_t end =
        std::uint64_t{field.offset} + std::uint64_t{DatatypeSize(field.datatype)} * field.count;
    if (DatatypeSize(field.datatype) == 0) {
      left_out.push_back("'" + field.name + "' (datatype " + std::to_string(field.datatype) +
                         ", which no PCD type holds)");
    } else if (end > cloud.point_step) {
      left_out.push_back("'" + field.name + "' (reaches past point_step)");
    } else if (field.count > 0) {
      kept.push_back(&field);
    }
  }
  std::stable_sort(kept.begin(), kept.end(),
                   [](const auto* a, const auto* b) { return a->offset < b->offset; });
  std::vector<CopySpan> spans;
  std::uint32_t packed = 0;
  for (const sensor_msgs::PointField* field : kept) {
    const std::uint32_t size = DatatypeSize(field->datatype) * field->count;
    pcl::PCLPointField out;
    out.name = field->name;
    out.offset = packed;
    out.datatype = field->datatype;
    out.count = field->count;
    fields.push_back(out);
    if (!spans.empty() && spans.back().from + spans.back().size == field->offset) {
      spans.back().size += size;
    } else {
      spans.push_back({field->offset, packed, size});
    }
    packed += size;
  }
  return spans;
}

}  // namespace

namespace {

std::string WritePcd(const std::string& path, const sensor_msgs::PointCloud2& cloud,
                     std::vector<std::string>& left_out) {
  const bool empty = std::uint64_t{cloud.width} * cloud.height == 0;
  if (!empty && !PointsFitData(cloud)) return "its points do not fit its data";
  pcl::PCLPointCloud2 out;
  const std::vector<CopySpan> spans = PackFields(cloud, out.fields, left_out);
  std::uint32_t point_step = 0;
  for (const CopySpan& span : spans) point_step += span.size;
  out.width = cloud.width;
  out.height = cloud.height;
  out.point_step = point_step;
  out.row_step = point_step * cloud.width;
  out.is_bigendian = cloud.is_bigendian;
  out.is_dense = cloud.is_dense;
  out.data.resize(std::size_t{out.row_step} * cloud.height);
  // Every field fits inside point_step and every point inside the data (the
  // walk's checks), so each span reads inside the message.
  std::uint8_t* to = out.data.data();
  const std::uint8_t* row = cloud.data.data();
  for (std::uint32_t r = 0; r < cloud.height; ++r, row += cloud.row_step) {
    const std::uint8_t* point = row;
    for (std::uint32_t c = 0; c < cloud.width; ++c, point += cloud.point_step, to += point_step) {
      for (const CopySpan& span : spans) std::memcpy(to + span.to, point + span.from, span.size);
    }
  }
  if (out.fields.empty()) return "no field to write";
  // PCL's writer says only that it failed; opening the file first gives the
  // reason for the usual failures (no permission, no such folder).
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return "cannot write '" + path + "': " + std::strerror(errno);
  std::fclose(file);
  if (pcl::PCDWriter().writeBinary(path, out) != 0) {
    return "cannot write '" + path + "': PCL's PCD writer failed";
  }
  return "";
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void BagCloudDumpWritePcd(
    const std::string& path, const sensor_msgs::PointCloud2& cloud,
    std::vector<std::string>& left_out, std::string& problem) {
  try {
    problem = WritePcd(path, cloud, left_out);
  } catch (const std::exception& e) {  // nothing may unwind into the tool unseen
    problem = e.what();
  }
}
