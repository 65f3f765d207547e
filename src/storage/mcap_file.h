// One MCAP file as the reader sees it once opened: its schemas and channels,
// and the blocks of its data section (chunks, and runs of messages outside
// chunks) with their log times and, where an index tells, their messages per
// channel. Opening reads only the heads of records; blocks are read later.
#pragma once

#include "mcap_records.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

namespace mcap {

// A file mapped read-only and kept open. Chunks are read with pread into
// buffers the reader keeps: on some machines faulting in mapped pages of the
// page cache costs several times the copy. Runs of messages outside chunks,
// which may span the file, are read from the mapping, whose pages are given
// back as the walk leaves them, so memory stays at what is being read.
struct MappedFile {
  const std::uint8_t* data = nullptr;
  std::uint64_t size = 0;
  int fd = -1;

  MappedFile() = default;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile() {
    if (data != nullptr) munmap(const_cast<std::uint8_t*>(data), size);
    if (fd >= 0) close(fd);
  }
  // The whole pages inside [offset, offset + bytes) leave this process's
  // memory; they stay in the page cache.
  void Release(std::uint64_t offset, std::uint64_t bytes) const {
    const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    const std::uint64_t first = (offset + page - 1) / page * page;
    const std::uint64_t last = (offset + bytes) / page * page;
    if (data == nullptr || last <= first) return;
    madvise(const_cast<std::uint8_t*>(data) + first, last - first, MADV_DONTNEED);
  }
  // Copies [offset, offset + bytes), inside the file, into `out`. Throws
  // Malformed when the file cannot be read there.
  void Read(std::uint64_t offset, std::uint64_t bytes, Buffer& out) const;
};

// Chunks up to this size are read into a buffer; larger ones from the mapping.
constexpr std::uint64_t kLargestReadChunk = std::uint64_t{64} << 20;

struct ChannelInfo {
  mcap::Channel channel;
  bool resolved = false;  // type and cloud follow from its schema
  std::string type;       // the schema's name; "" without schema
  bool cloud = false;
  bool ros1 = false;  // its messages are in ROS 1's serialization, not CDR
};

// A stretch of the data section whose messages are read together: a chunk,
// or a run of messages written outside chunks.
struct Block {
  bool chunk = false;
  bool partial = false;         // cut short: only data_size bytes are there
  std::uint64_t record = 0;     // where its first record starts
  std::uint64_t data = 0;       // its records, compressed or not
  std::uint64_t data_size = 0;  // what is in the file
  std::string compression;
  std::uint64_t uncompressed_size = 0;
  std::uint32_t crc = 0;
  std::uint64_t start_time = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t end_time = 0;
  bool counted = false;  // `counts` holds its messages per channel
  std::map<std::uint16_t, std::uint64_t> counts;
};

struct McapFile {
  std::string path;
  MappedFile map;
  std::map<std::uint16_t, mcap::Schema> schemas;
  std::map<std::uint16_t, ChannelInfo> channels;
  std::vector<Block> blocks;      // in file order
  bool summary_channels = false;  // the summary lists every channel
  bool statistics = false;
  mcap::Statistics stats;
  bool catalogued = false;  // every channel and every block's counts are known
  // Why reading stops short of a whole file, said once the walk is done;
  // "" for a whole file.
  std::string stop;
};

// Opens the file: its header, footer and summary, and the blocks of its data
// section. Returns "" or why it cannot be read at all; a cut or damage past
// which nothing can be read is kept in file.stop.
std::string OpenFile(const std::string& path, McapFile& file);

// The channel a message names, its type resolved when its schema is known;
// nullptr when no channel record defines it.
const ChannelInfo* ChannelOf(McapFile& file, std::uint16_t id);
void Resolve(McapFile& file, ChannelInfo& info);

// The records of a block, once decompressed.
struct Records {
  const std::uint8_t* data = nullptr;
  std::uint64_t size = 0;
};

// A block's records: a plain chunk read into `buffer`, a compressed one read
// into `stored` and decompressed into `buffer`, a run of messages outside
// chunks (or a chunk too large to read whole) lent from the mapping. Throws
// Malformed.
Records BlockRecords(const McapFile& file, const Block& block, Buffer& buffer, Buffer& stored);

// Whether BlockRecords lends the block's bytes from the mapping, whose pages
// are then to be released once its messages are walked.
bool ReadFromMapping(const Block& block);

// Throws Malformed when a whole chunk's records do not match its CRC.
void CheckCrc(const Block& block, const Records& records);

// Calls `message(header, offset)` for each message record of a block, and
// notes its schemas and channels. A record cut short ends a partial block.
// Throws Malformed.
void ForEachRecord(McapFile& file, const Block& block, const Records& records,
                   const std::function<void(const MessageHeader&, std::uint64_t)>& message);

// Learns every channel and every block's counts, opening the chunks that no
// summary or index describes. Stops quietly at damage: the walk says it.
void Catalogue(McapFile& file);

// The log time of the file's first message; the largest time when it has none.
std::uint64_t FirstTime(const McapFile& file);

}  // namespace mcap
