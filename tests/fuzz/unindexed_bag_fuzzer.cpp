// Fuzzes the records of ROS 1 bags that were never closed. Every input
// follows a valid bag header whose index position is 0, so rosbag refuses
// the bag at once and the tool's own record walk reads the rest: any
// finding is the tool's fault. The summary runs too, for the TF and IMU
// decoders.
#include "cloud_dump.h"

#include <console_bridge/console.h>
#include <pcl/console/print.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

std::string scratch_bag;

void PutField(std::string& header, const std::string& name, const std::string& value) {
  const auto length = static_cast<std::uint32_t>(name.size() + 1 + value.size());
  header.append(reinterpret_cast<const char*>(&length), 4);
  header += name + "=" + value;
}

// The magic and a bag header as a recorder writes it before closing the bag.
std::string OpenBagStart() {
  std::string header;
  PutField(header, "index_pos", std::string(8, '\0'));
  PutField(header, "conn_count", std::string(4, '\0'));
  PutField(header, "chunk_count", std::string(4, '\0'));
  PutField(header, "op", "\x03");
  const auto header_size = static_cast<std::uint32_t>(header.size());
  const std::uint32_t padding = 4096 - 13 - 8 - header_size;
  std::string start = "#ROSBAG V2.0\n";
  start.append(reinterpret_cast<const char*>(&header_size), 4);
  start += header;
  start.append(reinterpret_cast<const char*>(&padding), 4);
  start += std::string(padding, ' ');
  return start;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  pcl::console::setVerbosityLevel(pcl::console::L_ALWAYS);
  console_bridge::setLogLevel(console_bridge::CONSOLE_BRIDGE_LOG_NONE);
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  const char* base = getenv("TMPDIR");
  scratch_bag = std::string(base != nullptr ? base : "/tmp") + "/unindexed_bag_fuzzer." +
                std::to_string(getpid()) + ".bag";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string start = OpenBagStart();
  FILE* file = std::fopen(scratch_bag.c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(start.data(), 1, start.size(), file);
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  DumpOptions options;
  options.report.samples = 2;
  options.summary.text = true;
  PlayPointCloud2InThisProcess({scratch_bag}, options);
  // A topic filter and a time window, over the same walk.
  options.topics = {"/points"};
  options.start.set = true;
  options.start.after_first = true;
  options.start.nanoseconds = 1;
  PlayPointCloud2InThisProcess({scratch_bag}, options);
  return 0;
}
