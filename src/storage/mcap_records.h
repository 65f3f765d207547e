// The records of an MCAP file, read from bytes that may be damaged or hostile:
// every length is checked against the bytes that hold it before anything is
// read or allocated for it.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

extern const char kMcapMagic[9];  // "\x89MCAP0\r\n" and its NUL

namespace mcap {

enum Opcode : std::uint8_t {
  kHeader = 0x01,
  kFooter = 0x02,
  kSchema = 0x03,
  kChannel = 0x04,
  kMessage = 0x05,
  kChunk = 0x06,
  kMessageIndex = 0x07,
  kChunkIndex = 0x08,
  kStatistics = 0x0B,
  kDataEnd = 0x0F,
};

// An opcode byte and a u64 content length.
constexpr std::uint64_t kRecordPrefix = 9;
// The footer record and the closing magic.
constexpr std::uint64_t kFooterRecord = kRecordPrefix + 20;

// A thrown reason, without the file and offset the caller adds.
struct Malformed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Little-endian fields from a span of bytes; reading past its end throws
// Malformed naming the field.
class Fields {
 public:
  Fields(const std::uint8_t* data, std::uint64_t size) : at_(data), left_(size) {}
  std::uint8_t U8(const char* what) { return Take<std::uint8_t>(what); }
  std::uint16_t U16(const char* what) { return Take<std::uint16_t>(what); }
  std::uint32_t U32(const char* what) { return Take<std::uint32_t>(what); }
  std::uint64_t U64(const char* what) { return Take<std::uint64_t>(what); }
  std::string String(const char* what);
  // A u32 byte length and that many bytes, returned as a view.
  Fields Prefixed32(const char* what);
  // A u64 byte length and that many bytes: where they start, how many.
  const std::uint8_t* Prefixed64(const char* what, std::uint64_t& size);
  std::map<std::string, std::string> StringMap(const char* what);
  std::uint64_t Left() const { return left_; }
  const std::uint8_t* Here() const { return at_; }

 private:
  template <typename T>
  T Take(const char* what) {
    if (left_ < sizeof(T)) Short(what, sizeof(T));
    T value;
    std::memcpy(&value, at_, sizeof value);  // the file is little-endian, as is this machine
    at_ += sizeof(T);
    left_ -= sizeof(T);
    return value;
  }
  [[noreturn]] void Short(const char* what, std::uint64_t wanted) const;

  const std::uint8_t* at_;
  std::uint64_t left_;
};

struct Schema {
  std::uint16_t id = 0;
  std::string name;
  std::string encoding;
};

struct Channel {
  std::uint16_t id = 0;
  std::uint16_t schema_id = 0;
  std::string topic;
  std::string message_encoding;
  std::map<std::string, std::string> metadata;
};

struct MessageHeader {
  std::uint16_t channel_id = 0;
  std::uint64_t log_time = 0;
  const std::uint8_t* data = nullptr;
  std::uint64_t size = 0;
};

struct ChunkHeader {
  std::uint64_t start_time = 0;
  std::uint64_t end_time = 0;
  std::uint64_t uncompressed_size = 0;
  std::uint32_t uncompressed_crc = 0;
  std::string compression;
  std::uint64_t records_offset = 0;  // within the record's content
  std::uint64_t records_size = 0;    // as declared; may reach past a cut
};

struct Statistics {
  std::uint64_t message_count = 0;
  std::uint64_t start_time = 0;
  std::map<std::uint16_t, std::uint64_t> channel_counts;
};

// Each reads a record's content (after the opcode and length); fields past
// the known ones are ignored, as the format lets records grow.
Schema ReadSchema(Fields content);
Channel ReadChannel(Fields content);
MessageHeader ReadMessage(Fields content);
Statistics ReadStatistics(Fields content);
// How many entries a Message Index of `length` content bytes lists, from its
// first six bytes at `head`, and for which channel.
std::uint64_t ReadMessageIndexCount(std::uint64_t length, const std::uint8_t* head,
                                    std::uint16_t& channel_id);
// A chunk's fields before its records; `available` content bytes are in
// the file (fewer than the record's length when the file is cut short).
ChunkHeader ReadChunkHeader(const std::uint8_t* content, std::uint64_t available);

// A growing buffer whose bytes are not zeroed first (they are written by a
// decompressor right after), kept from chunk to chunk.
struct Buffer {
  std::unique_ptr<std::uint8_t[]> bytes;
  std::uint64_t capacity = 0;
  void Reserve(std::uint64_t size);
};

// The largest chunk the reader decompresses.
constexpr std::uint64_t kLargestChunk = std::uint64_t{8} << 30;

// Decompresses a chunk's records into `out`, which grows only as the
// decompressor yields bytes; the declared size bounds it and must be met
// exactly, unless `partial` (the compressed bytes are cut short: what they
// give is kept). Returns the number of bytes in `out`. Throws Malformed.
std::uint64_t Decompress(const std::string& compression, const std::uint8_t* data,
                         std::uint64_t size, std::uint64_t declared, bool partial, Buffer& out);

// The CRC-32 of the bytes (zlib's and gzip's), computed with libdeflate,
// whose carry-less multiplication is many times faster than zlib's tables
// on the chunks of a large recording.
std::uint32_t Crc32(const std::uint8_t* data, std::uint64_t size);

}  // namespace mcap
