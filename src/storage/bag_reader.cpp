#include "bag_reader.h"

#include "mcap_bag.h"
#include "mcap_records.h"
#include "ros1_bag.h"
#include "rosbag2_metadata.h"
#include "sqlite_bag.h"

#include <algorithm>
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

std::vector<StoredTopic> ListOf(TopicsByName topics) {
  std::vector<StoredTopic> list;
  list.reserve(topics.size());
  for (auto& [key, topic] : topics) list.push_back(std::move(topic));
  return list;
}

bool MessageQuery::Wants(const std::string& topic) const {
  return topics.empty() || std::find(topics.begin(), topics.end(), topic) != topics.end();
}

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

MergedCursor::MergedCursor(std::vector<std::unique_ptr<MessageCursor>> cursors)
    : cursors_(std::move(cursors)), more_(cursors_.size(), false) {}

bool MergedCursor::Next() {
  if (!started_) {
    for (std::size_t i = 0; i < cursors_.size(); ++i) more_[i] = cursors_[i]->Next();
    started_ = true;
  } else if (current_ < cursors_.size()) {
    more_[current_] = cursors_[current_]->Next();
  }
  current_ = cursors_.size();
  for (std::size_t i = 0; i < cursors_.size(); ++i) {
    if (!more_[i]) continue;
    if (current_ == cursors_.size() ||
        cursors_[i]->Message().time_ns < cursors_[current_]->Message().time_ns) {
      current_ = i;
    }
  }
  return current_ < cursors_.size();
}

std::unique_ptr<MessageCursor> MergeCursors(std::vector<std::unique_ptr<MessageCursor>> cursors) {
  if (cursors.size() == 1) return std::move(cursors.front());
  return std::make_unique<MergedCursor>(std::move(cursors));
}
