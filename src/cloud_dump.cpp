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

// Degrees from the +y axis, positive towards +x. Computed in single precision
// and divided by a nine-decimal pi, so values match earlier reports exactly.
double HorizontalAngle(const PointCloudXYZIRT& point) {
  const float radians = atan2f(point.x, point.y);
  const float scaled = radians * 180.0f;
  return static_cast<double>(scaled) / 3.141592653;
}

// The first and last ten points of the cloud; a cloud of twenty points or
// fewer is printed whole.
void PrintPointSamples(const pcl::PointCloud<PointCloudXYZIRT>& cloud) {
  const std::size_t band = 10;
  const std::size_t n = cloud.points.size();
  for (std::size_t ipoint = 0; ipoint < n; ++ipoint) {
    if (ipoint >= band && ipoint + band < n) ipoint = n - band;
    const PointCloudXYZIRT& point = cloud.points[ipoint];
    printf("%6d %10.3f %10.3f %10.3f %10.3f %20.10f %6d %10.3f\n", static_cast<int>(ipoint),
           point.x, point.y, point.z, point.intensity, point.time, point.ring,
           HorizontalAngle(point));
  }
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
    PrintPointSamples(*laserCloudIn);
    // One write per cloud keeps the report in step with PCL's warnings on
    // stderr and leaves every finished cloud on stdout if the walk dies.
    fflush(stdout);
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
    fprintf(stderr, "bag_cloud_dump: failed to read '%s' after %d cloud%s: %s\n", bagFileName,
            count, count == 1 ? "" : "s", e.what());
    return false;
  }
  bag.close();
  return true;
}
