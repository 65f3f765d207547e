#include "mcap_writer.h"

#include <lz4frame.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <stdexcept>

namespace mcap_writer {
namespace {

using Bytes = std::string;

void U8(Bytes& out, std::uint8_t v) { out.push_back(static_cast<char>(v)); }
template <typename T>
void Put(Bytes& out, T v) {
  out.append(reinterpret_cast<const char*>(&v), sizeof v);
}
void Str(Bytes& out, const std::string& s) {
  Put<std::uint32_t>(out, static_cast<std::uint32_t>(s.size()));
  out += s;
}
void Record(Bytes& out, std::uint8_t opcode, const Bytes& content) {
  U8(out, opcode);
  Put<std::uint64_t>(out, content.size());
  out += content;
}

struct Writer {
  const Options& options;
  std::map<std::string, std::uint16_t> schema_ids;  // by type
  struct ChannelRecord {
    std::uint16_t id;
    Bytes content;
  };
  std::map<std::string, ChannelRecord> channels;  // by topic
  Bytes schemas_summary, channels_summary;
  std::map<std::uint16_t, std::uint64_t> counts;

  Bytes Pad() const { return options.padded ? Bytes(4, '\x7f') : Bytes(); }

  // The schema and channel records a message needs, the first time.
  void Define(Bytes& out, const std::string& topic, const std::string& type,
              const std::string& encoding) {
    if (schema_ids.count(type) == 0) {
      const auto id = static_cast<std::uint16_t>(schema_ids.size() + 1);
      schema_ids[type] = id;
      Bytes schema;
      Put<std::uint16_t>(schema, id);
      Str(schema, type);
      Str(schema, encoding == "ros1" ? "ros1msg" : "ros2msg");
      Str(schema, "");
      schema += Pad();
      Record(out, 0x03, schema);
      Record(schemas_summary, 0x03, schema);
    }
    if (channels.count(topic) == 0) {
      const auto id = static_cast<std::uint16_t>(channels.size());
      Bytes channel;
      Put<std::uint16_t>(channel, id);
      const bool schemaless =
          std::find(options.without_schema.begin(), options.without_schema.end(), topic) !=
          options.without_schema.end();
      Put<std::uint16_t>(channel, schemaless ? 0 : schema_ids[type]);
      Str(channel, topic);
      Str(channel, encoding);
      Bytes metadata;
      const auto qos = options.offered_qos.find(topic);
      if (qos != options.offered_qos.end()) {
        Str(metadata, "offered_qos_profiles");
        Str(metadata, qos->second);
      }
      Str(channel, metadata);
      channel += Pad();
      channels[topic] = {id, channel};
      Record(out, 0x04, channel);
      Record(channels_summary, 0x04, channel);
      counts[id];
    }
  }

