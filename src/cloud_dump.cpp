#include "cloud_dump.h"

#include "background_worker.h"
#include "cloud/cloud_check.h"
#include "context/context.h"
#include "export/cloud_export.h"
#include "output_files.h"
#include "progress.h"
#include "storage/recording.h"
#include "summary/summary.h"

#include <console_bridge/console.h>
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
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

// How far a walk got; kept in memory shared with the parent process so that
// it survives a crash of the walk.
struct WalkProgress {
  int clouds = 0;  // the clouds of the walk so far, selected or not
  long long messages = 0;
  int bag = 0;          // which of the bags the last message came from
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

// Clouds from this size on are tallied on a thread of their own.
const std::size_t kBackgroundTallyBytes = std::size_t{256} * 1024;

// The bags' names for messages: 'a.bag', or 'a.bag', 'b.bag', ...
std::string BagNames(const std::vector<std::string>& names) {
  std::string listing;
  for (const std::string& name : names) listing += (listing.empty() ? "'" : ", '") + name + "'";
  return listing;
}

// Every topic that does not hold clouds, with its messages over the whole
// recording, sorted by topic and type; and the cloud topics that recorded
// no message at all.
void NoteTopics(const std::vector<StoredTopic>& topics, SummaryTally& tally) {
  for (const StoredTopic& topic : topics) {
    if (!topic.cloud) {
      tally.other_topics.push_back({topic.name, topic.type, topic.messages});
      NoteContextTopic(tally.context, topic.name, topic.type);
      if (const char* form = LidarFormOf(topic.type)) {
        tally.lidar_not_clouds.push_back({topic.name, topic.type, form, topic.messages});
      }
    } else if (topic.messages == 0) {
      tally.silent_topics.push_back({topic.name, topic.type, topic.qos_stored, topic.offered_qos});
    }
  }
}

// Says which requested topics hold no clouds; false when none of them does.
bool CheckRequestedTopics(const std::vector<StoredTopic>& topics, const std::string& bag_names,
                          const std::vector<std::string>& requested) {
  std::set<std::string> present;
  for (const StoredTopic& topic : topics) {
    if (topic.cloud) present.insert(topic.name);
  }
  std::string listing;
  for (const std::string& topic : present) listing += (listing.empty() ? "" : ", ") + topic;
  if (listing.empty()) listing = "none";
  bool any = false;
  for (const std::string& topic : requested) {
    if (present.count(topic) != 0) {
      any = true;
      continue;
    }
    PrintDiagnostic("no point clouds on topic '%s' in %s; its cloud topics: %s", topic.c_str(),
                    bag_names.c_str(), listing.c_str());
  }
  return any;
}

// The topics the summary reads besides clouds: TF and IMU.
std::vector<std::string> ContextTopics(const std::vector<StoredTopic>& topics) {
  std::vector<std::string> names;
  for (const StoredTopic& topic : topics) {
    if (!topic.cloud && ContextKindOf(topic.type) != ContextKind::kNone) {
      names.push_back(topic.name);
    }
  }
  return names;
}

// The messages the walk reads: the requested topics (and the summary's TF
// and IMU topics, whatever -t says) in the record-time window [start, end],
// with +S counted from the first message of the first bag, so that filtering
// a large bag reads only what it reports.
MessageQuery WalkQuery(const Recording& recording, const DumpOptions& options,
                       const std::vector<std::string>& context_topics) {
  std::int64_t first = 0;
  if ((options.start.set && options.start.after_first) ||
      (options.end.set && options.end.after_first)) {
    first = FirstRecordTime(recording, 0);
  }
  MessageQuery query;
  query.topics = options.topics;
  if (!query.topics.empty()) {
    query.topics.insert(query.topics.end(), context_topics.begin(), context_topics.end());
  }
  if (options.start.set) {
    query.start_ns = options.start.nanoseconds + (options.start.after_first ? first : 0);
  }
  if (options.end.set) {
    query.end_ns = options.end.nanoseconds + (options.end.after_first ? first : 0);
  }
  return query;
}

// The summary's tally of the cloud before, whose points the second core is
// reading in chunks while the walk decodes the next cloud. Finished when the
// next cloud comes, at the end of the walk, and when the walk unwinds, so that
// every cloud tallied is tallied whole.
struct PendingTally {
  SummaryTally* summary = nullptr;
  std::unique_ptr<CloudTally> job;
  BackgroundWorker worker;  // declared after `job`, so it is stopped first

