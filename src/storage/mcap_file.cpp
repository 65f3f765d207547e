#include "mcap_file.h"

#include "sqlite_bag.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace mcap {
namespace {

const char* const kRos1PointCloud2Type = "sensor_msgs/PointCloud2";

std::string MapFile(const std::string& path, MappedFile& map) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return strerror(errno);
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    std::string problem = strerror(errno);
    close(fd);
    return problem;
  }
  map.size = static_cast<std::uint64_t>(status.st_size);
  if (map.size > 0) {
    void* data = mmap(nullptr, map.size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (data == MAP_FAILED) {
      std::string problem = strerror(errno);
      close(fd);
      return problem;
    }
    map.data = static_cast<const std::uint8_t*>(data);
    madvise(data, map.size, MADV_SEQUENTIAL);
  }
  map.fd = fd;
  return "";
}

// Reads the few bytes opening a file needs of each record through a window
// of the file, not the mapping: the kernel maps whole large folios around a
// touched byte, which would bring the whole file into memory.
class FileWindow {
 public:
  explicit FileWindow(const std::string& path) : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  FileWindow(const FileWindow&) = delete;
  FileWindow& operator=(const FileWindow&) = delete;
  ~FileWindow() {
    if (fd_ >= 0) close(fd_);
  }
  // The `bytes` at `pos`; the caller keeps them inside the file.
  const std::uint8_t* At(std::uint64_t pos, std::uint64_t bytes) {
    if (pos < start_ || pos + bytes > start_ + filled_) {
      // Records read one after another share a window; a jump over a
      // chunk's records reads a page, not a window it would not use.
      const bool next = pos == start_ + filled_;
      buffer_.resize(std::max<std::uint64_t>(bytes, next ? kWindow : kPage));
      const ssize_t got = pread(fd_, buffer_.data(), buffer_.size(), static_cast<off_t>(pos));
      if (got < static_cast<ssize_t>(bytes)) {
        throw mcap::Malformed(std::string("cannot read it: ") +
                              (got < 0 ? strerror(errno) : "the file is shorter than it was"));
      }
      start_ = pos;
      filled_ = static_cast<std::uint64_t>(got);
    }
    return buffer_.data() + (pos - start_);
  }

 private:
  static constexpr std::uint64_t kWindow = std::uint64_t{64} * 1024;
  static constexpr std::uint64_t kPage = 4096;
  int fd_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t start_ = 0, filled_ = 0;
};

// The most of a chunk's record opening reads: its fields before the records.
constexpr std::uint64_t kChunkHeaderBytes = 4096;

std::uint64_t Load64(const std::uint8_t* at) {
  std::uint64_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

std::string Seconds(std::uint64_t nanoseconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", static_cast<double>(nanoseconds) / 1e9);
  return text;
}

}  // namespace

void Resolve(McapFile& file, ChannelInfo& info) {
  if (info.resolved) return;
  const auto schema = file.schemas.find(info.channel.schema_id);
  if (info.channel.schema_id != 0 && schema == file.schemas.end()) return;  // not yet seen
  info.resolved = true;
  info.type = info.channel.schema_id == 0 ? "" : schema->second.name;
  const std::string& encoding = info.channel.message_encoding;
  info.ros1 = encoding == "ros1";
  info.cloud = (info.ros1 && info.type == kRos1PointCloud2Type) ||
               (encoding == "cdr" && info.type == kRos2PointCloud2Type);
}

static void AddChannel(McapFile& file, mcap::Channel channel) {
  ChannelInfo& info = file.channels[channel.id];
  info.channel = std::move(channel);
  info.resolved = false;
  Resolve(file, info);
}

// The channel a message names, or nullptr.
const ChannelInfo* ChannelOf(McapFile& file, std::uint16_t id) {
  const auto found = file.channels.find(id);
  if (found == file.channels.end()) return nullptr;
  Resolve(file, found->second);
  return &found->second;
}

// Schemas and channels of a record, wherever it stands.
static void NoteDefinition(McapFile& file, std::uint8_t opcode, const mcap::Fields& content) {
  if (opcode == mcap::kSchema) {
    mcap::Schema schema = mcap::ReadSchema(content);
    const std::uint16_t id = schema.id;
    file.schemas[id] = std::move(schema);
    for (auto& [channel_id, info] : file.channels) {
      if (info.channel.schema_id == id) {
        info.resolved = false;
        Resolve(file, info);
      }
    }
  } else if (opcode == mcap::kChannel) {
    AddChannel(file, mcap::ReadChannel(content));
  }
}

