#include "rosbag2_metadata.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cctype>

namespace {

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The names in a folder that end with `suffix`, sorted.
std::vector<std::string> FilesEndingWith(const std::string& dir, const std::string& suffix) {
  std::vector<std::string> names;
  DIR* folder = opendir(dir.c_str());
  if (folder == nullptr) return names;
  while (const dirent* entry = readdir(folder)) {
    if (EndsWith(entry->d_name, suffix)) names.push_back(dir + "/" + entry->d_name);
  }
  closedir(folder);
  std::sort(names.begin(), names.end());
  return names;
}

std::string ReadMetadata(const std::string& path, Rosbag2Directory& directory) {
  try {
    const YAML::Node info = YAML::LoadFile(path)["rosbag2_bagfile_information"];
    if (!info.IsMap()) return "'" + path + "' has no rosbag2_bagfile_information";
    directory.storage = info["storage_identifier"].as<std::string>("sqlite3");
    if (directory.storage != "sqlite3" && directory.storage != "mcap") {
      return "storage '" + directory.storage + "' is not supported; sqlite3 and mcap are";
    }
    for (const YAML::Node& file : info["relative_file_paths"]) {
      directory.files.push_back(file.as<std::string>());
    }
    const std::string format = info["compression_format"].as<std::string>("");
    std::string mode = info["compression_mode"].as<std::string>("");
    std::transform(mode.begin(), mode.end(), mode.begin(), ::tolower);
    if (!format.empty() && mode != "none" && !mode.empty()) {
      if (format != "zstd") return "compression '" + format + "' is not supported; only zstd is";
      if (mode != "file" && mode != "message") {
        return "compression mode '" + mode + "' is not known";
      }
      if (directory.storage == "mcap") {
        return "rosbag2's own " + mode +
               " compression of MCAP files is not supported (MCAP's chunk compression is)";
      }
      directory.compressed_files = mode == "file";
      directory.compressed_messages = mode == "message";
    }
  } catch (const YAML::Exception& e) {
    return "'" + path + "': " + e.what();
  }
  return "";
}

// A policy as a word: rosbag2 writes them as names or as the numbers of
// rmw's enumerations.
std::string Policy(const YAML::Node& node, const char* const (&names)[4]) {
  if (!node.IsScalar()) return "unknown";
  std::string text = node.as<std::string>();
  if (!text.empty() && std::isdigit(static_cast<unsigned char>(text[0]))) {
    const int number = node.as<int>(-1);
    return number >= 0 && number < 4 ? names[number] : text;
  }
  return text;
}

}  // namespace

std::string DescribeOfferedQos(const std::string& yaml) {
  static const char* const kReliability[] = {"system_default", "reliable", "best_effort",
                                             "unknown"};
  static const char* const kDurability[] = {"system_default", "transient_local", "volatile",
                                            "unknown"};
  try {
    const YAML::Node profiles = YAML::Load(yaml);
    if (!profiles.IsSequence() || profiles.size() == 0) return "none (no publisher was seen)";
    std::string text;
    for (const YAML::Node& profile : profiles) {
      if (!text.empty()) text += "; ";
      text += "reliability " + Policy(profile["reliability"], kReliability) + ", durability " +
              Policy(profile["durability"], kDurability);
    }
    return text;
  } catch (const YAML::Exception&) {
    return "unreadable";
  }
}

bool IsDirectory(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::string ReadRosbag2Directory(const std::string& dir, Rosbag2Directory& directory) {
  const std::string metadata_path = dir + "/metadata.yaml";
  if (access(metadata_path.c_str(), F_OK) == 0) {
    std::string problem = ReadMetadata(metadata_path, directory);
    if (!problem.empty()) return problem;
    for (std::string& file : directory.files) file = dir + "/" + file;
    if (directory.files.empty()) {
      const bool sqlite = directory.storage == "sqlite3";
      directory.files = FilesEndingWith(
          dir, sqlite ? (directory.compressed_files ? ".db3.zstd" : ".db3") : ".mcap");
      if (directory.files.empty()) {
        return sqlite ? "no .db3 files in the directory" : "no .mcap files in the directory";
      }
    }
    return "";
  }
  directory.storage = "sqlite3";
  directory.files = FilesEndingWith(dir, ".db3");
  if (directory.files.empty()) {
    directory.storage = "mcap";
    directory.files = FilesEndingWith(dir, ".mcap");
  }
  if (directory.files.empty()) return "no .db3 or .mcap files in the directory";
  return "";
}