  PendingTally() = default;
  PendingTally(const PendingTally&) = delete;
  PendingTally& operator=(const PendingTally&) = delete;
  ~PendingTally() {
    try {
      Finish();
    } catch (const std::exception&) {
      // The walk is unwinding with its own error already.
    }
  }

  // Reads on this thread whatever chunks are left, then adds the cloud to
  // its topic.
  void Finish() {
    if (!job) return;
    while (TallyNextChunk(*job, 0)) {
    }
    worker.Wait();
    const std::unique_ptr<CloudTally> done = std::move(job);
    FinishCloudTally(*summary, *done);
  }
};

// Hands the cloud to the summary's tally, once the cloud before is done.
// Its points go to the second core, and the walk goes on; small clouds are
// not worth a thread.
void TallyInTurn(PendingTally& pending, int index, const RecordedMessage& m,
                 const boost::shared_ptr<const sensor_msgs::PointCloud2>& lidar_data,
                 const CloudLayout& layout) {
  pending.Finish();
  SummaryTally& summary = *pending.summary;
  std::unique_ptr<CloudTally> job =
      StartCloudTally(summary, {index, *m.topic, *m.datatype, m.time, lidar_data, layout});
  if (!job) return;
  if (lidar_data->data.size() < kBackgroundTallyBytes) {
    while (TallyNextChunk(*job, 0)) {
    }
    FinishCloudTally(summary, *job);
    return;
  }
  CloudTally* reading = job.get();
  pending.job = std::move(job);
  pending.worker.Run([reading] {
    while (TallyNextChunk(*reading, 1)) {
    }
  });
}

// Writes the cloud's PCD file into the folder; false when it could not be
// written (said on stderr). Fields left out are said once per topic.
bool ExportCloud(const std::string& dir, int index, const std::string& topic,
                 const sensor_msgs::PointCloud2& cloud, std::set<std::string>& topics_noted) {
  std::vector<std::string> left_out;
  const std::string problem = WriteCloudPcd(
      dir + "/" + CloudFileName(index, topic, cloud.header.stamp, "pcd"), cloud, left_out);
  if (!left_out.empty() && topics_noted.insert(topic).second) {
    std::string names;
    for (const std::string& name : left_out) names += (names.empty() ? "" : ", ") + name;
    PrintDiagnostic("cloud %d on %s: left out of its PCD file: %s", index, topic.c_str(),
                    names.c_str());
  }
  if (problem.empty()) return true;
  PrintDiagnostic("cloud %d on %s: no PCD file: %s", index, topic.c_str(), problem.c_str());
  return false;
}

// Walks the messages of the bags in record-time order, numbering every cloud
// of the walk and handing each selected one to the report, the export and,
// when there is one, the summary's tally, and recording in `progress` how
// far it got. Clouds that are not selected are counted by their
// connection's MD5 sum, never decoded. Library errors propagate to the
// caller. Returns false when the report, an image or a PCD file could not be
// written; counts the selected clouds in `selected`.
bool WalkClouds(const Recording& recording, const DumpOptions& options, WalkProgress& progress,
                SummaryTally* summary, const std::vector<std::string>& context_topics,
                int& selected) {
  const MessageQuery query = WalkQuery(recording, options, context_topics);
  // The kind of each type met, by the address of its name, which stays the
  // same for every message of a connection.
  std::map<const std::string*, ContextKind> kinds;
  std::vector<std::uint8_t> context_bytes;
  ProgressStart(options.progress, options.progress ? CountMessages(recording, query) : 0);
  boost::shared_ptr<sensor_msgs::PointCloud2> lidar_data;
  std::vector<std::uint8_t> scratch;  // decompressed message bytes
  ReportMemory memory;
  int& count = progress.clouds;  // the running index of the walk's clouds
  std::uint64_t bytes = 0;
  const bool reported = options.report.print || !options.report.image.dir.empty();
  std::set<std::string> export_notes;
  int export_failures = 0;
  PendingTally tallying;
  tallying.summary = summary;
  bool written = true;
  // Clouds before the selection's first need not be read where an index
  // counts them.
  const CloudSelection& selection = options.selection;
  // ... but not past TF and IMU messages the summary reads.
  const std::uint64_t skip = selection.every == 1 && selection.first > 0 && context_topics.empty()
                                 ? static_cast<std::uint64_t>(selection.first)
                                 : 0;
  std::uint64_t skipped = 0;
  WalkMessages(recording, query, skip, skipped, [&](const RecordedMessage& m) {
    if (skipped > 0) {
      count += static_cast<int>(skipped);
      skipped = 0;
    }
    ++progress.messages;
    progress.bag = m.bag;
    if (options.progress) {
      bytes += MessageBytes(m);  // reads the record header, so only when someone watches
      ProgressUpdate(progress.messages, count, bytes);
    }
    if (!m.cloud) {
      if (context_topics.empty()) return true;
      const auto [kind, added] = kinds.emplace(m.datatype, ContextKind::kNone);
      if (added) kind->second = ContextKindOf(*m.datatype);
      if (kind->second != ContextKind::kNone) {
        TallyContextMessage(summary->context, kind->second, *m.topic,
                            static_cast<std::int64_t>(m.time.toNSec()),
                            MessageData(m, context_bytes));
      }
      return true;
    }
    if (!options.selection.Selects(count)) {
      // Past the selection's last index, once it matched, nothing more can be
      // (but TF and IMU messages the summary still reads).
      if (count > options.selection.last && selected > 0 && context_topics.empty()) return false;
      ++count;
      return true;
    }
    lidar_data = DecodeCloud(m, scratch);
    if (!lidar_data) return true;
    ++selected;
    CloudLayout layout = ExamineCloud(*lidar_data);
    if (reported) {
      ReportCloud(count, *lidar_data, layout, *m.topic, *m.datatype, options.report, memory);
    }
    if (!options.pcd_dir.empty() && layout.inconsistency.empty() &&
        !ExportCloud(options.pcd_dir, count, *m.topic, *lidar_data, export_notes)) {
      ++export_failures;
    }
    if (summary != nullptr) TallyInTurn(tallying, count, m, lidar_data, layout);
    lidar_data.reset();  // only one cloud is held while the next is read
    // One write per cloud keeps the report in step with PCL's warnings on
    // stderr and leaves every finished cloud on stdout if the walk dies.
    if (fflush(stdout) != 0) {
      progress.write_errno = errno;
      written = false;
      return false;  // nobody gets the rest of the report
    }
    ++count;
    return true;
  });
  if (skipped > 0) count += static_cast<int>(skipped);  // nothing followed them
  if (!written) return false;
  tallying.Finish();
  FinishImages(memory);
  ProgressClear();
  return memory.image_failures == 0 && export_failures == 0;
}

void PrintWalkFailure(const std::string& bag_name, const WalkProgress& progress,
                      const char* reason) {
  PrintDiagnostic("failed to read '%s' after %d cloud%s: %s", bag_name.c_str(), progress.clouds,
                  progress.clouds == 1 ? "" : "s", reason);
}

// Writes the summary as asked; false when it could not be written. Sets
// `problems_found` when it lists a problem that fails the run.
bool WriteSummary(const SummaryTally& tally, const SummaryOptions& options, bool& problems_found) {
  const nlohmann::ordered_json document = SummaryDocument(tally);
  problems_found = HasListedProblem(document, options.fail_on);
  if (options.text && !options.json_replaces_report) PrintSummaryText(document, tally.incomplete);
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

// Opens every bag, or says which could not be opened.
bool OpenBags(const std::vector<std::string>& names, const DumpOptions& options,
              Recording& recording) {
  for (const std::string& name : names) {
    const std::string problem = OpenBag(name, recording);
    if (!problem.empty()) {
      // With the JSON on stdout, stdout holds nothing else.
      std::fprintf(options.summary.json_replaces_report ? stderr : stdout,
                   " Bag file open failed, %s, msg = %s\n", name.c_str(), problem.c_str());
      return false;
    }
  }
  return true;
}

// Opens the bags, walks them and writes the summary.
DumpResult PlayBags(const std::vector<std::string>& names, const DumpOptions& options,
                    WalkProgress& progress) {
  Recording recording;
  if (!OpenBags(names, options, recording)) return DumpResult::kFailed;
  SummaryTally tally;
  tally.bag = names.front();
  tally.bags = names;
  tally.topics_requested = !options.topics.empty();
  const bool timeline = !options.timeline.path.empty();
  SummaryTally* summary = options.summary.Wanted() || timeline ? &tally : nullptr;
  bool read = false;
  int selected = 0;
  try {
    // Read once: counting a recording's topics can mean reading its indexes.
    const std::vector<StoredTopic> topics = summary != nullptr || !options.topics.empty()
                                                ? RecordingTopics(recording)
                                                : std::vector<StoredTopic>();
    if (summary != nullptr) NoteTopics(topics, tally);
    const std::vector<std::string> context_topics =
        options.summary.Wanted() ? ContextTopics(topics) : std::vector<std::string>();
    if (options.topics.empty() || CheckRequestedTopics(topics, BagNames(names), options.topics)) {
      read = WalkClouds(recording, options, progress, summary, context_topics, selected);
      const bool narrowed = options.selection.given || options.start.set || options.end.set;
      if (read && narrowed && selected == 0) {
        PrintDiagnostic("the selection matches none of the %d cloud%s of the walk through %s",
                        progress.clouds, progress.clouds == 1 ? "" : "s", BagNames(names).c_str());
        read = false;
      }
    }
  } catch (const std::exception& e) {
    PrintWalkFailure(names[progress.bag], progress, e.what());
    tally.complete = false;
  }
  // A bag walked whole, yet not whole itself (a recorder that never closed
  // it): said once, after the report.
  for (const auto& bag : recording.bags) {
    const std::string note = tally.complete ? bag->Incomplete() : "";
    if (note.empty()) continue;
    PrintDiagnostic("%s", note.c_str());
    if (tally.incomplete.empty()) tally.incomplete = note;
    tally.complete = false;
    read = false;
  }
  tally.walk_clouds = progress.clouds;
  if (timeline && progress.write_errno == 0) {
    const std::string problem = WriteTimeline(options.timeline, tally);
    if (!problem.empty()) {
      PrintDiagnostic("no timeline: %s", problem.c_str());
      read = false;
    }
  }
  if (summary == nullptr || progress.write_errno != 0) {
    return read ? DumpResult::kRead : DumpResult::kFailed;
  }
  bool problems_found = false;
  if (!WriteSummary(tally, options.summary, problems_found) || !read) return DumpResult::kFailed;
  return problems_found ? DumpResult::kProblemsFound : DumpResult::kRead;
}

DumpResult PlayInThisProcess(const std::vector<std::string>& bags, const DumpOptions& options,
                             WalkProgress& progress) {
  OncePerTextLog library_log;
  console_bridge::useOutputHandler(&library_log);
  DumpResult result = PlayBags(bags, options, progress);
  console_bridge::restorePreviousOutputHandler();
  // A report cut short by a full disk or a closed pipe is a failure too.
  if (progress.write_errno == 0 && fflush(stdout) != 0) progress.write_errno = errno;
  if (progress.write_errno != 0) {
    PrintDiagnostic("cannot write the report: %s", strerror(progress.write_errno));
    result = DumpResult::kFailed;
  }
  return result;
}

// The child's exit status back as a result.
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

DumpResult PlayPointCloud2InThisProcess(const std::vector<std::string>& bags,
                                        const DumpOptions& options) {
  WalkProgress progress;
  return PlayInThisProcess(bags, options, progress);
}

DumpResult PlayPointCloud2(const std::vector<std::string>& bags, const DumpOptions& options) {
  // The bag library is not safe on damaged files: a corrupt length can make
  // it abort or read outside its buffers. The dump runs in a child process so
  // that such a crash ends as one clear line here, with the report printed so
  // far intact.
  void* shared = mmap(nullptr, sizeof(WalkProgress), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) return PlayPointCloud2InThisProcess(bags, options);
  WalkProgress* progress = new (shared) WalkProgress();
  fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) return PlayInThisProcess(bags, options, *progress);
  if (child == 0) exit(ExitStatusOf(PlayInThisProcess(bags, options, *progress)));

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
  PrintWalkFailure(bags[progress->bag], *progress, reason);
  return DumpResult::kFailed;
}

int ExitStatusOf(DumpResult result) {
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
