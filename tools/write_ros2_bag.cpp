// Copies a ROS 1 bag into a ROS 2 recording (rosbag2 sqlite3 storage), for
// benchmarks and for trying the tool on ROS 2 input:
//   write_ros2_bag IN.bag OUT [--files N] [--compression file|message]
// OUT is a directory, or one .db3 file when it ends with ".db3".
#include "ros2_bag_writer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s IN.bag OUT [--files N] [--compression file|message]\n",
                 argv[0]);
    return 2;
  }
  ros2_bag_writer::Options options;
  for (int i = 3; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--files") == 0) {
      options.files = std::atoi(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--compression") == 0) {
      const std::string mode = argv[i + 1];
      options.compression = mode == "file" ? ros2_bag_writer::Compression::kFile
                                           : ros2_bag_writer::Compression::kMessage;
    } else {
      std::fprintf(stderr, "%s: unknown option '%s'\n", argv[0], argv[i]);
      return 2;
    }
  }
  try {
    ros2_bag_writer::WriteRos2Bag(argv[2], ros2_bag_writer::MessagesOfRos1Bag(argv[1]), options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
    return 1;
  }
  return 0;
}
