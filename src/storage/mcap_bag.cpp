#include "mcap_bag.h"

#include "cdr_cloud.h"
#include "cloud/cloud_check.h"
#include "mcap_file.h"
#include "rosbag2_metadata.h"

#include <boost/make_shared.hpp>

#include <algorithm>
#include <limits>
#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

using mcap::Block;
using mcap::ChannelInfo;
using mcap::McapFile;
using mcap::Records;

bool Overlaps(const Block& block, const MessageQuery& query) {
  return !(static_cast<std::int64_t>(std::min<std::uint64_t>(
               block.end_time, std::numeric_limits<std::int64_t>::max())) < query.start_ns ||
           block.start_time > static_cast<std::uint64_t>(std::max<std::int64_t>(query.end_ns, 0)));
}

// Whether a block may hold a message on one of the query's topics.
bool HasWantedTopic(McapFile& file, const Block& block, const MessageQuery& query) {
  if (query.topics.empty() || !block.counted || !file.summary_channels) return true;
  for (const auto& [id, count] : block.counts) {
    const ChannelInfo* channel = ChannelOf(file, id);
    if (count > 0 && (channel == nullptr || query.Wants(channel->channel.topic))) return true;
  }
  return false;
}

// A message of an open block.
struct Entry {
  std::uint64_t log_time;
  std::uint64_t offset;  // within the block's records
  const ChannelInfo* channel;
  const std::uint8_t* data;
  std::uint64_t size;
};

struct OpenBlock {
  std::size_t block = 0;  // in file order
  std::unique_ptr<mcap::Buffer> buffer;
  std::vector<Entry> entries;  // in log-time order, ties in file order
  std::size_t next = 0;
};

// The messages of one file in log-time order: blocks are opened in the order
// of their first log time, and more than one is open only while their times
// overlap.
class FileCursor : public MessageCursor {
 public:
  FileCursor(McapFile& file, const MessageQuery& query) : file_(file), query_(query) {
    for (std::size_t i = 0; i < file.blocks.size(); ++i) {
      const Block& block = file.blocks[i];
      if (Overlaps(block, query) && HasWantedTopic(file, block, query)) order_.push_back(i);
    }
    std::stable_sort(order_.begin(), order_.end(), [&file](std::size_t a, std::size_t b) {
      return file.blocks[a].start_time < file.blocks[b].start_time;
    });
  }

  bool Next() override {
    open_.erase(std::remove_if(open_.begin(), open_.end(),
                               [this](OpenBlock& open) {
                                 if (open.next < open.entries.size()) return false;
                                 Close(open);
                                 return true;
                               }),
                open_.end());
    for (;;) {
      OpenBlock* best = Earliest();
      if (next_ < order_.size() && (best == nullptr || file_.blocks[order_[next_]].start_time <=
                                                           best->entries[best->next].log_time)) {
        Open(order_[next_++]);
        continue;
      }
      if (best == nullptr) return false;
      current_ = best->entries[best->next++];
      current_block_ = best->block;
      message_.topic = &current_.channel->channel.topic;
      message_.datatype = &current_.channel->type;
      message_.time_ns = static_cast<std::int64_t>(current_.log_time);
      message_.cloud = current_.channel->cloud;
      return true;
    }
  }

  const StoredMessage& Message() const override { return message_; }
  std::uint64_t Bytes() override { return current_.size; }

  boost::shared_ptr<sensor_msgs::PointCloud2> DecodeCloud(std::vector<std::uint8_t>&) override {
    auto cloud = boost::make_shared<sensor_msgs::PointCloud2>();
    std::string problem;
    if (current_.channel->ros1) {
      problem = ReadRos1Cloud(*cloud);
    } else {
      problem = ReadCdrCloud(current_.data, current_.size, *cloud);
    }
    if (!problem.empty()) {
      const Block& block = file_.blocks[current_block_];
      throw std::runtime_error("'" + file_.path + "': the message on " + *message_.topic +
                               " at offset " + std::to_string(current_.offset) + " of the " +
                               (block.chunk ? "chunk" : "records") + " at byte " +
                               std::to_string(block.record) + ": " + problem);
    }
    return cloud;
  }

  SerializedMessage Serialized(std::vector<std::uint8_t>&) override {
    return {current_.data, current_.size, !current_.channel->ros1};
  }

