// Fuzzes one serialized sensor_msgs/PointCloud2 through everything the tool
// does with a message: the length checks, ROS deserialization (or, built
// with FUZZ_CDR, the ROS 2 CDR decoder), the metadata
// checks, PCL's conversion and the report, with the layout view, both the
// printed-points and the full conversion, the sweep picture, and the health
// summary's tally and document.
#include "cloud/cloud_check.h"
#include "output_files.h"
#include "report/cloud_report.h"
#include "storage/cdr_cloud.h"
#include "summary/summary.h"

#include <pcl/console/print.h>
#include <unistd.h>
#include <boost/make_shared.hpp>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>

namespace {
std::string image_dir;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  pcl::console::setVerbosityLevel(pcl::console::L_ALWAYS);
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  const char* base = getenv("TMPDIR");
  image_dir = std::string(base != nullptr ? base : "/tmp") + "/cloud_message_fuzzer." +
              std::to_string(getpid());
  return PrepareOutputDir(image_dir).empty() ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > UINT32_MAX) return 0;
  GuardedPointCloud2 cloud;
#ifdef FUZZ_CDR
  if (!ReadCdrCloud(data, size, cloud).empty()) return 0;  // the walk stops with the reason
#else
  try {
    ros::serialization::IStream stream(const_cast<std::uint8_t*>(data),
                                       static_cast<std::uint32_t>(size));
    ros::serialization::deserialize(stream, cloud);
  } catch (const std::exception&) {
    return 0;  // a damaged message; the walk reports it and stops
  }
#endif
  ReportMemory memory;
  ReportOptions options;
  options.layout = true;
  const CloudLayout layout = ExamineCloud(cloud);
  ReportCloud(0, cloud, layout, "/fuzz", "sensor_msgs/PointCloud2", options, memory);
  // Twice, so that the document has stamp deltas and a layout to compare.
  SummaryTally tally;
  const std::string topic = "/fuzz", type = "sensor_msgs/PointCloud2";
  const auto shared = boost::make_shared<const sensor_msgs::PointCloud2>(cloud);
  for (int index = 0; index < 2; ++index) {
    TallyCloud(tally, {index, topic, type, ros::Time(1, 0), shared, layout});
  }
  PrintSummaryText(SummaryDocument(tally));
  options.full_conversion = true;
  options.samples = 3;
  // Half the inputs (by the low bit of their last byte) also go through the
  // sweep picture.
  if (data[size - 1] & 1) {
    options.image.dir = image_dir;
    options.image.columns = 64;
    cloud.header.stamp = ros::Time();  // one file name, rewritten each time
  }
  ReportCloud(1, cloud, layout, "/fuzz", "sensor_msgs/PointCloud2", options, memory);
  FinishImages(memory);
  return 0;
}