// Reads the summary section's schemas, channels and statistics; false for a
// damaged summary, which is left aside (the data section is read whole).
static bool ReadSummary(McapFile& file, FileWindow& window, std::uint64_t start,
                        std::uint64_t end) {
  std::map<std::uint16_t, mcap::Schema> schemas;
  std::vector<mcap::Channel> channels;
  bool statistics = false;
  mcap::Statistics stats;
  try {
    for (std::uint64_t pos = start; pos < end;) {
      if (end - pos < mcap::kRecordPrefix) throw mcap::Malformed("a record is cut short");
      const std::uint8_t* prefix = window.At(pos, mcap::kRecordPrefix);
      const std::uint8_t opcode = prefix[0];
      const std::uint64_t length = Load64(prefix + 1);
      const std::uint64_t content = pos + mcap::kRecordPrefix;
      if (length > end - content) throw mcap::Malformed("a record runs past the summary");
      // Records of the data section mean the footer points astray.
      if (opcode == mcap::kMessage || opcode == mcap::kChunk || opcode == mcap::kMessageIndex ||
          opcode == mcap::kDataEnd || opcode == mcap::kHeader || opcode == mcap::kFooter ||
          opcode == 0) {
        throw mcap::Malformed("a data section record in the summary");
      }
      const bool wanted =
          opcode == mcap::kSchema || opcode == mcap::kChannel || opcode == mcap::kStatistics;
      const mcap::Fields fields(wanted ? window.At(content, length) : nullptr, wanted ? length : 0);
      if (opcode == mcap::kSchema) {
        mcap::Schema schema = mcap::ReadSchema(fields);
        schemas[schema.id] = std::move(schema);
      } else if (opcode == mcap::kChannel) {
        channels.push_back(mcap::ReadChannel(fields));
      } else if (opcode == mcap::kStatistics) {
        stats = mcap::ReadStatistics(fields);
        statistics = true;
      }
      pos = content + length;
    }
  } catch (const mcap::Malformed&) {
    return false;
  }
  for (auto& [id, schema] : schemas) file.schemas[id] = std::move(schema);
  for (mcap::Channel& channel : channels) AddChannel(file, std::move(channel));
  file.summary_channels = !channels.empty();
  file.statistics = statistics;
  file.stats = std::move(stats);
  return true;
}

// Says where and why the readable part of a file ends.
static std::string CutShort(const McapFile& file, std::uint64_t at, const std::string& lost) {
  return "'" + file.path + "' is cut short: its readable part ends at byte " + std::to_string(at) +
         " of " + std::to_string(file.map.size) + "; lost from there: " + lost;
}

static std::string Damaged(const McapFile& file, std::uint64_t at, const std::string& reason) {
  return "'" + file.path + "': the record at byte " + std::to_string(at) + " is damaged (" +
         reason + "); nothing after it was read";
}

// Adds a message outside chunks to the run it extends, or starts one.
static void AddLooseMessage(McapFile& file, bool& in_run, std::uint64_t record, std::uint64_t end,
                            const mcap::MessageHeader& message) {
  if (!in_run) {
    Block run;
    run.record = run.data = record;
    run.counted = true;
    file.blocks.push_back(run);
    in_run = true;
  }
  Block& run = file.blocks.back();
  run.data_size = end - run.data;
  run.uncompressed_size = run.data_size;
  run.start_time = std::min(run.start_time, message.log_time);
  run.end_time = std::max(run.end_time, message.log_time);
  ++run.counts[message.channel_id];
}

static Block ChunkBlock(const mcap::ChunkHeader& header, std::uint64_t record) {
  Block chunk;
  chunk.chunk = true;
  chunk.record = record;
  chunk.data = record + mcap::kRecordPrefix + header.records_offset;
  chunk.data_size = header.records_size;
  chunk.compression = header.compression;
  chunk.uncompressed_size = header.uncompressed_size;
  chunk.crc = header.uncompressed_crc;
  chunk.start_time = header.start_time;
  chunk.end_time = header.end_time;
  return chunk;
}