  std::uint64_t SkipClouds(std::uint64_t clouds) override {
    std::uint64_t skipped = 0;
    while (next_ < order_.size()) {
      const Block& block = file_.blocks[order_[next_]];
      if (!block.counted || !file_.summary_channels) break;
      if (next_ + 1 < order_.size()) {
        // Overlapping blocks interleave their messages; at a tie the earlier
        // in the file goes first.
        const std::size_t after = order_[next_ + 1];
        const std::uint64_t start = file_.blocks[after].start_time;
        if (start < block.end_time || (start == block.end_time && after < order_[next_])) break;
      }
      if (static_cast<std::int64_t>(block.start_time) < query_.start_ns ||
          block.end_time > static_cast<std::uint64_t>(std::max<std::int64_t>(query_.end_ns, 0))) {
        break;  // only part of it is in the window
      }
      std::uint64_t in_block = 0;
      bool known = true;
      for (const auto& [id, count] : block.counts) {
        const ChannelInfo* channel = ChannelOf(file_, id);
        if (channel == nullptr || !channel->resolved) known = false;
        if (known && channel->cloud && query_.Wants(channel->channel.topic)) in_block += count;
      }
      if (!known || in_block > clouds - skipped) break;
      skipped += in_block;
      ++next_;
    }
    return skipped;
  }

 private:
  std::string ReadRos1Cloud(sensor_msgs::PointCloud2& cloud) const {
    if (current_.size > std::numeric_limits<std::uint32_t>::max()) return "larger than 4 GiB";
    try {
      GuardedPointCloud2 guarded;
      ros::serialization::IStream stream(const_cast<std::uint8_t*>(current_.data),
                                         static_cast<std::uint32_t>(current_.size));
      ros::serialization::deserialize(stream, guarded);
      cloud = std::move(static_cast<sensor_msgs::PointCloud2&>(guarded));
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  }

  OpenBlock* Earliest() {
    OpenBlock* best = nullptr;
    for (OpenBlock& open : open_) {
      if (open.next >= open.entries.size()) continue;
      const Entry& entry = open.entries[open.next];
      if (best == nullptr || entry.log_time < best->entries[best->next].log_time ||
          (entry.log_time == best->entries[best->next].log_time && open.block < best->block)) {
        best = &open;
      }
    }
    return best;
  }

  void Open(std::size_t index) {
    const Block& block = file_.blocks[index];
    OpenBlock open;
    open.block = index;
    if (!spare_.empty()) {
      open.buffer = std::move(spare_.back());
      spare_.pop_back();
    } else {
      open.buffer = std::make_unique<mcap::Buffer>();
    }
    try {
      const Records records = BlockRecords(file_, block, *open.buffer, stored_);
      CheckCrc(block, records);
      ForEachRecord(file_, block, records, [&](const mcap::MessageHeader& m, std::uint64_t at) {
        const ChannelInfo* channel = ChannelOf(file_, m.channel_id);
        if (channel == nullptr) {
          throw mcap::Malformed("a message names channel " + std::to_string(m.channel_id) +
                                ", which no channel record defines");
        }
        if (!query_.Wants(channel->channel.topic) ||
            m.log_time > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
            !query_.Within(static_cast<std::int64_t>(m.log_time))) {
          return;
        }
        open.entries.push_back({m.log_time, at, channel, m.data, m.size});
      });
    } catch (const mcap::Malformed& e) {
      throw std::runtime_error("'" + file_.path + "': the " +
                               std::string(block.chunk ? "chunk" : "record") + " at byte " +
                               std::to_string(block.record) + " is damaged: " + e.what());
    }
    const auto by_time = [](const Entry& a, const Entry& b) { return a.log_time < b.log_time; };
    if (!std::is_sorted(open.entries.begin(), open.entries.end(), by_time)) {
      std::stable_sort(open.entries.begin(), open.entries.end(), by_time);
    }
    open_.push_back(std::move(open));
  }

  void Close(OpenBlock& open) {
    const Block& block = file_.blocks[open.block];
    if (ReadFromMapping(block)) file_.map.Release(block.data, block.data_size);
    spare_.push_back(std::move(open.buffer));
  }

  McapFile& file_;
  MessageQuery query_;
  std::vector<std::size_t> order_;  // the blocks to read, by first log time
  std::size_t next_ = 0;            // the next of them to open
  std::vector<OpenBlock> open_;
  std::vector<std::unique_ptr<mcap::Buffer>> spare_;  // buffers kept from block to block
  mcap::Buffer stored_;  // a compressed chunk as stored, while it is decompressed
  Entry current_{};
  std::size_t current_block_ = 0;
  StoredMessage message_;
};

// The files' messages as one walk; a file's cut or damage found when it was
// opened is said once every message before it has been walked.
class RecordingCursor : public MessageCursor {
 public:
  RecordingCursor(std::vector<std::unique_ptr<MessageCursor>> cursors,
                  const std::vector<std::unique_ptr<McapFile>>& files)
      : merged_(std::move(cursors)), files_(files) {}
  bool Next() override {
    if (merged_.Next()) return true;
    for (const auto& file : files_) {
      if (!file->stop.empty()) throw std::runtime_error(file->stop);
    }
    return false;
  }
  const StoredMessage& Message() const override { return merged_.Message(); }
  std::uint64_t Bytes() override { return merged_.Bytes(); }
  boost::shared_ptr<sensor_msgs::PointCloud2> DecodeCloud(
      std::vector<std::uint8_t>& scratch) override {
    return merged_.DecodeCloud(scratch);
  }
  SerializedMessage Serialized(std::vector<std::uint8_t>& scratch) override {
    return merged_.Serialized(scratch);
  }
  std::uint64_t SkipClouds(std::uint64_t clouds) override { return merged_.SkipClouds(clouds); }

