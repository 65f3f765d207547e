#include "report/cloud_report.h"

#include "cloud/Lidar64PointXYZIRT.h"
#include "cloud/cloud_check.h"
#include "cloud/cloud_fields.h"
#include "progress.h"

#include <pcl/conversions.h>
#include <pcl_conversions/pcl_conversions.h>

#include <boost/make_shared.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

void PrintCloudHeader(int count, const sensor_msgs::PointCloud2& cloud, const std::string& topic,
                      const std::string& type) {
  printf("%20d  %25.10lf  %-20s  %-20s\n", count, cloud.header.stamp.toSec(), topic.c_str(),
         type.c_str());
}

// Degrees from the +y axis, positive towards +x. Computed in single precision
// and divided by a nine-decimal pi, so values match earlier reports exactly.
double HorizontalAngle(const PointCloudXYZIRT& point) {
  const float radians = atan2f(point.x, point.y);
  const float scaled = radians * 180.0f;
  return static_cast<double>(scaled) / 3.141592653;
}

void PrintPointLine(std::uint32_t ipoint, const PointCloudXYZIRT& point) {
  printf("%6d %10.3f %10.3f %10.3f %10.3f %20.10f %6d %10.3f\n", static_cast<int>(ipoint), point.x,
         point.y, point.z, point.intensity, point.time, point.ring, HorizontalAngle(point));
}

// The indices of the points the report prints, ascending: `band` at each end,
// or all of them.
std::vector<std::uint32_t> PrintedIndices(std::uint32_t n, const ReportOptions& options) {
  const std::uint64_t band = static_cast<std::uint64_t>(options.samples < 0 ? 0 : options.samples);
  std::vector<std::uint32_t> indices;
  if (options.all_points || 2 * band >= n) {
    for (std::uint32_t i = 0; i < n; ++i) indices.push_back(i);
    return indices;
  }
  for (std::uint64_t i = 0; i < band; ++i) indices.push_back(static_cast<std::uint32_t>(i));
  for (std::uint64_t i = n - band; i < n; ++i) indices.push_back(static_cast<std::uint32_t>(i));
  return indices;
}

// Converts only the points the report prints: their bytes are gathered into a
// one-row cloud with the message's point_step and handed to PCL's conversion
// with the message's own field mapping, so every value is PCL's. Fields lie
// inside point_step (checked before), so nothing else of a point is read.
void ConvertPrintedPoints(const sensor_msgs::PointCloud2& message, const pcl::MsgFieldMap& mapping,
                          const std::vector<std::uint32_t>& indices,
                          pcl::PointCloud<PointCloudXYZIRT>& cloud) {
  pcl::PCLPointCloud2 printed;
  printed.width = static_cast<std::uint32_t>(indices.size());
  printed.height = 1;
  printed.point_step = message.point_step;
  printed.row_step = printed.width * printed.point_step;
  printed.is_bigendian = message.is_bigendian;
  printed.is_dense = message.is_dense;
  printed.data.resize(std::size_t{printed.row_step});
  std::uint8_t* to = printed.data.data();
  for (const std::uint32_t index : indices) {
    const std::size_t from = std::size_t{index / message.width} * message.row_step +
                             std::size_t{index % message.width} * message.point_step;
    std::memcpy(to, message.data.data() + from, message.point_step);
    to += message.point_step;
  }
  pcl::fromPCLPointCloud2(printed, cloud, mapping);
}

const char* DatatypeName(std::uint8_t datatype) {
  static const char* const names[] = {"type 0", "INT8",   "UINT8",   "INT16",  "UINT16",
                                      "INT32",  "UINT32", "FLOAT32", "FLOAT64"};
  return datatype < 9 ? names[datatype] : "unknown type";
}

// How a record member gets its value: from a matched field, from the message
// bytes a merged copy carries across it, or not at all (zero).
void PrintMemberSource(const MemberMatch& member, const std::vector<pcl::PCLPointField>& fields,
                       const pcl::MsgFieldMap& mapping) {
  if (member.field >= 0) {
    const pcl::PCLPointField& field = fields[member.field];
    printf("#   %-9s <- field '%s' at offset %u\n", member.name, field.name.c_str(), field.offset);
    return;
  }
  for (const pcl::detail::FieldMapping& copy : mapping) {
    if (member.record_offset >= copy.struct_offset &&
        member.record_offset + member.size <= copy.struct_offset + copy.size) {
      const std::size_t from = copy.serialized_offset + (member.record_offset - copy.struct_offset);
      printf(
          "#   %-9s <- not matched, yet filled with bytes %zu-%zu of each point (inside a merged "
          "copy)\n",
          member.name, from, from + member.size - 1);
      return;
    }
  }
  printf("#   %-9s <- not matched, zero\n", member.name);
}

void PrintLayout(int index, const sensor_msgs::PointCloud2& cloud, const std::string& topic,
                 const std::vector<pcl::PCLPointField>& fields,
                 const std::vector<MemberMatch>& members, const pcl::MsgFieldMap& mapping) {
  printf("# layout of %s from cloud %d\n", topic.c_str(), index);
  for (const pcl::PCLPointField& field : fields) {
    printf("#   field '%s' at offset %u, %s, count %u\n", field.name.c_str(), field.offset,
           DatatypeName(field.datatype), field.count);
  }
  printf("#   point_step %u, row_step %u, width x height %u x %u, is_bigendian %u, is_dense %u\n",
         cloud.point_step, cloud.row_step, cloud.width, cloud.height, cloud.is_bigendian,
         cloud.is_dense);
  for (const MemberMatch& member : members) PrintMemberSource(member, fields, mapping);
}

