#include "ros1_unindexed.h"

#include "cloud/cloud_check.h"
#include "ros1_records.h"

#include <bzlib.h>
#include <roslz4/lz4s.h>
#include <boost/make_shared.hpp>

#include <algorithm>
#include <limits>
#include <map>
#include <stdexcept>
#include <utility>

namespace {

using ros1::Record;

const char* const kPointCloud2Md5 = "1158d486dd51d683ce2f1be655c3c181";

struct Connection {
  std::string topic;
  std::string type;
  bool cloud = false;
};

// How a walk through the records ended, kept by the reader once its cursor
// is gone.
struct WalkState {
  bool finished = false;      // it reached the end of what can be read
  std::string lost;           // what could not be read, in words
  std::uint64_t walked = 0;   // messages handed to the walk
  std::uint64_t skipped = 0;  // messages of connections not defined before them
};

// Decompresses a chunk's records into `out`, which grows only as bytes come
// out, up to the `declared` size they must meet exactly. Throws Malformed.
void Decompress(const std::string& compression, std::vector<std::uint8_t>& in,
                std::uint32_t declared, std::vector<std::uint8_t>& out) {
  out.resize(std::min<std::uint64_t>(declared, std::max<std::uint64_t>(in.size() * 8, 1 << 20)));
  std::uint64_t produced = 0;
  const auto grow = [&]() {
    if (out.size() >= declared) {
      throw ros1::Malformed("its records are larger than the declared " + std::to_string(declared) +
                            " bytes");
    }
    out.resize(std::min<std::uint64_t>(declared, out.size() * 2));
  };
  if (compression == "bz2") {
    bz_stream stream{};
    if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) throw ros1::Malformed("bz2 cannot start");
    stream.next_in = reinterpret_cast<char*>(in.data());
    stream.avail_in = static_cast<unsigned>(in.size());
    int result = BZ_OK;
    while (result != BZ_STREAM_END) {
      if (produced == out.size()) grow();
      stream.next_out = reinterpret_cast<char*>(out.data() + produced);
      stream.avail_out = static_cast<unsigned>(out.size() - produced);
      const unsigned input_left = stream.avail_in, output_left = stream.avail_out;
      result = BZ2_bzDecompress(&stream);
      produced = out.size() - stream.avail_out;
      if (result != BZ_OK && result != BZ_STREAM_END) break;
      const bool stuck = stream.avail_in == input_left && stream.avail_out == output_left;
      if (result == BZ_OK && (stuck || stream.avail_in == 0) && stream.avail_out > 0) break;
    }
    BZ2_bzDecompressEnd(&stream);
    if (result != BZ_STREAM_END) {
      throw ros1::Malformed("its bz2 data does not decompress (bz2 error " +
                            std::to_string(result) + ")");
    }
  } else if (compression == "lz4") {
    roslz4_stream stream{};
    if (roslz4_decompressStart(&stream) != ROSLZ4_OK) throw ros1::Malformed("lz4 cannot start");
    stream.input_next = reinterpret_cast<char*>(in.data());
    stream.input_left = static_cast<int>(std::min<std::size_t>(in.size(), INT32_MAX));
    int result = ROSLZ4_OK;
    while (result != ROSLZ4_STREAM_END) {
      if (produced == out.size()) grow();
      stream.output_next = reinterpret_cast<char*>(out.data() + produced);
      stream.output_left =
          static_cast<int>(std::min<std::uint64_t>(out.size() - produced, INT32_MAX));
      const int left = stream.output_left, input_left = stream.input_left;
      result = roslz4_decompress(&stream);
      produced += static_cast<std::uint64_t>(left - stream.output_left);
      if (result < 0 && result != ROSLZ4_OUTPUT_SMALL) break;
      // Neither bytes taken nor bytes given: damaged data, not a pause.
      const bool stuck = stream.input_left == input_left && stream.output_left == left;
      if (result != ROSLZ4_STREAM_END && (stuck || stream.input_left == 0) &&
          stream.output_left > 0) {
        break;
      }
    }
    roslz4_decompressEnd(&stream);
    if (result != ROSLZ4_STREAM_END) {
      throw ros1::Malformed("its lz4 data does not decompress (lz4 error " +
                            std::to_string(result) + ")");
    }
  } else {
    throw ros1::Malformed("it is compressed with '" + compression +
                          "', which ROS 1 bags do not use");
  }
  if (produced != declared) {
    throw ros1::Malformed("its records are " + std::to_string(produced) +
                          " bytes, not the declared " + std::to_string(declared));
  }
  out.resize(produced);
}