  void Extras(Bytes& out) const {
    if (!options.padded) return;
    Record(out, 0x50, "unknown kind");
    Record(out, 0x80, "private record");
  }
};

Bytes Compress(const std::string& compression, const Bytes& records) {
  if (compression.empty()) return records;
  Bytes out;
  if (compression == "zstd") {
    out.resize(ZSTD_compressBound(records.size()));
    const std::size_t size = ZSTD_compress(&out[0], out.size(), records.data(), records.size(), 3);
    if (ZSTD_isError(size)) throw std::runtime_error("zstd compression failed");
    out.resize(size);
  } else {
    out.resize(LZ4F_compressFrameBound(records.size(), nullptr));
    const std::size_t size =
        LZ4F_compressFrame(&out[0], out.size(), records.data(), records.size(), nullptr);
    if (LZ4F_isError(size)) throw std::runtime_error("lz4 compression failed");
    out.resize(size);
  }
  return out;
}

std::uint32_t Crc(const Bytes& bytes) {
  return static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

}  // namespace

void WriteMcap(const std::string& path, const std::vector<Message>& messages,
               const Options& options) {
  Writer w{options, {}, {}, {}, {}, {}};
  Bytes file("\x89MCAP0\r\n", 8);
  Bytes header;
  Str(header, options.profile);
  Str(header, "bag_cloud_dump tests");
  header += w.Pad();
  Record(file, 0x01, header);
  if (options.attachments) {
    Bytes attachment;
    Put<std::uint64_t>(attachment, 1);
    Put<std::uint64_t>(attachment, 0);
    Str(attachment, "calibration.yaml");
    Str(attachment, "text/yaml");
    Put<std::uint64_t>(attachment, 5);
    attachment += "a: 1\n";
    Put<std::uint32_t>(attachment, 0);
    Record(file, 0x09, attachment);
    Bytes metadata;
    Str(metadata, "vehicle");
    Bytes map;
    Str(map, "name");
    Str(map, "test car");
    Str(metadata, map);
    Record(file, 0x0C, metadata);
  }
  Bytes chunk_indexes;
  std::uint64_t start_time = UINT64_MAX, end_time = 0;
  std::uint32_t chunks = 0;
  for (std::size_t first = 0; first < messages.size();) {
    std::size_t last = options.chunked
                           ? std::min(messages.size(), first + options.messages_per_chunk)
                           : messages.size();
    if (options.chunked && options.chunk_bytes > 0) last = messages.size();
    Bytes records;
    Bytes& out = options.chunked ? records : file;
    std::map<std::uint16_t, Bytes> index;
    std::uint64_t chunk_start = UINT64_MAX, chunk_end = 0;
    for (std::size_t i = first; i < last; ++i) {
      if (options.chunk_bytes > 0 && options.chunked && records.size() >= options.chunk_bytes) {
        last = i;
        break;
      }
      const Message& m = messages[i];
      w.Define(out, m.topic, m.type, m.serialization);
      w.Extras(out);
      const std::uint16_t channel = w.channels[m.topic].id;
      const auto time = static_cast<std::uint64_t>(m.time_ns);
      Put<std::uint64_t>(index[channel], time);
      Put<std::uint64_t>(index[channel], out.size());
      Bytes message;
      Put<std::uint16_t>(message, channel);
      Put<std::uint32_t>(message, static_cast<std::uint32_t>(i));
      Put<std::uint64_t>(message, time);
      Put<std::uint64_t>(message, time);
      message.append(reinterpret_cast<const char*>(m.data.data()), m.data.size());
      Record(out, 0x05, message);
      ++w.counts[channel];
      chunk_start = std::min(chunk_start, time);
      chunk_end = std::max(chunk_end, time);
    }
    start_time = std::min(start_time, chunk_start);
    end_time = std::max(end_time, chunk_end);
    if (options.chunked) {
      const std::uint64_t chunk_offset = file.size();
      const Bytes compressed = Compress(options.compression, records);
      Bytes chunk;
      Put<std::uint64_t>(chunk, chunk_start);
      Put<std::uint64_t>(chunk, chunk_end);
      Put<std::uint64_t>(chunk, records.size());
      Put<std::uint32_t>(chunk, options.crc ? Crc(records) : 0);
      Str(chunk, options.compression);
      Put<std::uint64_t>(chunk, compressed.size());
      chunk += compressed;
      chunk += w.Pad();
      Record(file, 0x06, chunk);
      const std::uint64_t chunk_length = file.size() - chunk_offset;
      Bytes offsets;
      const std::uint64_t index_start = file.size();
      for (const auto& [channel, entries] : index) {
        if (!options.message_indexes) break;
        Put<std::uint16_t>(offsets, channel);
        Put<std::uint64_t>(offsets, file.size());
        Bytes record;
        Put<std::uint16_t>(record, channel);
        Str(record, entries);
        Record(file, 0x07, record);
      }
      Bytes chunk_index;
      Put<std::uint64_t>(chunk_index, chunk_start);
      Put<std::uint64_t>(chunk_index, chunk_end);
      Put<std::uint64_t>(chunk_index, chunk_offset);
      Put<std::uint64_t>(chunk_index, chunk_length);
      Str(chunk_index, offsets);
      Put<std::uint64_t>(chunk_index, file.size() - index_start);
      Str(chunk_index, options.compression);
      Put<std::uint64_t>(chunk_index, compressed.size());
      Put<std::uint64_t>(chunk_index, records.size());
      chunk_index += w.Pad();
      Record(chunk_indexes, 0x08, chunk_index);
      ++chunks;
    }
    first = last;
  }
  for (const auto& [topic, type] : options.silent_channels) {
    w.Define(file, topic, type, options.profile == "ros1" ? "ros1" : "cdr");
  }
  Bytes data_end;
  Put<std::uint32_t>(data_end, 0);
  Record(file, 0x0F, data_end);

  std::uint64_t summary_start = 0, offsets_start = 0;
  if (options.summary != Summary::kNone) {
    summary_start = file.size();
    Bytes offsets;
    const auto group = [&](std::uint8_t opcode, const Bytes& records) {
      if (records.empty()) return;
      Bytes offset;
      U8(offset, opcode);
      Put<std::uint64_t>(offset, file.size());
      Put<std::uint64_t>(offset, records.size());
      Record(offsets, 0x0E, offset);
      file += records;
    };
    group(0x03, w.schemas_summary);
    group(0x04, w.channels_summary);
    if (options.summary == Summary::kWhole) {
      group(0x08, chunk_indexes);
      Bytes statistics, stats;
      std::uint64_t total = 0;
      Bytes channel_counts;
      for (const auto& [channel, count] : w.counts) {
        Put<std::uint16_t>(channel_counts, channel);
        Put<std::uint64_t>(channel_counts, count);
        total += count;
      }
      Put<std::uint64_t>(stats, total);
      Put<std::uint16_t>(stats, static_cast<std::uint16_t>(w.schema_ids.size()));
      Put<std::uint32_t>(stats, static_cast<std::uint32_t>(w.channels.size()));
      Put<std::uint32_t>(stats, options.attachments ? 1 : 0);
      Put<std::uint32_t>(stats, options.attachments ? 1 : 0);
      Put<std::uint32_t>(stats, chunks);
      Put<std::uint64_t>(stats, total > 0 ? start_time : 0);
      Put<std::uint64_t>(stats, total > 0 ? end_time : 0);
      Str(stats, channel_counts);
      stats += w.Pad();
      Record(statistics, 0x0B, stats);
      group(0x0B, statistics);
      offsets_start = file.size();
      file += offsets;
    }
  }
  Bytes footer;
  Put<std::uint64_t>(footer, summary_start);
  Put<std::uint64_t>(footer, offsets_start);
  Put<std::uint32_t>(footer, 0);
  Record(file, 0x02, footer);
  file.append("\x89MCAP0\r\n", 8);
  std::ofstream out(path, std::ios::binary);
  out.write(file.data(), static_cast<std::streamsize>(file.size()));
  if (!out) throw std::runtime_error("cannot write '" + path + "'");
}

}  // namespace mcap_writer