// Says so when the picture in the slot could not be written.
void TellImageOutcome(ReportMemory::ImageSlot& slot, ReportMemory& memory) {
  if (slot.failure.empty()) return;
  PrintDiagnostic("cannot write the image of cloud %d: %s", slot.input.index, slot.failure.c_str());
  ++memory.image_failures;
  slot.failure.clear();
}

// Paints the cloud's picture here, then hands it to the image thread, after
// the one before is done (whose outcome is told then).
void WriteImage(int index, const sensor_msgs::PointCloud2& lidar_data, const std::string& topic,
                const pcl::PointCloud<PointCloudXYZIRT>& cloud, bool ring_matched,
                const ReportOptions& options, ReportMemory& memory) {
  const bool by_elevation = SweepRowsByElevation(cloud, ring_matched);
  if (by_elevation && memory.rows_by_elevation.insert(topic).second) {
    PrintDiagnostic("%s has no usable ring field; its images have elevation bins as rows",
                    topic.c_str());
  }
  ReportMemory::ImageSlot& slot = memory.image_slots[memory.next_slot];
  slot.input = {index, topic, lidar_data.header.stamp, &cloud, by_elevation};
  PaintSweep(options.image, slot.input, slot.work);
  slot.input.cloud = nullptr;  // the conversion is reused for the next cloud
  memory.image_writer.Run([&slot, &image = options.image] {
    slot.failure = WriteSweepPng(image, slot.input, slot.work);
  });
  if (memory.slot_in_flight >= 0) {
    TellImageOutcome(memory.image_slots[memory.slot_in_flight], memory);
  }
  memory.slot_in_flight = memory.next_slot;
  memory.next_slot ^= 1;
}

}  // namespace

void ReportCloud(int index, sensor_msgs::PointCloud2& lidar_data, const CloudLayout& layout,
                 const std::string& topic, const std::string& type, const ReportOptions& options,
                 ReportMemory& memory) {
  const std::vector<pcl::PCLPointField>& fields = layout.fields;
  const std::vector<MemberMatch>& members = layout.members;
  const auto unmatched = [](const MemberMatch& member) { return member.field < 0; };
  if (std::any_of(members.begin(), members.end(), unmatched)) ProgressClear();
  // PCL's mapping of message fields to record members; it prints the
  // warnings for members it cannot match.
  pcl::MsgFieldMap mapping;
  pcl::createMapping<PointCloudXYZIRT>(fields, mapping);

  if (options.print && options.layout) {
    std::string key = LayoutKey(lidar_data);
    std::string& shown = memory.layouts[topic];
    if (shown != key) {
      PrintLayout(index, lidar_data, topic, fields, members, mapping);
      shown = std::move(key);
    }
  }
  if (options.print) PrintCloudHeader(index, lidar_data, topic, type);

  if (!layout.inconsistency.empty()) {
    if (options.print) {
      PrintDiagnostic("cloud %d on %s: %s; points not shown", index, topic.c_str(),
                      layout.inconsistency.c_str());
    }
    return;
  }
  const std::uint32_t n = lidar_data.width * lidar_data.height;
  const std::vector<std::uint32_t> indices =
      options.print ? PrintedIndices(n, options) : std::vector<std::uint32_t>();
  const bool image = !options.image.dir.empty();
  if (indices.empty() && !image) return;
  // Pictures use every point, so they take the full conversion.
  if (options.full_conversion || image) {
    pcl::PointCloud<PointCloudXYZIRT>& converted = memory.converted;
    converted.clear();
    // PCL's conversion takes the address of the first point even when there is none.
    if (n > 0) {
      pcl_conversions::moveToPCL(lidar_data, memory.whole);
      pcl::fromPCLPointCloud2(memory.whole, converted, mapping);
      lidar_data.data.swap(memory.whole.data);  // handed back
    }
    for (const std::uint32_t ipoint : indices) PrintPointLine(ipoint, converted.points[ipoint]);
    if (image) {
      const auto ring = std::find_if(members.begin(), members.end(), [](const MemberMatch& m) {
        return std::strcmp(m.name, "ring") == 0;
      });
      WriteImage(index, lidar_data, topic, converted, ring->field >= 0, options, memory);
    }
  } else {
    auto laserCloudIn = boost::make_shared<pcl::PointCloud<PointCloudXYZIRT>>();
    ConvertPrintedPoints(lidar_data, mapping, indices, *laserCloudIn);
    for (std::size_t k = 0; k < indices.size(); ++k) {
      PrintPointLine(indices[k], laserCloudIn->points[k]);
    }
  }
}

void FinishImages(ReportMemory& memory) {
  memory.image_writer.Wait();
  if (memory.slot_in_flight >= 0) {
    TellImageOutcome(memory.image_slots[memory.slot_in_flight], memory);
    memory.slot_in_flight = -1;
  }
}
