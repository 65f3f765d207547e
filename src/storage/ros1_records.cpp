#include "ros1_records.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ros1 {

namespace {

std::uint32_t LoadU32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

// The largest record header taken: real ones hold a few short fields.
constexpr std::uint32_t kLargestHeader = 1 << 20;

void Check(bool holds, const std::string& what) {
  if (!holds) throw Malformed(what);
}

// Fills the record from its header bytes; its data follows at `data`.
void Describe(const std::uint8_t* header, std::uint32_t header_size, Record& record) {
  record.fields = ParseFields(header, header_size);
  const auto op = record.fields.find("op");
  Check(op != record.fields.end() && op->second.size() == 1,
        "the record at byte " + std::to_string(record.start) + " has no op field");
  record.op = static_cast<std::uint8_t>(op->second[0]);
}

}  // namespace

File::File(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
  struct stat status {};
  if (fd_ >= 0 && fstat(fd_, &status) == 0) size_ = static_cast<std::uint64_t>(status.st_size);
}

File::~File() {
  if (fd_ >= 0) close(fd_);
}

void File::Read(std::uint64_t offset, std::uint64_t bytes, std::vector<std::uint8_t>& out) const {
  Check(offset <= size_ && bytes <= size_ - offset,
        std::to_string(bytes) + " bytes at byte " + std::to_string(offset) +
            " lie past the end of the file (" + std::to_string(size_) + " bytes)");
  out.resize(bytes);
  std::uint64_t done = 0;
  while (done < bytes) {
    const ssize_t got =
        pread(fd_, out.data() + done, bytes - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    Check(got > 0, std::string("cannot read it: ") +
                       (got < 0 ? std::strerror(errno) : "the file is shorter than it was"));
    done += static_cast<std::uint64_t>(got);
  }
}

Fields ParseFields(const std::uint8_t* data, std::uint64_t size) {
  Fields fields;
  std::uint64_t at = 0;
  while (at < size) {
    Check(size - at >= 4, "a header field's length is cut short");
    const std::uint32_t length = LoadU32(data + at);
    at += 4;
    Check(length <= size - at,
          "a header field of " + std::to_string(length) + " bytes runs past its header");
    const auto* begin = reinterpret_cast<const char*>(data + at);
    const char* equals = static_cast<const char*>(std::memchr(begin, '=', length));
    Check(equals != nullptr, "a header field has no '='");
    fields[std::string(begin, equals)] = std::string(equals + 1, begin + length);
    at += length;
  }
  return fields;
}

bool RecordInBuffer(const std::uint8_t* bytes, std::uint64_t size, std::uint64_t offset,
                    Record& record) {
  record.start = offset;
  record.header_read = false;
  if (offset > size || size - offset < 4) return false;
  const std::uint32_t header_size = LoadU32(bytes + offset);
  Check(header_size <= kLargestHeader, "the record at byte " + std::to_string(offset) +
                                           " claims a header of " + std::to_string(header_size) +
                                           " bytes");
  if (size - offset - 4 < std::uint64_t{header_size} + 4) return false;
  Describe(bytes + offset + 4, header_size, record);
  record.header_read = true;
  record.data_size = LoadU32(bytes + offset + 4 + header_size);
  record.data = offset + 8 + header_size;
  if (size - record.data < record.data_size) return false;
  record.end = record.data + record.data_size;
  return true;
}

bool RecordInFile(const File& file, std::uint64_t offset, Record& record) {
  return RecordInFile(file, offset, file.size(), record);
}

bool RecordInFile(const File& file, std::uint64_t offset, std::uint64_t end, Record& record) {
  record.start = offset;
  record.header_read = false;
  const std::uint64_t size = std::min(end, file.size());
  if (offset > size || size - offset < 4) return false;
  std::vector<std::uint8_t> bytes;
  file.Read(offset, 4, bytes);
  const std::uint32_t header_size = LoadU32(bytes.data());
  Check(header_size <= kLargestHeader, "the record at byte " + std::to_string(offset) +
                                           " claims a header of " + std::to_string(header_size) +
                                           " bytes");
  if (size - offset - 4 < std::uint64_t{header_size} + 4) return false;
  file.Read(offset + 4, std::uint64_t{header_size} + 4, bytes);
  Describe(bytes.data(), header_size, record);
  record.header_read = true;
  record.data_size = LoadU32(bytes.data() + header_size);
  record.data = offset + 8 + header_size;
  record.end = record.data + record.data_size;
  return size - record.data >= record.data_size;
}

std::uint32_t U32(const Fields& fields, const char* name) {
  const auto field = fields.find(name);
  Check(field != fields.end() && field->second.size() == 4,
        std::string("the field '") + name + "' is missing or not 4 bytes");
  return LoadU32(reinterpret_cast<const std::uint8_t*>(field->second.data()));
}

std::uint64_t U64(const Fields& fields, const char* name) {
  const auto field = fields.find(name);
  Check(field != fields.end() && field->second.size() == 8,
        std::string("the field '") + name + "' is missing or not 8 bytes");
  const auto* at = reinterpret_cast<const std::uint8_t*>(field->second.data());
  return LoadU32(at) | static_cast<std::uint64_t>(LoadU32(at + 4)) << 32;
}

Connection ConnectionOf(const Record& record, const std::uint8_t* data) {
  Connection connection;
  connection.id = U32(record.fields, "conn");
  const auto topic = record.fields.find("topic");
  Check(topic != record.fields.end(), "a connection record has no topic");
  connection.topic = topic->second;
  const Fields header = ParseFields(data, record.data_size);
  const auto type = header.find("type");
  const auto md5 = header.find("md5sum");
  Check(type != header.end() && md5 != header.end(),
        "connection " + std::to_string(connection.id) + " has no type or MD5 sum");
  connection.type = type->second;
  connection.md5sum = md5->second;
  return connection;
}

std::vector<Connection> IndexedConnections(const std::string& path) {
  std::vector<Connection> connections;
  try {
    const File file(path);
    if (!file.open() || file.size() < kMagicSize) return connections;
    Record header;
    if (!RecordInFile(file, kMagicSize, header) || header.op != kBagHeader) return connections;
    const std::uint64_t index = U64(header.fields, "index_pos");
    const std::uint32_t count = U32(header.fields, "conn_count");
    std::uint64_t at = index;
    std::vector<std::uint8_t> data;
    for (std::uint32_t i = 0; i < count && index >= header.end; ++i) {
      Record record;
      if (!RecordInFile(file, at, record) || record.op != kConnection) break;
      file.Read(record.data, record.data_size, data);
      connections.push_back(ConnectionOf(record, data.data()));
      at = record.end;
    }
  } catch (const Malformed&) {
    // A damaged index: rosbag says so when it opens the bag.
  }
  return connections;
}

}  // namespace ros1
