// The parts of the tool that need heavy libraries (PCL's I/O for PCD files,
// cairo for the timeline) live in modules of their own, loaded only when
// asked for: linked in, their libraries would be loaded by every run. A
// module sits next to the executable in a build or catkin tree, or in
// ../lib/bag_cloud_dump/ from it when installed.
#include "export/cloud_export.h"
#include "pictures/timeline.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

decltype(&BagCloudDumpWritePcd) write_pcd = nullptr;
decltype(&BagCloudDumpWriteTimeline) write_timeline = nullptr;

std::string ExecutableDir() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return ".";
  const std::string exe(path, static_cast<std::size_t>(length));
  return exe.substr(0, exe.rfind('/'));
}

// Loads the module and finds its entry point; says why not in `problem`.
void* LoadEntry(const std::string& module_name, const char* entry, std::string& problem) {
  const std::string dir = ExecutableDir();
  std::string errors;
  for (const std::string& candidate :
       {dir + "/" + module_name, dir + "/../lib/bag_cloud_dump/" + module_name}) {
    void* module = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
      errors += (errors.empty() ? "" : "; ") + std::string(dlerror());
      continue;
    }
    if (void* function = dlsym(module, entry)) return function;
    errors += (errors.empty() ? "" : "; ") + candidate + " has no " + entry;
  }
  problem = "cannot load " + module_name + ": " + errors;
  return nullptr;
}

}  // namespace

std::string LoadPcdWriter() {
  std::string problem;
  if (write_pcd == nullptr) {
    write_pcd = reinterpret_cast<decltype(write_pcd)>(
        LoadEntry("bag_cloud_dump_pcd.so", "BagCloudDumpWritePcd", problem));
  }
  return problem;
}

std::string WriteCloudPcd(const std::string& path, const sensor_msgs::PointCloud2& cloud,
                          std::vector<std::string>& left_out) {
  if (write_pcd == nullptr) return "the PCD writer is not loaded";
  std::string problem;
  write_pcd(path, cloud, left_out, problem);
  return problem;
}

std::string PrepareTimeline(const TimelineOptions& options) {
  FILE* file = std::fopen(options.path.c_str(), "wb");
  if (file == nullptr) return "cannot write '" + options.path + "': " + std::strerror(errno);
  std::fclose(file);
  std::string problem;
  if (write_timeline == nullptr) {
    write_timeline = reinterpret_cast<decltype(write_timeline)>(
        LoadEntry("bag_cloud_dump_timeline.so", "BagCloudDumpWriteTimeline", problem));
  }
  return problem;
}

std::string WriteTimeline(const TimelineOptions& options, const SummaryTally& tally) {
  if (write_timeline == nullptr) return "the timeline writer is not loaded";
  std::string problem;
  write_timeline(options, tally, problem);
  return problem;
}
