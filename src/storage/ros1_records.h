// The records of a ROS 1 bag file (format 2.0) read straight from the file,
// where rosbag cannot help: the connections its index lists (the library's
// views leave out those without messages), and bags whose recorder never
// wrote the index. Every length is checked against the file before anything
// is read or allocated.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace ros1 {

// What is wrong with a record, and where.
struct Malformed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

constexpr char kMagic[] = "#ROSBAG V2.0\n";
constexpr std::uint64_t kMagicSize = sizeof kMagic - 1;

enum Op : std::uint8_t {
  kMessageData = 0x02,
  kBagHeader = 0x03,
  kIndexData = 0x04,
  kChunk = 0x05,
  kChunkInfo = 0x06,
  kConnection = 0x07,
};

using Fields = std::map<std::string, std::string>;

// A record's header fields and where its data lies.
struct Record {
  std::uint64_t start = 0;  // its first byte
  Fields fields;
  std::uint8_t op = 0;
  std::uint64_t data = 0;  // its data's first byte
  std::uint32_t data_size = 0;
  std::uint64_t end = 0;     // the byte after it
  bool header_read = false;  // its header was there whole, even if its data is not
};

// A file read by position; reads never pass its end.
class File {
 public:
  explicit File(const std::string& path);
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  bool open() const { return fd_ >= 0; }
  std::uint64_t size() const { return size_; }
  // Copies `bytes` from `offset` into `out`; throws Malformed past the end.
  void Read(std::uint64_t offset, std::uint64_t bytes, std::vector<std::uint8_t>& out) const;

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

// Parses "name=value" fields, each behind its four-byte length. Throws
// Malformed when a length runs past `size`.
Fields ParseFields(const std::uint8_t* data, std::uint64_t size);

// The record at `offset`, of a file or of a buffer of `size` bytes (a
// chunk's records). False when the bytes end inside it (a file cut short, a
// chunk still being written); throws Malformed when its header is damaged.
bool RecordInFile(const File& file, std::uint64_t offset, Record& record);
// ... within [offset, end) of the file, a chunk's records.
bool RecordInFile(const File& file, std::uint64_t offset, std::uint64_t end, Record& record);
bool RecordInBuffer(const std::uint8_t* bytes, std::uint64_t size, std::uint64_t offset,
                    Record& record);

// A field's value as a little-endian integer; throws Malformed when it is
// missing or of another size.
std::uint32_t U32(const Fields& fields, const char* name);
std::uint64_t U64(const Fields& fields, const char* name);

// A connection a bag defines.
struct Connection {
  std::uint32_t id = 0;
  std::string topic;
  std::string type;
  std::string md5sum;
};

// The connection of a connection record: its id and topic from the record
// header, its type and MD5 sum from its data (the connection header).
Connection ConnectionOf(const Record& record, const std::uint8_t* data);

// The connections the index section of a closed bag lists; empty when the
// bag has no readable index.
std::vector<Connection> IndexedConnections(const std::string& path);

}  // namespace ros1
