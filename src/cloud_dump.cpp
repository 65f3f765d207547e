#include "cloud_dump.h"

#include "background_worker.h"
#include "cloud_check.h"
#include "progress.h"
#include "summary.h"

#include <console_bridge/console.h>
#include <rosbag/bag.h>
#include <rosbag/query.h>
#include <rosbag/view.h>
#include <sensor_msgs/PointCloud2.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/shared_ptr.hpp>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <set>
#include <string>
#include <utility>

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

// Clouds from this size on are tallied on a thread of their own.
const std::size_t kBackgroundTallyBytes = 256 * 1024;

// The topics of the bag's point-cloud connections, in name order.
std::set<std::string> CloudTopics(const rosbag::Bag& bag) {
  std::set<std::string> topics;
  rosbag::View everything(bag);
  for (const rosbag::ConnectionInfo* connection : everything.getConnections()) {
    if (connection->md5sum == kPointCloud2Md5) topics.insert(connection->topic);
  }
  return topics;
}

// Every connection that is not a cloud, with its messages over the whole
// bag, merged per topic and type and sorted by both.
std::vector<OtherTopic> OtherTopics(const rosbag::Bag& bag) {
  std::map<std::pair<std::string, std::string>, std::uint64_t> messages;
  rosbag::View everything(bag);
  for (const rosbag::ConnectionInfo* connection : everything.getConnections()) {
    if (connection->md5sum == kPointCloud2Md5) continue;
    const std::uint32_t id = connection->id;
    rosbag::View one(bag, [id](const rosbag::ConnectionInfo* c) { return c->id == id; });
    messages[{connection->topic, connection->datatype}] += one.size();
  }
  std::vector<OtherTopic> others;
  for (const auto& [topic_and_type, count] : messages) {
    others.push_back({topic_and_type.first, topic_and_type.second, count});
  }
  return others;
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

// Walks the messages of the view in its order, handing each cloud to the
// report and, when there is one, to the summary's tally, and recording in
// `progress` how far it got. Library errors propagate to the caller. Returns
// false when the report or an image could not be written.
bool WalkClouds(rosbag::Bag& bag, const DumpOptions& options, WalkProgress& progress,
                SummaryTally* summary) {
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
  const bool reported = options.report.print || !options.report.image.dir.empty();
  // Tallies the cloud before on another thread; waited for before the next
  // cloud's, at the end, and when the walk unwinds.
  BackgroundWorker tallying;
  for (const rosbag::MessageInstance& m : view) {
    ++progress.messages;
    if (options.progress) {
      bytes += m.size();  // reads the record header, so only when someone watches
      ProgressUpdate(progress.messages, count, bytes);
    }
    lidar_data = m.instantiate<GuardedPointCloud2>();
    if (!lidar_data) continue;
    CloudLayout layout = ExamineCloud(*lidar_data);
    if (reported) {
      ReportCloud(count, *lidar_data, layout, m.getTopic(), m.getDataType(), options.report,
                  memory);
    }
    if (summary != nullptr) {
      // One cloud at a time is tallied, on the second core while the walk
      // decodes the next; small clouds are not worth a thread. When the
      // tally of the cloud before is still running, the walk is the faster
      // of the two, so it reads this cloud's time and intensity itself.
      const bool background = lidar_data->data.size() >= kBackgroundTallyBytes;
      const bool helped = background && layout.inconsistency.empty() && tallying.Busy();
      TimeAndIntensity values;
      if (helped) values = ReadTimeAndIntensity(*lidar_data);
      auto tally = [summary, index = count, topic = m.getTopic(), type = m.getDataType(),
                    recorded = m.getTime(), cloud = lidar_data, layout = std::move(layout), values,
                    helped] {
        TallyCloud(*summary,
                   {index, topic, type, recorded, *cloud, layout, helped ? &values : nullptr});
      };
      if (background) {
        tallying.Run(std::move(tally));
      } else {
        tallying.Wait();
        tally();
      }
    }
    // One write per cloud keeps the report in step with PCL's warnings on
    // stderr and leaves every finished cloud on stdout if the walk dies.
    if (fflush(stdout) != 0) {
      progress.write_errno = errno;
      return false;  // nobody gets the rest of the report
    }
    ++count;
  }
  tallying.Wait();
  ProgressClear();
  return memory.image_failures == 0;
}

void PrintWalkFailure(const char* bagFileName, const WalkProgress& progress, const char* reason) {
  PrintDiagnostic("failed to read '%s' after %d cloud%s: %s", bagFileName, progress.clouds,
                  progress.clouds == 1 ? "" : "s", reason);
}

// Writes the summary as asked; false when it could not be written. Sets
// `problems_found` when it lists a problem that fails the run.
bool WriteSummary(const SummaryTally& tally, const SummaryOptions& options, bool& problems_found) {
  const nlohmann::ordered_json document = SummaryDocument(tally);
  problems_found = HasListedProblem(document, options.fail_on);
  if (options.text && !options.json_replaces_report) PrintSummaryText(document);
  if (options.json == nullptr) return true;
  const std::string text = document.dump(2) + "\n";
  if (std::fwrite(text.data(), 1, text.size(), options.json) != text.size() ||
      std::fflush(options.json) != 0) {
    PrintDiagnostic("cannot write the summary to '%s': %s", options.json_path.c_str(),
                    strerror(errno));
    return false;
  }
  return true;
}

// Opens the bag, walks it and writes the summary.
DumpResult PlayBag(const char* bagFileName, const DumpOptions& options, WalkProgress& progress) {
  rosbag::Bag bag;
  try {
    bag.open(std::string(bagFileName), rosbag::bagmode::Read);
  } catch (const std::exception& e) {
    // With the JSON on stdout, stdout holds nothing else.
    std::fprintf(options.summary.json_replaces_report ? stderr : stdout,
                 " Bag file open failed, %s, msg = %s\n", bagFileName, e.what());
    return DumpResult::kFailed;
  }
  SummaryTally tally;
  tally.bag = bagFileName;
  tally.topics_requested = !options.topics.empty();
  SummaryTally* summary = options.summary.Wanted() ? &tally : nullptr;
  bool read = false;
  try {
    if (summary != nullptr) tally.other_topics = OtherTopics(bag);
    if (options.topics.empty() || CheckRequestedTopics(bag, bagFileName, options.topics)) {
      read = WalkClouds(bag, options, progress, summary);
    }
    bag.close();
  } catch (const std::exception& e) {
    PrintWalkFailure(bagFileName, progress, e.what());
    tally.complete = false;
  }
  if (summary == nullptr || progress.write_errno != 0) {
    return read ? DumpResult::kRead : DumpResult::kFailed;
  }
  bool problems_found = false;
  if (!WriteSummary(tally, options.summary, problems_found) || !read) return DumpResult::kFailed;
  return problems_found ? DumpResult::kProblemsFound : DumpResult::kRead;
}

DumpResult PlayInThisProcess(const char* bagFileName, const DumpOptions& options,
                             WalkProgress& progress) {
  OncePerTextLog library_log;
  console_bridge::useOutputHandler(&library_log);
  DumpResult result = PlayBag(bagFileName, options, progress);
  console_bridge::restorePreviousOutputHandler();
  // A report cut short by a full disk or a closed pipe is a failure too.
  if (progress.write_errno == 0 && fflush(stdout) != 0) progress.write_errno = errno;
  if (progress.write_errno != 0) {
    PrintDiagnostic("cannot write the report: %s", strerror(progress.write_errno));
    result = DumpResult::kFailed;
  }
  return result;
}

// The child's exit status for a result, and back.
int ExitCodeOf(DumpResult result) {
  switch (result) {
    case DumpResult::kRead:
      return 0;
    case DumpResult::kProblemsFound:
      return 3;
    case DumpResult::kFailed:
      break;
  }
  return 1;
}

DumpResult ResultOfExitCode(int code) {
  if (code == 0) return DumpResult::kRead;
  return code == 3 ? DumpResult::kProblemsFound : DumpResult::kFailed;
}

// Signals that mean the reader went away or the user stopped the run: passed
// on as they are, without a message.
bool IsStopSignal(int signal_number) {
  return signal_number == SIGPIPE || signal_number == SIGINT || signal_number == SIGTERM ||
         signal_number == SIGHUP;
}

}  // namespace

DumpResult PlayPointCloud2InThisProcess(const char* bagFileName, const DumpOptions& options) {
  WalkProgress progress;
  return PlayInThisProcess(bagFileName, options, progress);
}

DumpResult PlayPointCloud2(const char* bagFileName, const DumpOptions& options) {
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
  if (child == 0) exit(ExitCodeOf(PlayInThisProcess(bagFileName, options, *progress)));

  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return DumpResult::kFailed;
  }
  if (WIFEXITED(status)) return ResultOfExitCode(WEXITSTATUS(status));
  const int signal_number = WTERMSIG(status);
  if (IsStopSignal(signal_number)) {
    std::signal(signal_number, SIG_DFL);
    raise(signal_number);
  }
  // The child's progress line may still be on the terminal.
  if (options.progress) fputs("\r\033[K", stderr);
  char reason[200];
  snprintf(reason, sizeof reason, "the reader crashed (%s) at message %lld of the bag%s",
           strsignal(signal_number), progress->messages,
           options.summary.text || options.summary.json != nullptr ? "; no summary written" : "");
  PrintWalkFailure(bagFileName, *progress, reason);
  return DumpResult::kFailed;
}
