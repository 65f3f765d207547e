#include "cloud_dump.h"

#include "cloud_check.h"
#include "progress.h"

#include <console_bridge/console.h>
#include <rosbag/bag.h>
#include <rosbag/query.h>
#include <rosbag/view.h>
#include <sensor_msgs/PointCloud2.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/shared_ptr.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <set>
#include <string>

namespace {

// How far a walk got; kept in memory shared with the parent process so that
// it survives a crash of the walk.
struct WalkProgress {
  int clouds = 0;
  long long messages = 0;
  int write_errno = 0;  // why the report could not be written, if it could not
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
    PrintDiagnostic("bag library: %s", line.c_str());
  }

 private:
  std::set<std::string> seen_;
};

const char* const kPointCloud2Md5 = "1158d486dd51d683ce2f1be655c3c181";

// The topics of the bag's point-cloud connections, in name order.
std::set<std::string> CloudTopics(const rosbag::Bag& bag) {
  std::set<std::string> topics;
  rosbag::View everything(bag);
  for (const rosbag::ConnectionInfo* connection : everything.getConnections()) {
    if (connection->md5sum == kPointCloud2Md5) topics.insert(connection->topic);
  }
  return topics;
}

// Says which requested topics hold no clouds; false when none of them does.
bool CheckRequestedTopics(const rosbag::Bag& bag, const char* bagFileName,
                          const std::vector<std::string>& requested) {
  const std::set<std::string> present = CloudTopics(bag);
  std::string listing;
  for (const std::string& topic : present) listing += (listing.empty() ? "" : ", ") + topic;
  if (listing.empty()) listing = "none";
  bool any = false;
  for (const std::string& topic : requested) {
    if (present.count(topic) != 0) {
      any = true;
      continue;
    }
    PrintDiagnostic("no point clouds on topic '%s' in '%s'; its cloud topics: %s", topic.c_str(),
                    bagFileName, listing.c_str());
  }
  return any;
}

// Walks the messages of the view in its order, recording in `progress` how
// far it got. Library errors propagate to the caller. Returns false when the
// report or an image could not be written.
bool WalkClouds(rosbag::Bag& bag, const DumpOptions& options, WalkProgress& progress) {
  // Every connection, or only the requested topics' connections, so that
  // filtering a large bag reads only what it reports.
  rosbag::View view(false);
  if (options.topics.empty()) {
    view.addQuery(bag, ros::TIME_MIN, ros::TIME_MAX);
  } else {
    view.addQuery(bag, rosbag::TopicQuery(options.topics), ros::TIME_MIN, ros::TIME_MAX);
  }
  ProgressStart(options.progress, options.progress ? view.size() : 0);
  boost::shared_ptr<const sensor_msgs::PointCloud2> lidar_data;
  ReportMemory memory;
  int& count = progress.clouds;  // the running index of reported clouds
  std::uint64_t bytes = 0;
  for (const rosbag::MessageInstance& m : view) {
    ++progress.messages;
    if (options.progress) {
      bytes += m.size();  // reads the record header, so only when someone watches
      ProgressUpdate(progress.messages, count, bytes);
    }
    lidar_data = m.instantiate<GuardedPointCloud2>();
    if (!lidar_data) continue;
    ReportCloud(count, *lidar_data, m.getTopic(), m.getDataType(), options.report, memory);
    // One write per cloud keeps the report in step with PCL's warnings on
    // stderr and leaves every finished cloud on stdout if the walk dies.
    if (fflush(stdout) != 0) {
      progress.write_errno = errno;
      return false;  // nobody gets the rest of the report
    }
    ++count;
  }
  ProgressClear();
  return memory.image_failures == 0;
}

void PrintWalkFailure(const char* bagFileName, const WalkProgress& progress, const char* reason) {
  PrintDiagnostic("failed to read '%s' after %d cloud%s: %s", bagFileName, progress.clouds,
                  progress.clouds == 1 ? "" : "s", reason);
}

// Opens the bag and walks it; false when either fails.
bool PlayBag(const char* bagFileName, const DumpOptions& options, WalkProgress& progress) {
  rosbag::Bag bag;
  try {
    bag.open(std::string(bagFileName), rosbag::bagmode::Read);
  } catch (const std::exception& e) {
    printf(" Bag file open failed, %s, msg = %s\n", bagFileName, e.what());
    return false;
  }
  try {
    if (!options.topics.empty() && !CheckRequestedTopics(bag, bagFileName, options.topics)) {
      return false;
    }
    const bool images_written = WalkClouds(bag, options, progress);
    bag.close();
    return images_written;
  } catch (const std::exception& e) {
    PrintWalkFailure(bagFileName, progress, e.what());
    return false;
  }
}

bool PlayInThisProcess(const char* bagFileName, const DumpOptions& options,
                       WalkProgress& progress) {
  OncePerTextLog library_log;
  console_bridge::useOutputHandler(&library_log);
  bool walked = PlayBag(bagFileName, options, progress);
  console_bridge::restorePreviousOutputHandler();
  // A report cut short by a full disk or a closed pipe is a failure too.
  if (progress.write_errno == 0 && fflush(stdout) != 0) progress.write_errno = errno;
  if (progress.write_errno != 0) {
    PrintDiagnostic("cannot write the report: %s", strerror(progress.write_errno));
    walked = false;
  }
  return walked;
}

// Signals that mean the reader went away or the user stopped the run: passed
// on as they are, without a message.
bool IsStopSignal(int signal_number) {
  return signal_number == SIGPIPE || signal_number == SIGINT || signal_number == SIGTERM ||
         signal_number == SIGHUP;
}

}  // namespace

bool PlayPointCloud2InThisProcess(const char* bagFileName, const DumpOptions& options) {
  WalkProgress progress;
  return PlayInThisProcess(bagFileName, options, progress);
}

bool PlayPointCloud2(const char* bagFileName, const DumpOptions& options) {
  // The bag library is not safe on damaged files: a corrupt length can make
  // it abort or read outside its buffers. The dump runs in a child process so
  // that such a crash ends as one clear line here, with the report printed so
  // far intact.
  void* shared = mmap(nullptr, sizeof(WalkProgress), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) return PlayPointCloud2InThisProcess(bagFileName, options);
  WalkProgress* progress = new (shared) WalkProgress();
  fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) return PlayInThisProcess(bagFileName, options, *progress);
  if (child == 0) exit(PlayInThisProcess(bagFileName, options, *progress) ? 0 : 1);

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
  // The child's progress line may still be on the terminal.
  if (options.progress) fputs("\r\033[K", stderr);
  char reason[200];
  snprintf(reason, sizeof reason, "the reader crashed (%s) at message %lld of the bag",
           strsignal(signal_number), progress->messages);
  PrintWalkFailure(bagFileName, *progress, reason);
  return false;
}