// Walks the data section's records from `pos` to `end` without opening a
// chunk: chunks become blocks with their times and, from the message
// indexes after them, their counts. Stops at the first record that is cut
// short or damaged, saying so in file.stop.
static void ScanData(McapFile& file, FileWindow& window, std::uint64_t pos, std::uint64_t end,
                     bool whole) {
  bool in_run = false;
  bool ended = false;  // a Data End or Footer record closed the data section
  while (pos < end && !ended) {
    if (end - pos < mcap::kRecordPrefix) {
      file.stop = CutShort(file, pos, "a record's first bytes, the summary and the footer");
      return;
    }
    const std::uint64_t content = pos + mcap::kRecordPrefix;
    std::uint8_t opcode = 0;
    std::uint64_t length = 0;
    try {
      const std::uint8_t* prefix = window.At(pos, mcap::kRecordPrefix);
      opcode = prefix[0];
      length = Load64(prefix + 1);
      if (opcode == 0) throw mcap::Malformed("opcode 0 is no record");
      if (length > end - content) {
        if (whole) throw mcap::Malformed("its length reaches past the data section");
        if (opcode != mcap::kChunk) {
          file.stop = CutShort(file, pos,
                               "a record of " + std::to_string(length) +
                                   " bytes and all after it, the summary and the footer");
          return;
        }
        // The chunk's complete messages are still read.
        mcap::ChunkHeader header;
        try {
          const std::uint64_t available = std::min(end - content, kChunkHeaderBytes);
          header = mcap::ReadChunkHeader(window.At(content, available), available);
        } catch (const mcap::Malformed&) {
          file.stop = CutShort(file, pos,
                               "a record of " + std::to_string(length) +
                                   " bytes (a chunk) and all after it, the summary and the footer");
          return;
        }
        Block chunk = ChunkBlock(header, pos);
        chunk.partial = true;
        chunk.data_size = std::min(chunk.data_size, end - chunk.data);
        file.blocks.push_back(chunk);
        file.stop = "'" + file.path + "' is cut short at byte " + std::to_string(end) +
                    ", inside the chunk that starts at byte " + std::to_string(pos) +
                    "; lost from there: the rest of that chunk (messages logged from " +
                    Seconds(header.start_time) + " to " + Seconds(header.end_time) +
                    " s; those complete before the cut were read), the summary and the footer";
        return;
      }
      switch (opcode) {
        case mcap::kMessage: {
          // Its channel and times; the data follows.
          const std::uint64_t head = std::min<std::uint64_t>(length, 22);
          AddLooseMessage(file, in_run, pos, content + length,
                          mcap::ReadMessage(mcap::Fields(window.At(content, head), head)));
          break;
        }
        case mcap::kChunk: {
          in_run = false;
          const std::uint64_t head = std::min(length, kChunkHeaderBytes);
          const mcap::ChunkHeader header = mcap::ReadChunkHeader(window.At(content, head), head);
          if (header.records_size > length - header.records_offset) {
            throw mcap::Malformed("the chunk's records reach past its record");
          }
          file.blocks.push_back(ChunkBlock(header, pos));
          break;
        }
        case mcap::kMessageIndex: {
          std::uint16_t channel = 0;
          const std::uint64_t count = mcap::ReadMessageIndexCount(
              length, window.At(content, std::min<std::uint64_t>(length, 6)), channel);
          if (!in_run && !file.blocks.empty() && file.blocks.back().chunk) {
            file.blocks.back().counted = true;
            file.blocks.back().counts[channel] += count;
          }
          break;
        }
        case mcap::kDataEnd:
        case mcap::kFooter:
          ended = true;
          break;
        case mcap::kSchema:
        case mcap::kChannel:
          NoteDefinition(file, opcode, mcap::Fields(window.At(content, length), length));
          break;
        default:
          break;  // attachments, metadata and records of kinds unknown here
      }
    } catch (const mcap::Malformed& e) {
      file.stop = Damaged(file, pos, e.what());
      return;
    }
    pos = content + length;
  }
  if (!whole) {
    file.stop = CutShort(
        file, pos,
        ended ? "the summary and the footer" : "whatever followed, the summary and the footer");
  }
}

std::string OpenFile(const std::string& path, McapFile& file) {
  file.path = path;
  std::string problem = MapFile(path, file.map);
  if (!problem.empty()) return "'" + path + "': " + problem;
  const std::uint64_t size = file.map.size;
  FileWindow window(path);
  try {
    if (size < 8 || std::memcmp(window.At(0, 8), kMcapMagic, 8) != 0) {
      return "'" + path + "' is not an MCAP file";
    }
    const std::uint8_t* header = size >= 8 + mcap::kRecordPrefix ? window.At(8, 9) : nullptr;
    if (header == nullptr || header[0] != mcap::kHeader ||
        Load64(header + 1) > size - 8 - mcap::kRecordPrefix) {
      return "'" + path + "' is too short to hold its MCAP header";
    }
    const std::uint64_t data_start = 8 + mcap::kRecordPrefix + Load64(header + 1);
    std::uint64_t data_end = size;
    const bool whole = size >= data_start + mcap::kFooterRecord + 8;
    const std::uint64_t footer = size - 8 - mcap::kFooterRecord;
    const std::uint8_t* end = whole ? window.At(footer, mcap::kFooterRecord + 8) : nullptr;
    if (whole && std::memcmp(end + mcap::kFooterRecord, kMcapMagic, 8) == 0 &&
        end[0] == mcap::kFooter && Load64(end + 1) == 20) {
      data_end = footer;
      const std::uint64_t summary = Load64(end + mcap::kRecordPrefix);
      const std::uint64_t offsets = Load64(end + mcap::kRecordPrefix + 8);
      if (summary >= data_start && summary < footer) {
        // A summary that does not read may not start where the footer says:
        // the data section is then read up to the footer.
        if (ReadSummary(file, window, summary,
                        offsets > summary && offsets <= footer ? offsets : footer)) {
          data_end = summary;
        }
      }
      ScanData(file, window, data_start, data_end, true);
    } else {
      ScanData(file, window, data_start, data_end, false);
    }
  } catch (const mcap::Malformed& e) {
    return "'" + path + "': " + e.what();
  }
  return "";
}

