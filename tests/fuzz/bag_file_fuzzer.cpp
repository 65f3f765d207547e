// Fuzzes whole bag files: the bytes are written to a scratch file that the
// dump opens and walks in this process. Crashes inside the bag library show
// up here; the tool itself contains them in a child process, which the smoke
// script checks by replaying every crashing input through the tool.
#include "cloud_dump.h"

#include <console_bridge/console.h>
#include <pcl/console/print.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {
std::string scratch_bag;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  pcl::console::setVerbosityLevel(pcl::console::L_ALWAYS);
  console_bridge::setLogLevel(console_bridge::CONSOLE_BRIDGE_LOG_NONE);
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  const char* base = getenv("TMPDIR");
  scratch_bag = std::string(base != nullptr ? base : "/tmp") + "/bag_file_fuzzer." +
                std::to_string(getpid()) + ".bag";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FILE* file = std::fopen(scratch_bag.c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  DumpOptions options;
  options.report.samples = 2;
  PlayPointCloud2InThisProcess({scratch_bag}, options);
  // The same bag twice, as split parts of one recording, with a selection.
  options.selection.every = 2;
  options.selection.given = true;
  PlayPointCloud2InThisProcess({scratch_bag, scratch_bag}, options);
  return 0;
}
