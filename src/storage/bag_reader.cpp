#include "bag_reader.h"

#include <algorithm>

std::vector<StoredTopic> ListOf(TopicsByName topics) {
  std::vector<StoredTopic> list;
  list.reserve(topics.size());
  for (auto& [key, topic] : topics) list.push_back(std::move(topic));
  return list;
}

bool MessageQuery::Wants(const std::string& topic) const {
  return topics.empty() || std::find(topics.begin(), topics.end(), topic) != topics.end();
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