void MappedFile::Read(std::uint64_t offset, std::uint64_t bytes, Buffer& out) const {
  out.Reserve(bytes);
  std::uint64_t done = 0;
  while (done < bytes) {
    const ssize_t got =
        pread(fd, out.bytes.get() + done, bytes - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      throw mcap::Malformed(std::string("cannot read it: ") +
                            (got < 0 ? strerror(errno) : "the file is shorter than it was"));
    }
    done += static_cast<std::uint64_t>(got);
  }
}

bool ReadFromMapping(const Block& block) {
  return !block.chunk || block.data_size > kLargestReadChunk;
}

Records BlockRecords(const McapFile& file, const Block& block, mcap::Buffer& buffer,
                     mcap::Buffer& stored) {
  const bool plain = !block.chunk || block.compression.empty();
  if (plain && !block.partial && block.data_size != block.uncompressed_size) {
    throw mcap::Malformed("its " + std::to_string(block.data_size) +
                          " bytes of plain records are not the declared " +
                          std::to_string(block.uncompressed_size));
  }
  const std::uint8_t* bytes = file.map.data + block.data;
  if (!ReadFromMapping(block)) {
    mcap::Buffer& into = plain ? buffer : stored;
    file.map.Read(block.data, block.data_size, into);
    bytes = into.bytes.get();
  }
  if (plain) return {bytes, block.data_size};
  const std::uint64_t size = mcap::Decompress(block.compression, bytes, block.data_size,
                                              block.uncompressed_size, block.partial, buffer);
  if (ReadFromMapping(block)) file.map.Release(block.data, block.data_size);
  return {buffer.bytes.get(), size};
}

void CheckCrc(const Block& block, const Records& records) {
  if (!block.chunk || block.partial || block.crc == 0) return;
  const std::uint32_t crc = mcap::Crc32(records.data, records.size);
  if (crc != block.crc) {
    char text[96];
    std::snprintf(text, sizeof text, "its records' CRC is %08x, not the stored %08x", crc,
                  block.crc);
    throw mcap::Malformed(text);
  }
}

void ForEachRecord(McapFile& file, const Block& block, const Records& records,
                   const std::function<void(const MessageHeader&, std::uint64_t)>& message) {
  for (std::uint64_t pos = 0; pos < records.size;) {
    if (records.size - pos < mcap::kRecordPrefix) {
      if (block.partial) return;
      throw mcap::Malformed("a record at offset " + std::to_string(pos) + " is cut short");
    }
    const std::uint8_t opcode = records.data[pos];
    const std::uint64_t length = Load64(records.data + pos + 1);
    const std::uint64_t content = pos + mcap::kRecordPrefix;
    if (length > records.size - content) {
      if (block.partial) return;
      throw mcap::Malformed("the record at offset " + std::to_string(pos) + " reaches past " +
                            (block.chunk ? "the chunk's records" : "its block"));
    }
    const mcap::Fields fields(records.data + content, length);
    if (opcode == mcap::kMessage) {
      message(mcap::ReadMessage(fields), pos);
    } else {
      NoteDefinition(file, opcode, fields);
    }
    pos = content + length;
  }
}

void Catalogue(McapFile& file) {
  if (file.catalogued) return;
  file.catalogued = true;
  mcap::Buffer buffer, stored;
  for (Block& block : file.blocks) {
    if (block.counted && file.summary_channels) continue;
    try {
      const Records records = BlockRecords(file, block, buffer, stored);
      std::map<std::uint16_t, std::uint64_t> counts;
      ForEachRecord(file, block, records,
                    [&](const mcap::MessageHeader& m, std::uint64_t) { ++counts[m.channel_id]; });
      if (!block.counted) {
        block.counts = std::move(counts);
        block.counted = true;
      }
      if (ReadFromMapping(block)) file.map.Release(block.data, block.data_size);
    } catch (const std::exception&) {
      return;
    }
  }
}

std::uint64_t FirstTime(const McapFile& file) {
  if (file.statistics && file.stats.message_count > 0) return file.stats.start_time;
  std::uint64_t first = std::numeric_limits<std::uint64_t>::max();
  for (const Block& block : file.blocks) {
    bool empty = block.counted;
    for (const auto& [id, count] : block.counts) empty = empty && count == 0;
    if (!empty) first = std::min(first, block.start_time);
  }
  return first;
}

}  // namespace mcap
