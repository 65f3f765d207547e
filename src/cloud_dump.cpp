#include "cloud_dump.h"

#include <console_bridge/console.h>
#include <pcl_conversions/pcl_conversions.h>
#include <rosbag/bag.h>
#include <rosbag/view.h>
#include <sensor_msgs/PointCloud2.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <set>
#include <string>

#include "Lidar64PointXYZIRT.h"
#include "cloud_check.h"

namespace {

// How far a walk got; kept in memory shared with the parent process so that
// it survives a crash of the walk.
struct WalkProgress {
  int clouds = 0;
  long long messages = 0;
};

// The bag library logs through console_bridge, two lines an event and again
// for every message it affects. This handler prints each distinct text once,
// on one line that says where it came from.
class OncePerTextLog : public console_bridge::OutputHandler {
 public:
  void log(const std::string& text, console_bridge::LogLevel, const char*, int) override {
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
    if (!seen_.insert(line).second) return;
    fflush(stdout);
    fprintf(stderr, "bag_cloud_dump: bag library: %s\n", line.c_str());
  }

 private:
  std::set<std::string> seen_;
};

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

// Walks every message of the bag in the view's order, recording in `progress`
// how far it got. Library errors propagate to the caller.
void WalkClouds(rosbag::Bag& bag, WalkProgress& progress) {
  rosbag::View view(bag, ros::TIME_MIN, ros::TIME_MAX, false);
  boost::shared_ptr<const sensor_msgs::PointCloud2> lidar_data;
  for (const rosbag::MessageInstance& m : view) {
    ++progress.messages;
    lidar_data = m.instantiate<GuardedPointCloud2>();
    if (!lidar_data) continue;
    const std::string problem = CloudInconsistency(*lidar_data);
    if (!problem.empty()) {
      PrintCloudHeader(progress.clouds, *lidar_data, m);
      fflush(stdout);
      fprintf(stderr, "bag_cloud_dump: cloud %d on %s: %s; points not shown\n", progress.clouds,
              m.getTopic().c_str(), problem.c_str());
      ++progress.clouds;
      continue;
    }
    auto laserCloudIn = boost::make_shared<pcl::PointCloud<PointCloudXYZIRT>>();
    pcl::fromROSMsg(*lidar_data, *laserCloudIn);
    PrintCloudHeader(progress.clouds, *lidar_data, m);
    PrintPointSamples(*laserCloudIn);
    // One write per cloud keeps the report in step with PCL's warnings on
    // stderr and leaves every finished cloud on stdout if the walk dies.
    fflush(stdout);
    ++progress.clouds;
  }
}

void PrintWalkFailure(const char* bagFileName, const WalkProgress& progress, const char* reason) {
  fflush(stdout);
  fprintf(stderr, "bag_cloud_dump: failed to read '%s' after %d cloud%s: %s\n", bagFileName,
          progress.clouds, progress.clouds == 1 ? "" : "s", reason);
}

// Opens the bag and walks it; false when either fails.
bool PlayBag(const char* bagFileName, WalkProgress& progress) {
  rosbag::Bag bag;
  try {
    bag.open(std::string(bagFileName), rosbag::bagmode::Read);
  } catch (const std::exception& e) {
    printf(" Bag file open failed, %s, msg = %s\n", bagFileName, e.what());
    return false;
  }
  try {
    WalkClouds(bag, progress);
  } catch (const std::exception& e) {
    PrintWalkFailure(bagFileName, progress, e.what());
    return false;
  }
  bag.close();
  return true;
}

// The whole dump in this process.
bool PlayInThisProcess(const char* bagFileName, WalkProgress& progress) {
  OncePerTextLog library_log;
  console_bridge::useOutputHandler(&library_log);
  const bool walked = PlayBag(bagFileName, progress);
  console_bridge::restorePreviousOutputHandler();
  return walked;
}

// Signals that mean the reader went away or the user stopped the run: passed
// on as they are, without a message.
bool IsStopSignal(int signal_number) {
  return signal_number == SIGPIPE || signal_number == SIGINT || signal_number == SIGTERM ||
         signal_number == SIGHUP;
}

}  // namespace

bool PlayPointCloud2(const char* bagFileName) {
  // The bag library is not safe on damaged files: a corrupt length can make
  // it abort or read outside its buffers. The dump runs in a child process so
  // that such a crash ends as one clear line here, with the report printed so
  // far intact.
  void* shared = mmap(nullptr, sizeof(WalkProgress), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) {
    WalkProgress progress;
    return PlayInThisProcess(bagFileName, progress);
  }
  WalkProgress* progress = new (shared) WalkProgress();
  fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) return PlayInThisProcess(bagFileName, *progress);
  if (child == 0) exit(PlayInThisProcess(bagFileName, *progress) ? 0 : 1);

  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status) == 0;
  const int signal_number = WTERMSIG(status);
  if (IsStopSignal(signal_number)) {
    std::signal(signal_number, SIG_DFL);
    raise(signal_number);
  }
  char reason[200];
  snprintf(reason, sizeof reason, "the reader crashed (%s) at message %lld of the bag",
           strsignal(signal_number), progress->messages);
  PrintWalkFailure(bagFileName, *progress, reason);
  return false;
}