 private:
  MergedCursor merged_;
  const std::vector<std::unique_ptr<McapFile>>& files_;
};

class McapBag : public BagReader {
 public:
  std::vector<StoredTopic> Topics() override {
    TopicsByName topics;
    for (const auto& file : files) {
      Catalogue(*file);
      const bool counted = file->statistics && !file->stats.channel_counts.empty();
      for (auto& [id, info] : file->channels) {
        Resolve(*file, info);
        StoredTopic& topic = topics[{info.channel.topic, info.type}];
        topic.name = info.channel.topic;
        topic.type = info.type;
        topic.cloud = info.cloud;
        if (counted) {
          const auto count = file->stats.channel_counts.find(id);
          if (count != file->stats.channel_counts.end()) topic.messages += count->second;
        } else {
          for (const Block& block : file->blocks) {
            const auto count = block.counts.find(id);
            if (count != block.counts.end()) topic.messages += count->second;
          }
        }
        const auto qos = info.channel.metadata.find("offered_qos_profiles");
        if (qos != info.channel.metadata.end() && !topic.qos_stored) {
          topic.qos_stored = true;
          topic.offered_qos = DescribeOfferedQos(qos->second);
        }
      }
    }
    return ListOf(std::move(topics));
  }

  std::int64_t FirstRecordTime() override {
    std::uint64_t first = std::numeric_limits<std::uint64_t>::max();
    for (const auto& file : files) first = std::min(first, FirstTime(*file));
    if (first == std::numeric_limits<std::uint64_t>::max()) return 0;
    return static_cast<std::int64_t>(
        std::min<std::uint64_t>(first, std::numeric_limits<std::int64_t>::max()));
  }

  std::unique_ptr<MessageCursor> Walk(const MessageQuery& query) override {
    std::vector<std::unique_ptr<MessageCursor>> cursors;
    for (const auto& file : files) cursors.push_back(std::make_unique<FileCursor>(*file, query));
    return std::make_unique<RecordingCursor>(std::move(cursors), files);
  }

  // From the indexes: blocks partly inside the time window count whole.
  std::uint64_t CountMessages(const MessageQuery& query) override {
    std::uint64_t total = 0;
    for (const auto& file : files) {
      Catalogue(*file);
      for (const Block& block : file->blocks) {
        if (!Overlaps(block, query)) continue;
        for (const auto& [id, count] : block.counts) {
          const ChannelInfo* channel = ChannelOf(*file, id);
          if (channel == nullptr || query.Wants(channel->channel.topic)) total += count;
        }
      }
    }
    return total;
  }

  std::vector<std::unique_ptr<McapFile>> files;
};

}  // namespace

std::unique_ptr<BagReader> OpenMcapBag(const std::vector<std::string>& paths,
                                       std::string& problem) {
  auto bag = std::make_unique<McapBag>();
  for (const std::string& path : paths) {
    auto file = std::make_unique<McapFile>();
    problem = OpenFile(path, *file);
    if (!problem.empty()) return nullptr;
    bag->files.push_back(std::move(file));
  }
  // A split recording is walked in the order of its files' first messages.
  std::stable_sort(bag->files.begin(), bag->files.end(),
                   [](const std::unique_ptr<McapFile>& a, const std::unique_ptr<McapFile>& b) {
                     return FirstTime(*a) < FirstTime(*b);
                   });
  return bag;
}