std::string FieldText(const ros1::Fields& fields, const char* name) {
  const auto field = fields.find(name);
  return field == fields.end() ? "" : field->second;
}

// The messages of the bag in the order the recorder wrote them: the records
// after the bag header, the connection and message records of each chunk
// (an open chunk's follow it in the file), the index records skipped.
class RecordCursor : public MessageCursor {
 public:
  RecordCursor(const std::string& path, const ros1::File& file, std::uint64_t first,
               MessageQuery query, std::shared_ptr<WalkState> state)
      : path_(path), file_(file), query_(std::move(query)), at_(first), state_(std::move(state)) {}

  bool Next() override {
    if (state_->finished) return false;
    try {
      return Step();
    } catch (const ros1::Malformed& e) {
      throw std::runtime_error("'" + path_ + "': the record at byte " + std::to_string(where_) +
                               " is damaged: " + e.what());
    }
  }

  const StoredMessage& Message() const override { return message_; }
  std::uint64_t Bytes() override { return data_size_; }

  boost::shared_ptr<sensor_msgs::PointCloud2> DecodeCloud(
      std::vector<std::uint8_t>& scratch) override {
    const SerializedMessage bytes = Serialized(scratch);
    auto cloud = boost::make_shared<sensor_msgs::PointCloud2>();
    try {
      GuardedPointCloud2 guarded;
      ros::serialization::IStream stream(const_cast<std::uint8_t*>(bytes.data),
                                         static_cast<std::uint32_t>(bytes.size));
      ros::serialization::deserialize(stream, guarded);
      *cloud = std::move(static_cast<sensor_msgs::PointCloud2&>(guarded));
    } catch (const std::exception& e) {
      throw std::runtime_error("'" + path_ + "': the message at byte " +
                               std::to_string(message_start_) + ": " + e.what());
    }
    return cloud;
  }

  SerializedMessage Serialized(std::vector<std::uint8_t>& scratch) override {
    if (in_buffer_) return {chunk_.data() + data_at_, data_size_, false};
    try {
      file_.Read(data_at_, data_size_, scratch);
    } catch (const ros1::Malformed& e) {
      throw std::runtime_error("'" + path_ + "': the message at byte " +
                               std::to_string(message_start_) + ": " + e.what());
    }
    return {scratch.data(), data_size_, false};
  }

  // Messages per connection met, and the connections themselves.
  const std::map<std::uint32_t, Connection>& Connections() const { return connections_; }
  const std::map<std::uint32_t, std::uint64_t>& Counts() const { return counts_; }

 private:
  enum class Stretch { kFile, kFileChunk, kBufferChunk };

  bool Finish(const std::string& lost) {
    state_->finished = true;
    state_->lost = lost;
    return false;
  }

  std::string EndsInside(std::uint64_t record) const {
    return "the file ends inside a record at byte " + std::to_string(record) + " of " +
           std::to_string(file_.size());
  }

  bool Step() {
    for (;;) {
      Record record;
      if (stretch_ == Stretch::kBufferChunk) {
        if (at_ >= chunk_.size()) {
          Leave();
          continue;
        }
        where_ = chunk_start_;
        if (!ros1::RecordInBuffer(chunk_.data(), chunk_.size(), at_, record)) {
          throw ros1::Malformed("a record at offset " + std::to_string(at_) +
                                " of its records runs past the chunk's end");
        }
        at_ = record.end;
        if (Take(record, true)) return true;
        continue;
      }
      const std::uint64_t end = stretch_ == Stretch::kFileChunk ? chunk_end_ : file_.size();
      if (at_ >= end) {
        if (stretch_ == Stretch::kFileChunk) {
          Leave();
          continue;
        }
        return Finish("nothing lost before the end of the file");
      }
      where_ = at_;
      if (!ros1::RecordInFile(file_, at_, end, record)) {
        if (stretch_ == Stretch::kFileChunk) {
          throw ros1::Malformed("a record runs past the end of the chunk at byte " +
                                std::to_string(chunk_start_));
        }
        if (stretch_ == Stretch::kFile && record.header_read && record.op == ros1::kChunk &&
            FieldText(record.fields, "compression") == "none") {
          // A chunk cut short by the end of the file (or one whose length
          // lies): its records are taken as they come, as an open chunk's.
          at_ = record.data;
          continue;
        }
        return Finish(EndsInside(at_));
      }
      at_ = record.end;
      if (stretch_ == Stretch::kFile && record.op == ros1::kChunk) {
        if (!EnterChunk(record)) return false;
        continue;
      }
      if (Take(record, false)) return true;
    }
  }

