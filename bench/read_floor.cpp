// The floor for the benchmark: what rosbag itself needs to walk a bag and
// decode every PointCloud2, with no conversion and no report.
//   read_floor BAG
#include <rosbag/bag.h>
#include <rosbag/view.h>
#include <sensor_msgs/PointCloud2.h>

#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s BAG\n", argv[0]);
    return 2;
  }
  try {
    rosbag::Bag bag(argv[1], rosbag::bagmode::Read);
    rosbag::View view(bag, ros::TIME_MIN, ros::TIME_MAX, false);
    unsigned long long clouds = 0, bytes = 0;
    for (const rosbag::MessageInstance& m : view) {
      auto cloud = m.instantiate<sensor_msgs::PointCloud2>();
      if (!cloud) continue;
      ++clouds;
      bytes += cloud->data.size();
    }
    std::printf("%llu clouds, %llu bytes of point data\n", clouds, bytes);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "read_floor: %s: %s\n", argv[1], e.what());
    return 1;
  }
  return 0;
}
