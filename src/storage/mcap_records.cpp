#include "mcap_records.h"

#include <libdeflate.h>
#include <lz4frame.h>
#include <zstd.h>

#include <algorithm>

const char kMcapMagic[9] = "\x89MCAP0\r\n";

namespace mcap {

void Fields::Short(const char* what, std::uint64_t wanted) const {
  throw Malformed(std::string(what) + " needs " + std::to_string(wanted) + " bytes, but " +
                  std::to_string(left_) + " are left in its record");
}

std::string Fields::String(const char* what) {
  Fields bytes = Prefixed32(what);
  return std::string(reinterpret_cast<const char*>(bytes.at_), bytes.left_);
}

Fields Fields::Prefixed32(const char* what) {
  const std::uint32_t length = U32(what);
  if (length > left_) Short(what, length);
  Fields inner(at_, length);
  at_ += length;
  left_ -= length;
  return inner;
}

const std::uint8_t* Fields::Prefixed64(const char* what, std::uint64_t& size) {
  size = U64(what);
  if (size > left_) Short(what, size);
  const std::uint8_t* start = at_;
  at_ += size;
  left_ -= size;
  return start;
}

std::map<std::string, std::string> Fields::StringMap(const char* what) {
  Fields entries = Prefixed32(what);
  std::map<std::string, std::string> map;
  while (entries.Left() > 0) {
    std::string key = entries.String(what);
    map[key] = entries.String(what);
  }
  return map;
}

Schema ReadSchema(Fields content) {
  Schema schema;
  schema.id = content.U16("a schema's id");
  schema.name = content.String("a schema's name");
  schema.encoding = content.String("a schema's encoding");
  content.Prefixed32("a schema's data");  // checked, not needed
  return schema;
}

Channel ReadChannel(Fields content) {
  Channel channel;
  channel.id = content.U16("a channel's id");
  channel.schema_id = content.U16("a channel's schema id");
  channel.topic = content.String("a channel's topic");
  channel.message_encoding = content.String("a channel's message encoding");
  channel.metadata = content.StringMap("a channel's metadata");
  return channel;
}

MessageHeader ReadMessage(Fields content) {
  MessageHeader message;
  message.channel_id = content.U16("a message's channel id");
  content.U32("a message's sequence");
  message.log_time = content.U64("a message's log time");
  content.U64("a message's publish time");
  message.data = content.Here();
  message.size = content.Left();
  return message;
}

Statistics ReadStatistics(Fields content) {
  Statistics statistics;
  statistics.message_count = content.U64("the statistics' message count");
  content.U16("the statistics' schema count");
  content.U32("the statistics' channel count");
  content.U32("the statistics' attachment count");
  content.U32("the statistics' metadata count");
  content.U32("the statistics' chunk count");
  statistics.start_time = content.U64("the statistics' start time");
  content.U64("the statistics' end time");
  Fields counts = content.Prefixed32("the statistics' channel message counts");
  while (counts.Left() > 0) {
    const std::uint16_t channel = counts.U16("a channel message count");
    statistics.channel_counts[channel] = counts.U64("a channel message count");
  }
  return statistics;
}

std::uint64_t ReadMessageIndexCount(std::uint64_t length, const std::uint8_t* head,
                                    std::uint16_t& channel_id) {
  Fields fields(head, std::min<std::uint64_t>(length, 6));
  channel_id = fields.U16("a message index's channel id");
  const std::uint32_t entries = fields.U32("a message index's entries");
  if (entries > length - 6) throw Malformed("a message index's entries reach past its record");
  return entries / 16;
}

ChunkHeader ReadChunkHeader(const std::uint8_t* content, std::uint64_t available) {
  Fields fields(content, available);
  ChunkHeader chunk;
  chunk.start_time = fields.U64("a chunk's start time");
  chunk.end_time = fields.U64("a chunk's end time");
  chunk.uncompressed_size = fields.U64("a chunk's uncompressed size");
  chunk.uncompressed_crc = fields.U32("a chunk's CRC");
  chunk.compression = fields.String("a chunk's compression");
  chunk.records_size = fields.U64("a chunk's records length");
  chunk.records_offset = available - fields.Left();
  return chunk;
}

void Buffer::Reserve(std::uint64_t size) {
  if (size <= capacity) return;
  auto bigger = std::unique_ptr<std::uint8_t[]>(new std::uint8_t[size]);
  // Callers grow a buffer only while filling it: keep what it holds.
  if (capacity > 0) std::memcpy(bigger.get(), bytes.get(), capacity);
  bytes = std::move(bigger);
  capacity = size;
}

namespace {

// The first size to try: the declared one, unless it is far beyond what
// the compressed bytes plausibly hold, so a lying length costs no memory.
std::uint64_t FirstCapacity(std::uint64_t compressed, std::uint64_t declared) {
  const std::uint64_t plausible = std::max<std::uint64_t>(compressed * 64, 1 << 20);
  return std::min(declared, plausible);
}

// Grows `out` to hold more than `produced`, up to `declared`.
void Grow(Buffer& out, std::uint64_t produced, std::uint64_t declared) {
  if (std::min(out.capacity, declared) > produced) return;
  out.Reserve(std::min(declared, std::max<std::uint64_t>(out.capacity * 2, 1 << 20)));
}

// Where the decompressor may write: a kept buffer can be larger than the
// declared size, which bounds the output all the same.
std::size_t Room(const Buffer& out, std::uint64_t produced, std::uint64_t declared) {
  return static_cast<std::size_t>(std::min(out.capacity, declared) - produced);
}

std::uint64_t DecompressZstd(const std::uint8_t* data, std::uint64_t size, std::uint64_t declared,
                             bool partial, Buffer& out) {
  std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> context(ZSTD_createDCtx(), ZSTD_freeDCtx);
  ZSTD_inBuffer input = {data, size, 0};
  std::uint64_t produced = 0;
  std::size_t last = 1;
  out.Reserve(FirstCapacity(size, declared));
  while (last != 0) {
    if (produced == declared) {
      // Everything declared is there: the frame must end now.
      std::uint8_t extra = 0;
      ZSTD_outBuffer probe = {&extra, 1, 0};
      last = ZSTD_decompressStream(context.get(), &probe, &input);
      if (ZSTD_isError(last)) throw Malformed(std::string("zstd: ") + ZSTD_getErrorName(last));
      if (probe.pos > 0) throw Malformed("the chunk decompresses to more than its declared size");
      if (last == 0 || partial) break;
      if (input.pos == input.size) throw Malformed("zstd: the compressed chunk ends early");
      continue;
    }
    Grow(out, produced, declared);
    ZSTD_outBuffer output = {out.bytes.get() + produced, Room(out, produced, declared), 0};
    last = ZSTD_decompressStream(context.get(), &output, &input);
    if (ZSTD_isError(last)) {
      if (partial) break;
      throw Malformed(std::string("zstd: ") + ZSTD_getErrorName(last));
    }
    produced += output.pos;
    if (last != 0 && input.pos == input.size && output.pos < output.size) {
      if (partial) break;
      throw Malformed("zstd: the compressed chunk ends early");
    }
  }
  return produced;
}

std::uint64_t DecompressLz4(const std::uint8_t* data, std::uint64_t size, std::uint64_t declared,
                            bool partial, Buffer& out) {
  LZ4F_dctx* raw = nullptr;
  if (LZ4F_isError(LZ4F_createDecompressionContext(&raw, LZ4F_VERSION))) {
    throw Malformed("lz4: cannot make a decompression context");
  }
  std::unique_ptr<LZ4F_dctx, decltype(&LZ4F_freeDecompressionContext)> context(
      raw, LZ4F_freeDecompressionContext);
  std::uint64_t consumed = 0, produced = 0;
  std::size_t hint = 1;
  out.Reserve(FirstCapacity(size, declared));
  while (hint != 0) {
    if (produced == declared && consumed == size) break;
    if (produced == declared) {
      std::uint8_t extra = 0;
      std::size_t out_size = 1, in_size = size - consumed;
      hint = LZ4F_decompress(context.get(), &extra, &out_size, data + consumed, &in_size, nullptr);
      if (LZ4F_isError(hint)) throw Malformed(std::string("lz4: ") + LZ4F_getErrorName(hint));
      if (out_size > 0) throw Malformed("the chunk decompresses to more than its declared size");
      consumed += in_size;
      if (in_size == 0) break;
      continue;
    }
    Grow(out, produced, declared);
    std::size_t out_size = Room(out, produced, declared), in_size = size - consumed;
    hint = LZ4F_decompress(context.get(), out.bytes.get() + produced, &out_size, data + consumed,
                           &in_size, nullptr);
    if (LZ4F_isError(hint)) {
      if (partial) break;
      throw Malformed(std::string("lz4: ") + LZ4F_getErrorName(hint));
    }
    consumed += in_size;
    produced += out_size;
    if (hint != 0 && ((consumed == size && out_size == 0) || (in_size == 0 && out_size == 0))) {
      if (partial) break;
      throw Malformed("lz4: the compressed chunk ends early");
    }
  }
  return produced;
}

}  // namespace

std::uint64_t Decompress(const std::string& compression, const std::uint8_t* data,
                         std::uint64_t size, std::uint64_t declared, bool partial, Buffer& out) {
  if (declared > kLargestChunk) {
    throw Malformed("the chunk declares " + std::to_string(declared) +
                    " uncompressed bytes, more than the reader takes");
  }
  std::uint64_t produced = 0;
  if (compression == "zstd") {
    produced = DecompressZstd(data, size, declared, partial, out);
  } else if (compression == "lz4") {
    produced = DecompressLz4(data, size, declared, partial, out);
  } else {
    throw Malformed("compression '" + compression + "' is not known");
  }
  if (!partial && produced != declared) {
    throw Malformed("the chunk decompresses to " + std::to_string(produced) +
                    " bytes, not the declared " + std::to_string(declared));
  }
  return produced;
}

std::uint32_t Crc32(const std::uint8_t* data, std::uint64_t size) {
  std::uint32_t crc = 0;
  while (size > 0) {
    const auto step = static_cast<std::size_t>(std::min<std::uint64_t>(size, 1u << 30));
    crc = libdeflate_crc32(crc, data, step);
    data += step;
    size -= step;
  }
  return crc;
}

}  // namespace mcap
