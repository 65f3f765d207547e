#include "output_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

std::string PrepareOutputDir(const std::string& dir) {
  // Create each missing folder on the way, like mkdir -p.
  for (std::size_t at = 1; at <= dir.size(); ++at) {
    if (at < dir.size() && dir[at] != '/') continue;
    const std::string prefix = dir.substr(0, at);
    if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
      return "cannot create '" + prefix + "': " + std::strerror(errno);
    }
  }
  struct stat info;
  if (stat(dir.c_str(), &info) != 0) return "cannot use '" + dir + "': " + std::strerror(errno);
  if (!S_ISDIR(info.st_mode)) return "'" + dir + "' is not a folder";
  if (access(dir.c_str(), W_OK | X_OK) != 0) {
    return "cannot write in '" + dir + "': " + std::strerror(errno);
  }
  return "";
}

std::string CloudFileName(int index, const std::string& topic, const ros::Time& stamp,
                          const char* extension) {
  std::string safe;
  for (char c : topic) {
    const bool plain = std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
    safe += plain ? c : '_';
  }
  while (!safe.empty() && safe.front() == '_') safe.erase(safe.begin());
  char name[512];
  std::snprintf(name, sizeof name, "%06d_%s_%u.%09u.%s", index, safe.c_str(), stamp.sec, stamp.nsec,
                extension);
  return name;
}
