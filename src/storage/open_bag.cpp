#include "open_bag.h"

#include "mcap_bag.h"
#include "mcap_records.h"
#include "ros1_bag.h"
#include "rosbag2_metadata.h"
#include "sqlite_bag.h"

#include <cstdio>

namespace {

// The first bytes of a file; fewer when it is shorter or unreadable.
std::string FileStart(const std::string& path, std::size_t bytes) {
  std::string start(bytes, '\0');
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return "";
  start.resize(std::fread(&start[0], 1, bytes, file));
  std::fclose(file);
  return start;
}

bool StartsWith(const std::string& text, const char* prefix, std::size_t length) {
  return text.size() >= length && text.compare(0, length, prefix, length) == 0;
}

}  // namespace

std::unique_ptr<BagReader> OpenBagReader(const std::string& path, std::string& problem) {
  Rosbag2Directory directory;
  if (IsDirectory(path)) {
    problem = ReadRosbag2Directory(path, directory);
    if (!problem.empty()) return nullptr;
    if (directory.storage == "mcap") return OpenMcapBag(directory.files, problem);
    return OpenSqliteBag(directory, problem);
  }
  const std::string start = FileStart(path, 16);
  if (StartsWith(start, kMcapMagic, sizeof kMcapMagic - 1)) return OpenMcapBag({path}, problem);
  const bool sqlite = StartsWith(start, "SQLite format 3", 16);  // with its NUL
  const bool zstd = StartsWith(start, "\x28\xB5\x2F\xFD", 4);
  if (sqlite || zstd) {
    directory.storage = "sqlite3";
    directory.files = {path};
    directory.compressed_files = zstd;
    return OpenSqliteBag(directory, problem);
  }
  return OpenRos1Bag(path, problem);
}
