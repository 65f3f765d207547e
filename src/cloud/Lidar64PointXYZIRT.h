// One return of a 64-ring spinning lidar, registered with PCL so that
// pcl::fromROSMsg can fill a cloud of it from a sensor_msgs/PointCloud2.
#pragma once

#include <pcl/point_types.h>
#include <pcl/register_point_struct.h>

#include <cstddef>
#include <cstdint>

struct EIGEN_ALIGN16 PointCloudXYZIRT {
  PCL_ADD_POINT4D;     // x, y, z position in metres; the fourth float is unused
  PCL_ADD_INTENSITY;   // return intensity, as the driver reports it
  std::uint16_t ring;  // laser ring (channel) number
  float time;          // per-point time as carried by the message, not rescaled
  PCL_MAKE_ALIGNED_OPERATOR_NEW
};

// clang-format off
POINT_CLOUD_REGISTER_POINT_STRUCT(PointCloudXYZIRT,
                                  (float, x, x)
                                  (float, y, y)
                                  (float, z, z)
                                  (float, intensity, intensity)
                                  (std::uint16_t, ring, ring)
                                  (float, time, time))
// clang-format on

// The conversion copies message bytes to these positions; a byte that lands
// between two matched fields comes from the message, so the layout is part of
// what the tool reports.
static_assert(offsetof(PointCloudXYZIRT, x) == 0, "x at byte 0");
static_assert(offsetof(PointCloudXYZIRT, y) == 4, "y at byte 4");
static_assert(offsetof(PointCloudXYZIRT, z) == 8, "z at byte 8");
static_assert(offsetof(PointCloudXYZIRT, intensity) == 16, "intensity at byte 16");
static_assert(offsetof(PointCloudXYZIRT, ring) == 20, "ring at byte 20");
static_assert(offsetof(PointCloudXYZIRT, time) == 24, "time at byte 24");
static_assert(sizeof(PointCloudXYZIRT) == 32, "one record is 32 bytes");
static_assert(alignof(PointCloudXYZIRT) == 16, "records are 16-byte aligned");
