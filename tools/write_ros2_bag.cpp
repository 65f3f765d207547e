// Copies a ROS 1 bag into a ROS 2 recording, for benchmarks and for trying
// the tool on ROS 2 input:
//   write_ros2_bag IN.bag OUT [--files N] [--compression file|message|zstd|lz4] [--ros1]
// OUT is a rosbag2 sqlite3 directory, one .db3 file when it ends with ".db3",
// or one MCAP file when it ends with ".mcap": chunks of 768 KiB, compressed
// with zstd or lz4 when asked, in the ros2 profile (CDR) or with --ros1 the
// ros1 profile.
#include "mcap_writer.h"
#include "ros2_bag_writer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: %s IN.bag OUT [--files N] [--compression file|message|zstd|lz4] "
                 "[--ros1]\n",
                 argv[0]);
    return 2;
  }
  ros2_bag_writer::Options options;
  mcap_writer::Options mcap;
  mcap.chunk_bytes = 768 * 1024;
  for (int i = 3; i < argc; i += 2) {
    if (std::strcmp(argv[i], "--ros1") == 0) {
      mcap.profile = "ros1";
      --i;
    } else if (i + 1 >= argc) {
      std::fprintf(stderr, "%s: '%s' needs a value\n", argv[0], argv[i]);
      return 2;
    } else if (std::strcmp(argv[i], "--files") == 0) {
      options.files = std::atoi(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--compression") == 0) {
      const std::string mode = argv[i + 1];
      if (mode == "zstd" || mode == "lz4") mcap.compression = mode;
      options.compression = mode == "file" ? ros2_bag_writer::Compression::kFile
                                           : ros2_bag_writer::Compression::kMessage;
    } else {
      std::fprintf(stderr, "%s: unknown option '%s'\n", argv[0], argv[i]);
      return 2;
    }
  }
  try {
    const std::string out = argv[2];
    if (out.size() > 5 && out.compare(out.size() - 5, 5, ".mcap") == 0) {
      mcap_writer::WriteMcap(out,
                             mcap.profile == "ros1" ? mcap_writer::Ros1MessagesOfRos1Bag(argv[1])
                                                    : ros2_bag_writer::MessagesOfRos1Bag(argv[1]),
                             mcap);
      return 0;
    }
    ros2_bag_writer::WriteRos2Bag(out, ros2_bag_writer::MessagesOfRos1Bag(argv[1]), options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
    return 1;
  }
  return 0;
}
