// Writes and reads MCAP files with the format authors' own library, to check
// bag_cloud_dump's reader (files written here) and the tests' writer (files
// read here, every CRC checked), and as the benchmark's peer reader.
//
//   node mcap_tool.mjs write MESSAGES OUT.mcap [none|zstd|lz4] [chunks|no-chunks] [index|no-index]
//   node mcap_tool.mjs check FILE.mcap   # every message through the indexed reader
//   node mcap_tool.mjs read FILE.mcap    # the same, timed by the caller
//
// MESSAGES is a file of records: u16 topic length, topic, u16 type length,
// type, u16 encoding length, encoding, u64 log time, u32 data length, data
// (little-endian), as the tests write it.
import { open, readFile } from "node:fs/promises";
import { McapIndexedReader, McapWriter } from "@mcap/core";
import zstd from "@foxglove/wasm-zstd";
import lz4 from "lz4js";

function parseMessages(bytes) {
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const decoder = new TextDecoder();
  const messages = [];
  let at = 0;
  const text = () => {
    const length = view.getUint16(at, true);
    const value = decoder.decode(bytes.subarray(at + 2, at + 2 + length));
    at += 2 + length;
    return value;
  };
  while (at < bytes.byteLength) {
    const topic = text();
    const type = text();
    const encoding = text();
    const logTime = view.getBigUint64(at, true);
    const size = view.getUint32(at + 8, true);
    const data = bytes.subarray(at + 12, at + 12 + size);
    at += 12 + size;
    messages.push({ topic, type, encoding, logTime, data });
  }
  return messages;
}

class FileWritable {
  constructor(handle) {
    this.handle = handle;
    this.offset = 0n;
  }
  async write(buffer) {
    await this.handle.write(buffer);
    this.offset += BigInt(buffer.byteLength);
  }
  position() {
    return this.offset;
  }
}

class FileReadable {
  constructor(handle, size) {
    this.handle = handle;
    this.bytes = size;
  }
  async size() {
    return this.bytes;
  }
  async read(offset, size) {
    const buffer = new Uint8Array(Number(size));
    await this.handle.read(buffer, 0, Number(size), Number(offset));
    return buffer;
  }
}

const compressors = {
  none: undefined,
  zstd: (data) => ({ compression: "zstd", compressedData: zstd.compress(data) }),
  lz4: (data) => ({ compression: "lz4", compressedData: new Uint8Array(lz4.compress(data)) }),
};

async function write(messagesPath, outPath, compression = "none", chunks = "chunks",
                     index = "index") {
  await zstd.isLoaded;
  const messages = parseMessages(new Uint8Array(await readFile(messagesPath)));
  const handle = await open(outPath, "w");
  const writer = new McapWriter({
    writable: new FileWritable(handle),
    useChunks: chunks === "chunks",
    useChunkIndex: index === "index",
    useMessageIndex: index === "index",
    useStatistics: index === "index",
    useSummaryOffsets: index === "index",
    chunkSize: 64 * 1024,
    compressChunk: compressors[compression],
  });
  await writer.start({ profile: "ros2", library: "@mcap/core" });
  const channels = new Map();
  for (const m of messages) {
    if (!channels.has(m.topic)) {
      const schemaId = await writer.registerSchema({
        name: m.type,
        encoding: m.encoding === "ros1" ? "ros1msg" : "ros2msg",
        data: new Uint8Array(),
      });
      channels.set(m.topic, await writer.registerChannel({
        topic: m.topic,
        schemaId,
        messageEncoding: m.encoding,
        metadata: new Map(),
      }));
    }
    await writer.addMessage({
      channelId: channels.get(m.topic),
      sequence: 0,
      logTime: m.logTime,
      publishTime: m.logTime,
      data: m.data,
    });
  }
  await writer.end();
  await handle.close();
}

async function read(path, print) {
  await zstd.isLoaded;
  const handle = await open(path, "r");
  const reader = await McapIndexedReader.Initialize({
    readable: new FileReadable(handle, BigInt((await handle.stat()).size)),
    decompressHandlers: {
      zstd: (buffer, size) => zstd.decompress(buffer, Number(size)),
      lz4: (buffer) => new Uint8Array(lz4.decompress(buffer)),
    },
  });
  const counts = new Map();
  let bytes = 0;
  for await (const message of reader.readMessages({ validateCrcs: true })) {
    const topic = reader.channelsById.get(message.channelId).topic;
    counts.set(topic, (counts.get(topic) ?? 0) + 1);
    bytes += message.data.byteLength;
  }
  await handle.close();
  if (print) {
    for (const topic of [...counts.keys()].sort()) console.log(`${topic} ${counts.get(topic)}`);
  } else {
    console.log(`${[...counts.values()].reduce((a, b) => a + b, 0)} messages, ${bytes} bytes`);
  }
}

const [command, ...args] = process.argv.slice(2);
try {
  if (command === "write") {
    await write(...args);
  } else if (command === "check" || command === "read") {
    await read(args[0], command === "check");
  } else {
    console.error("usage: mcap_tool.mjs write|check|read ...");
    process.exit(2);
  }
} catch (error) {
  console.error(`mcap_tool: ${error.message}`);
  process.exit(1);
}
