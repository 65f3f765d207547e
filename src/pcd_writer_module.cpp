// Finds and loads the PCD writer module, next to the executable in a build
// or catkin tree, or in ../lib/bag_cloud_dump/ from it when installed.
#include "cloud_export.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

namespace {

using WriteFunction = decltype(&BagCloudDumpWritePcd);
WriteFunction write_pcd = nullptr;

const char kModuleName[] = "bag_cloud_dump_pcd.so";

std::string ExecutableDir() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return ".";
  const std::string exe(path, static_cast<std::size_t>(length));
  return exe.substr(0, exe.rfind('/'));
}

}  // namespace

std::string LoadPcdWriter() {
  if (write_pcd != nullptr) return "";
  const std::string dir = ExecutableDir();
  std::string errors;
  for (const std::string& candidate :
       {dir + "/" + kModuleName, dir + "/../lib/bag_cloud_dump/" + kModuleName}) {
    void* module = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
      errors += (errors.empty() ? "" : "; ") + std::string(dlerror());
      continue;
    }
    write_pcd = reinterpret_cast<WriteFunction>(dlsym(module, "BagCloudDumpWritePcd"));
    if (write_pcd != nullptr) return "";
    errors += (errors.empty() ? "" : "; ") + candidate + " has no PCD writer";
  }
  return "cannot load the PCD writer: " + errors;
}

std::string WriteCloudPcd(const std::string& path, const sensor_msgs::PointCloud2& cloud,
                          std::vector<std::string>& left_out) {
  if (write_pcd == nullptr) return "the PCD writer is not loaded";
  std::string problem;
  write_pcd(path, cloud, left_out, problem);
  return problem;
}
