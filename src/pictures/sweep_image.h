// Pictures of whole sweeps: one pixel row per laser ring, one column per
// azimuth step, each pixel the range of the nearest return, written as PNG.
#pragma once

#include "cloud/Lidar64PointXYZIRT.h"

#include <pcl/point_cloud.h>
#include <ros/time.h>

#include <cstdint>
#include <string>
#include <vector>

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
  const pcl::PointCloud<PointCloudXYZIRT>* cloud;  // needed only for painting
  bool by_elevation;                               // rows are elevation bins (SweepRowsByElevation)
};

// What one picture needs between painting and writing, kept from one cloud
// to the next so that no cloud pays for fresh memory.
struct ImageWorkspace {
  std::vector<int> row_of_point;  // each point's row, or -1
  std::vector<double> elevation;
  std::vector<std::size_t> points_in_row, seen_in_row;
  std::vector<float> nearest;                // per pixel, the range shown
  std::vector<std::uint8_t> only_nonfinite;  // per pixel, 1 where only such points fell
  std::vector<std::uint8_t> pixels;          // RGB
  std::vector<std::size_t> returns;          // pixels with a return
  std::vector<double> scale_values;          // and where their range is on the scale
  unsigned height = 0;
  std::size_t points = 0;
  std::string rows_legend;  // what the top and bottom rows are
};

// Whether the picture's rows must be elevation bins: the cloud has no ring
// field, the same ring everywhere, or ring numbers spanning too many rows.
bool SweepRowsByElevation(const pcl::PointCloud<PointCloudXYZIRT>& cloud, bool ring_matched);

// Puts every point of the cloud into its pixel: the nearest range per pixel.
void PaintSweep(const ImageOptions& options, const SweepImageInput& input, ImageWorkspace& work);

// Colours the painted pixels and writes the PNG into options.dir, needing
// nothing of the cloud itself, so it can run while the next cloud is read.
// Returns what went wrong, or "".
std::string WriteSweepPng(const ImageOptions& options, const SweepImageInput& input,
                          ImageWorkspace& work);