  void EnterFileChunk(const Record& record, std::uint64_t end) {
    stretch_ = Stretch::kFileChunk;
    chunk_start_ = record.start;
    chunk_end_ = end;
    after_chunk_ = end;
    at_ = record.data;
  }

  // Steps into a chunk; false when the walk ends at it.
  bool EnterChunk(const Record& record) {
    const std::string compression = FieldText(record.fields, "compression");
    if (record.data_size == 0) {
      // An open chunk: its records follow it in the file.
      if (compression != "none") {
        return Finish("the open chunk at byte " + std::to_string(record.start) +
                      " was compressed (" + compression +
                      ") and cannot be read before it is closed");
      }
      return true;
    }
    if (compression == "none") {
      EnterFileChunk(record, record.end);
      return true;
    }
    const std::uint32_t declared = ros1::U32(record.fields, "size");
    file_.Read(record.data, record.data_size, stored_);
    Decompress(compression, stored_, declared, chunk_);
    stretch_ = Stretch::kBufferChunk;
    chunk_start_ = record.start;
    after_chunk_ = record.end;
    at_ = 0;
    return true;
  }

  // Back to the records after the chunk.
  void Leave() {
    stretch_ = Stretch::kFile;
    at_ = after_chunk_;
  }

  // Takes a connection or a message; true when the message is the walk's.
  bool Take(const Record& record, bool in_buffer) {
    if (record.op == ros1::kConnection) {
      const std::uint32_t id = ros1::U32(record.fields, "conn");
      if (connections_.count(id) != 0) return false;
      // Inside a decompressed chunk, or read from the file (no offset into
      // an empty buffer: that would be arithmetic on a null pointer).
      const std::uint8_t* data = nullptr;
      if (in_buffer) {
        data = chunk_.data() + record.data;
      } else {
        file_.Read(record.data, record.data_size, stored_);
        data = stored_.data();
      }
      const ros1::Connection connection = ros1::ConnectionOf(record, data);
      connections_[id] = {connection.topic, connection.type, connection.md5sum == kPointCloud2Md5};
      return false;
    }
    if (record.op != ros1::kMessageData) return false;
    const std::uint32_t id = ros1::U32(record.fields, "conn");
    const std::uint64_t time = ros1::U64(record.fields, "time");
    const auto connection = connections_.find(id);
    if (connection == connections_.end()) {
      ++state_->skipped;
      return false;
    }
    ++counts_[id];
    const std::int64_t time_ns = static_cast<std::int64_t>(time & 0xffffffffu) * 1000000000 +
                                 static_cast<std::int64_t>(time >> 32);
    if (!query_.Wants(connection->second.topic) || !query_.Within(time_ns)) return false;
    ++state_->walked;
    message_.topic = &connection->second.topic;
    message_.datatype = &connection->second.type;
    message_.time_ns = time_ns;
    message_.cloud = connection->second.cloud;
    in_buffer_ = in_buffer;
    data_at_ = record.data;
    data_size_ = record.data_size;
    message_start_ = in_buffer ? chunk_start_ : record.start;
    return true;
  }

  const std::string& path_;
  const ros1::File& file_;
  MessageQuery query_;
  std::uint64_t at_;
  std::shared_ptr<WalkState> state_;
  Stretch stretch_ = Stretch::kFile;
  std::uint64_t chunk_start_ = 0, chunk_end_ = 0, after_chunk_ = 0;
  std::uint64_t where_ = 0;  // the record being read, for damage
  std::vector<std::uint8_t> stored_, chunk_;
  std::map<std::uint32_t, Connection> connections_;
  std::map<std::uint32_t, std::uint64_t> counts_;
  StoredMessage message_;
  bool in_buffer_ = false;
  std::uint64_t data_at_ = 0, data_size_ = 0, message_start_ = 0;
};

