// The floor for MCAP files: what reading every chunk of a file (with pread
// into a buffer kept from chunk to chunk, decompressed with the same zstd and
// lz4 libraries) and deserializing every PointCloud2 with Fast CDR needs, in
// file order, with no index, no ordering, no CRC and no report.
//   read_floor_mcap FILE.mcap
#include "floor_cdr.h"

#include <fcntl.h>
#include <lz4frame.h>
#include <sensor_msgs/PointCloud2.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

template <typename T>
T Load(const std::uint8_t* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

std::string String(const std::uint8_t* at) {
  return std::string(reinterpret_cast<const char*>(at + 4), Load<std::uint32_t>(at));
}

struct Floor {
  std::map<std::uint16_t, std::string> schemas;  // names
  std::map<std::uint16_t, bool> cloud_channels;
  unsigned long long clouds = 0, bytes = 0;

  // Schemas, channels and messages of a run of records.
  void Records(const std::uint8_t* at, std::uint64_t size) {
    for (std::uint64_t pos = 0; pos + 9 <= size;) {
      const std::uint8_t opcode = at[pos];
      const auto length = Load<std::uint64_t>(at + pos + 1);
      const std::uint8_t* content = at + pos + 9;
      if (opcode == 0x03) {
        schemas[Load<std::uint16_t>(content)] = String(content + 2);
      } else if (opcode == 0x04) {
        const std::string topic = String(content + 4);
        const std::string encoding = String(content + 8 + topic.size());
        cloud_channels[Load<std::uint16_t>(content)] =
            encoding == "cdr" &&
            schemas[Load<std::uint16_t>(content + 2)] == "sensor_msgs/msg/PointCloud2";
      } else if (opcode == 0x05 && cloud_channels[Load<std::uint16_t>(content)]) {
        sensor_msgs::PointCloud2 cloud;
        DeserializeCdrCloud(reinterpret_cast<const char*>(content + 22), length - 22, cloud);
        ++clouds;
        bytes += cloud.data.size();
      }
      pos += 9 + length;
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE.mcap\n", argv[0]);
    return 2;
  }
  const int fd = open(argv[1], O_RDONLY);
  struct stat status {};
  if (fd < 0 || fstat(fd, &status) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  const auto size = static_cast<std::uint64_t>(status.st_size);
  Floor floor;
  std::vector<std::uint8_t> stored, buffer;
  std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> zstd(ZSTD_createDCtx(), ZSTD_freeDCtx);
  LZ4F_dctx* lz4 = nullptr;
  LZ4F_createDecompressionContext(&lz4, LZ4F_VERSION);
  const auto read_at = [&](std::uint64_t pos, std::uint64_t bytes) {
    if (stored.size() < bytes) stored.resize(bytes);
    if (pread(fd, stored.data(), bytes, static_cast<off_t>(pos)) != static_cast<ssize_t>(bytes)) {
      throw std::runtime_error("short read");
    }
    return stored.data();
  };
  try {
    for (std::uint64_t pos = 8; pos + 9 <= size;) {
      std::uint8_t prefix[9];
      std::memcpy(prefix, read_at(pos, 9), 9);
      const std::uint8_t opcode = prefix[0];
      const auto length = Load<std::uint64_t>(prefix + 1);
      if (opcode == 0x02) break;  // the footer
      const std::uint8_t* content = read_at(pos + 9, length);
      if (opcode == 0x06) {
        const auto uncompressed = Load<std::uint64_t>(content + 16);
        const std::string compression = String(content + 28);
        const std::uint8_t* records_size_at = content + 32 + compression.size();
        const auto records_size = Load<std::uint64_t>(records_size_at);
        const std::uint8_t* records = records_size_at + 8;
        if (compression.empty()) {
          floor.Records(records, records_size);
        } else {
          if (buffer.size() < uncompressed) buffer.resize(uncompressed);
          if (compression == "zstd") {
            ZSTD_decompressDCtx(zstd.get(), buffer.data(), uncompressed, records, records_size);
          } else {
            std::size_t out = uncompressed, in = records_size;
            LZ4F_decompress(lz4, buffer.data(), &out, records, &in, nullptr);
          }
          floor.Records(buffer.data(), uncompressed);
        }
      } else {
        std::vector<std::uint8_t> record(prefix, prefix + 9);
        record.insert(record.end(), content, content + length);
        floor.Records(record.data(), record.size());
      }
      pos += 9 + length;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "read_floor_mcap: %s: %s\n", argv[1], e.what());
    return 1;
  }
  LZ4F_freeDecompressionContext(lz4);
  std::printf("%llu clouds, %llu bytes of point data\n", floor.clouds, floor.bytes);
  return 0;
}
