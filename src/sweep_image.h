// Pictures of whole sweeps: one pixel row per laser ring, one column per
// azimuth step, each pixel the range of the nearest return, written as PNG.
#pragma once

#include "Lidar64PointXYZIRT.h"

#include <pcl/point_cloud.h>
#include <ros/time.h>

#include <string>

struct ImageOptions {
  std::string dir;               // where the PNGs go; empty: no images
  unsigned columns = 1800;       // azimuth columns over the full circle (0.2 degrees each)
  float min_range = 0.0f;        // metres at the bottom of the colour scale
  float max_range = 100.0f;      // metres at the top
  unsigned elevation_rows = 64;  // rows when the cloud has no usable ring
};

struct SweepImageInput {
  int index;
  std::string topic;
  ros::Time stamp;
  const pcl::PointCloud<PointCloudXYZIRT>* cloud;
  bool ring_matched;  // the message had a ring field the conversion used
};

// Writes the cloud's image into options.dir. Sets `by_elevation` when rows
// had to be elevation bins because the ring was not usable. Returns what went
// wrong, or "".
std::string WriteSweepImage(const ImageOptions& options, const SweepImageInput& input,
                            bool& by_elevation);
