// The report of one point cloud: its header line and sampled points, with an
// optional description of its field layout.
#pragma once

#include "background_worker.h"
#include "cloud/cloud_check.h"
#include "pictures/sweep_image.h"

#include <pcl/PCLPointCloud2.h>
#include <pcl/point_cloud.h>
#include <sensor_msgs/PointCloud2.h>

#include <array>
#include <map>
#include <set>
#include <string>

struct ReportOptions {
  long long samples = 10;        // points printed at each end of a cloud
  bool all_points = false;       // print every point instead
  bool layout = false;           // describe each topic's field layout
  bool full_conversion = false;  // convert every point, not only the printed ones
  ImageOptions image;            // a picture of every cloud, when image.dir is set
  bool print = true;             // false: only the pictures, nothing on stdout or stderr
};

// What the report remembers from one cloud to the next.
struct ReportMemory {
  std::map<std::string, std::string> layouts;  // per topic, the layout last described
  std::set<std::string> rows_by_elevation;     // topics already said to lack a usable ring
  int image_failures = 0;
  // The whole-cloud conversion for pictures, reused from cloud to cloud.
  pcl::PCLPointCloud2 whole;
  pcl::PointCloud<PointCloudXYZIRT> converted;
  // Pictures are painted on the walk's thread and coloured and written on
  // the image thread, one while the next is painted: two slots, in turn.
  struct ImageSlot {
    ImageWorkspace work;
    SweepImageInput input{};
    std::string failure;
  };
  std::array<ImageSlot, 2> image_slots;
  int next_slot = 0;
  int slot_in_flight = -1;  // handed to the image thread, its outcome not yet told
  BackgroundWorker image_writer;
};

// Waits for the last picture and says if it could not be written; the walk
// calls it after its last cloud.
void FinishImages(ReportMemory& memory);

// Prints the report of one cloud, whose layout ExamineCloud found. PCL's
// warnings for unmatched fields go to stderr first. A cloud whose metadata
// does not fit its data gets its header line and a note on stderr instead of
// point lines (and no image). The message's point bytes are lent to PCL's
// conversion, without a copy, and are back in it on return.
void ReportCloud(int index, sensor_msgs::PointCloud2& lidar_data, const CloudLayout& layout,
                 const std::string& topic, const std::string& type, const ReportOptions& options,
                 ReportMemory& memory);
