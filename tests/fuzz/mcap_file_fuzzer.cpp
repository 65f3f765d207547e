// Fuzzes whole MCAP files through the walk, the report and the summary, in
// this process. The input always starts with the MCAP magic, so that it goes
// to the tool's own reader and never to the ROS 1 library.
#include "cloud_dump.h"

#include <pcl/console/print.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {
std::string scratch_file;
const char kMagic[] = "\x89MCAP0\r\n";
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  pcl::console::setVerbosityLevel(pcl::console::L_ALWAYS);
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  const char* base = getenv("TMPDIR");
  scratch_file = std::string(base != nullptr ? base : "/tmp") + "/mcap_file_fuzzer." +
                 std::to_string(getpid()) + ".mcap";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FILE* file = std::fopen(scratch_file.c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(kMagic, 1, 8, file);
  const std::size_t skip = std::min<std::size_t>(size, 8);
  std::fwrite(data + skip, 1, size - skip, file);
  std::fclose(file);
  DumpOptions options;
  options.report.samples = 2;
  options.summary.text = true;
  PlayPointCloud2InThisProcess({scratch_file}, options);
  // Selections that skip chunks through the index, and a topic filter.
  options.selection.first = 2;
  options.selection.given = true;
  options.topics = {"/lidar/points"};
  PlayPointCloud2InThisProcess({scratch_file}, options);
  return 0;
}