class UnindexedRos1Bag : public BagReader {
 public:
  explicit UnindexedRos1Bag(const std::string& path) : path_(path), file_(path) {}

  std::vector<StoredTopic> Topics() override {
    auto state = std::make_shared<WalkState>();
    RecordCursor scan(path_, file_, first_, MessageQuery(), state);
    try {
      while (scan.Next()) {
      }
    } catch (const std::exception&) {
      // Damage is said by the walk, where it meets it.
    }
    TopicsByName topics;
    for (const auto& [id, connection] : scan.Connections()) {
      StoredTopic& topic = topics[{connection.topic, connection.type}];
      topic.name = connection.topic;
      topic.type = connection.type;
      topic.cloud = connection.cloud;
      const auto count = scan.Counts().find(id);
      if (count != scan.Counts().end()) topic.messages += count->second;
    }
    return ListOf(std::move(topics));
  }

  std::int64_t FirstRecordTime() override {
    RecordCursor scan(path_, file_, first_, MessageQuery(), std::make_shared<WalkState>());
    try {
      if (scan.Next()) return scan.Message().time_ns;
    } catch (const std::exception&) {
    }
    return 0;
  }

  std::unique_ptr<MessageCursor> Walk(const MessageQuery& query) override {
    walk_ = std::make_shared<WalkState>();
    return std::make_unique<RecordCursor>(path_, file_, first_, query, walk_);
  }

  std::uint64_t CountMessages(const MessageQuery& query) override {
    RecordCursor scan(path_, file_, first_, query, std::make_shared<WalkState>());
    std::uint64_t count = 0;
    try {
      while (scan.Next()) ++count;
    } catch (const std::exception&) {
    }
    return count;
  }

  std::string Incomplete() override {
    if (!walk_) return "";
    WalkState ending = *walk_;
    if (!ending.finished) {
      // The walk stopped early: what the rest of the file holds.
      auto rest = std::make_shared<WalkState>();
      RecordCursor scan(path_, file_, first_, MessageQuery(), rest);
      try {
        while (scan.Next()) {
        }
      } catch (const std::exception& e) {
        rest->lost = e.what();
      }
      ending.lost = rest->lost;
      ending.skipped = rest->skipped;
    }
    std::string note = "'" + path_ + "' was not closed by its recorder (no index): walked " +
                       std::to_string(ending.walked) +
                       (ending.walked == 1 ? " message" : " messages") + " in file order; " +
                       ending.lost;
    if (ending.skipped > 0) {
      note += ", " + std::to_string(ending.skipped) +
              (ending.skipped == 1 ? " message" : " messages") +
              " of undefined connections skipped";
    }
    return note;
  }

  std::string path_;
  ros1::File file_;
  std::uint64_t first_ = 0;  // the first record after the bag header
  std::shared_ptr<WalkState> walk_;
};

}  // namespace

std::unique_ptr<BagReader> OpenUnindexedRos1Bag(const std::string& path) {
  auto bag = std::make_unique<UnindexedRos1Bag>(path);
  const ros1::File& file = bag->file_;
  if (!file.open() || file.size() < ros1::kMagicSize) return nullptr;
  try {
    std::vector<std::uint8_t> magic;
    file.Read(0, ros1::kMagicSize, magic);
    if (!std::equal(magic.begin(), magic.end(), ros1::kMagic)) return nullptr;
    Record header;
    if (!ros1::RecordInFile(file, ros1::kMagicSize, header) || header.op != ros1::kBagHeader) {
      return nullptr;
    }
    const std::string encryptor = FieldText(header.fields, "encryptor");
    if (!encryptor.empty() && encryptor != "rosbag/NoEncryptor") return nullptr;
    ros1::U64(header.fields, "index_pos");  // a bag header of this format
    bag->first_ = header.end;
  } catch (const ros1::Malformed&) {
    return nullptr;
  }
  return bag;
}
