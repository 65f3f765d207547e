#include "cloud_dump.h"

#include <pcl_conversions/pcl_conversions.h>
#include <rosbag/bag.h>
#include <rosbag/view.h>
#include <sensor_msgs/PointCloud2.h>

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>
#include <cmath>
#include <cstdio>
#include <exception>
#include <string>

#include "Lidar64PointXYZIRT.h"

namespace {

void PrintCloudHeader(int count, const sensor_msgs::PointCloud2& cloud,
                      const rosbag::MessageInstance& m) {
  printf("%20d  %25.10lf  %-20s  %-20s\n", count, cloud.header.stamp.toSec(), m.getTopic().c_str(),
         m.getDataType().c_str());
}

// Walks every message of the bag in the view's order, counting the clouds
// reported in `count` so that a caller catching a library error knows how far
// the walk got.
void WalkClouds(rosbag::Bag& bag, int& count) {
  rosbag::View view(bag, ros::TIME_MIN, ros::TIME_MAX, false);
  boost::shared_ptr<const sensor_msgs::PointCloud2> lidar_data;
  for (const rosbag::MessageInstance& m : view) {
    lidar_data = m.instantiate<sensor_msgs::PointCloud2>();
    if (!lidar_data) continue;
    auto laserCloudIn = boost::make_shared<pcl::PointCloud<PointCloudXYZIRT>>();
    pcl::fromROSMsg(*lidar_data, *laserCloudIn);
    PrintCloudHeader(count, *lidar_data, m);
    ++count;
  }
}

}  // namespace

bool PlayPointCloud2(const char* bagFileName) {
  rosbag::Bag bag;
  try {
    bag.open(std::string(bagFileName), rosbag::bagmode::Read);
  } catch (const std::exception& e) {
    printf(" Bag file open failed, %s, msg = %s\n", bagFileName, e.what());
    return false;
  }
  int count = 0;
  try {
    WalkClouds(bag, count);
  } catch (const std::exception& e) {
    // Keep what was reported so far ahead of the error in a shared log.
    fflush(stdout);
    fprintf(stderr, "bag_cloud_dump: failed to read '%s' after %d clouds: %s\n", bagFileName, count,
            e.what());
    return false;
  }
  bag.close();
  return true;
}
