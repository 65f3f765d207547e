// Command line of bag_cloud_dump: options first, then the bag.
#include "cloud_dump.h"
#include "export/cloud_export.h"
#include "output_files.h"
#include "summary/summary.h"

#include <getopt.h>
#include <malloc.h>
#include <pcl/console/print.h>
#include <pcl/pcl_config.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <set>
#include <string>
#include <vector>

namespace {

const char kHelp[] =
    "Usage: %s [OPTION]... BAGFILE\n"
    "  or:  %s [OPTION]... --merge BAGFILE...\n"
    "Print every sensor_msgs/PointCloud2 in a ROS 1 bag: a line per cloud (index,\n"
    "header stamp, topic, type name), then its first and last points as PCL decodes\n"
    "them (index, x, y, z, intensity, time, ring, horizontal angle in degrees).\n"
    "BAGFILE may also be a ROS 2 recording: rosbag2's sqlite3 storage (its directory\n"
    "of metadata.yaml and .db3 files, plain or zstd-compressed, or one .db3 file) or\n"
    "MCAP (a directory of .mcap files, or one; ros2 and ros1 profiles; chunks plain,\n"
    "zstd or lz4). An MCAP file cut short is walked up to the cut, then status 1;\n"
    "so is a ROS 1 bag its recorder never closed (no index): in file order.\n"
    "\n"
    "  -t, --topic TOPIC     only clouds on TOPIC; repeat for more topics\n"
    "      --start T, --end T  only messages recorded from T, up to T: seconds since\n"
    "                        the epoch, or +S for S seconds after the first message\n"
    "      --index INDICES   only the clouds of the walk with these indices: N, A:B,\n"
    "                        A: or :B (inclusive); the others are not decoded\n"
    "      --every K         only the clouds whose index is a multiple of K\n"
    "  -m, --merge           every argument is a bag, all walked as one recording in\n"
    "                        record-time order (split bags, ROS 1 and ROS 2 alike),\n"
    "                        with one index\n"
    "  -n, --samples N       print N points at each end of a cloud (default 10)\n"
    "  -a, --all             print every point\n"
    "  -l, --layout          describe each topic's fields and how they fill the\n"
    "                        point record, again whenever they change\n"
    "      --full-conversion convert every point, not only the printed ones\n"
    "                        (slower; the output is the same)\n"
    "  -i, --image DIR       write a PNG of every cloud into DIR: a row per ring,\n"
    "                        a column per azimuth step, colour by range\n"
    "      --image-width N   azimuth columns of the images (default 1800, 0.2 deg)\n"
    "      --image-range MIN:MAX  metres spanned by the colour scale (default 0:100)\n"
    "      --pcd DIR         write every reported cloud into DIR as a binary PCD file\n"
    "                        with all of its fields\n"
    "      --timeline FILE   draw the whole walk into the PNG FILE: per cloud topic,\n"
    "                        stamp intervals with gaps marked, points, invalid\n"
    "                        points and latency over record time\n"
    "      --timeline-width N  its width in pixels (default 2000)\n"
    "      --progress        show progress on stderr (default: when stderr is a\n"
    "                        terminal and stdout is not)\n"
    "      --no-progress     never show progress\n"
    "  -s, --summary         after the report, a health summary of every cloud topic\n"
    "                        (lines starting with #), read from every point: its\n"
    "                        kind (lidar, radar, camera or unknown, by field names),\n"
    "                        stamps (those of 0 counted apart), per-point time (one\n"
    "                        field, or BASE_sec and BASE_nsec), problems found\n"
    "      --json FILE       write the summary as JSON to FILE; '-' writes it to\n"
    "                        stdout instead of the report\n"
    "                        For lidars also: whole sweeps by one-degree sector,\n"
    "                        where the stamp sits in the sweep, point-time order,\n"
    "                        repeated clouds, and which stacks read the topic as\n"
    "                        is (LIO-SAM, FAST-LIO, cartographer, Autoware,\n"
    "                        KISS-ICP, LeGO-LOAM, A-LOAM; see the man page);\n"
    "                        around them: frames against TF, IMU clocks, clouds\n"
    "                        lost by header.seq, lidar recorded as packets\n"
    "      --fail-on CODES   exit with status 3 when the summary finds one of these\n"
    "                        comma-separated problem codes, or 'any' of them\n"
    "                        (silent-topics: a cloud topic recorded no message;\n"
    "                        lidar-not-clouds: lidar recorded as packets or\n"
    "                        another message than PointCloud2;\n"
    "                        consumer:KEY: that stack cannot read a lidar topic\n"
    "                        as is, not part of 'any'):\n"
    "%s"
    "  -h, --help            print this help and exit\n"
    "  -V, --version         print the versions and exit\n"
    "  --                    end of options, for a bag whose name starts with '-'\n"
    "\n"
    "Exit status: 0 the bag was read whole; 1 it could not be opened or read, it\n"
    "holds none of the requested topics, the selection matches no cloud, or a file\n"
    "could not be written, or an MCAP file was cut short or a ROS 1 bag never closed;\n"
    "2 the command line was wrong; 3 it was read whole and the summary found a\n"
    "problem listed with --fail-on.\n";

enum {
  kFullConversion = 1000,
  kImageWidth,
  kImageRange,
  kProgress,
  kNoProgress,
  kJson,
  kFailOn,
  kStart,
  kEnd,
  kIndex,
  kEvery,
  kPcd,
  kTimeline,
  kTimelineWidth
};

const option kLongOptions[] = {{"topic", required_argument, nullptr, 't'},
                               {"samples", required_argument, nullptr, 'n'},
                               {"all", no_argument, nullptr, 'a'},
                               {"layout", no_argument, nullptr, 'l'},
                               {"full-conversion", no_argument, nullptr, kFullConversion},
                               {"image", required_argument, nullptr, 'i'},
                               {"image-width", required_argument, nullptr, kImageWidth},
                               {"image-range", required_argument, nullptr, kImageRange},
                               {"progress", no_argument, nullptr, kProgress},
                               {"no-progress", no_argument, nullptr, kNoProgress},
                               {"summary", no_argument, nullptr, 's'},
                               {"json", required_argument, nullptr, kJson},
                               {"fail-on", required_argument, nullptr, kFailOn},
                               {"start", required_argument, nullptr, kStart},
                               {"end", required_argument, nullptr, kEnd},
                               {"index", required_argument, nullptr, kIndex},
                               {"every", required_argument, nullptr, kEvery},
                               {"merge", no_argument, nullptr, 'm'},
                               {"pcd", required_argument, nullptr, kPcd},
                               {"timeline", required_argument, nullptr, kTimeline},
                               {"timeline-width", required_argument, nullptr, kTimelineWidth},
                               {"help", no_argument, nullptr, 'h'},
                               {"version", no_argument, nullptr, 'V'},
                               {nullptr, 0, nullptr, 0}};

int CommandLineError(const std::string& what) {
  fprintf(stderr, "bag_cloud_dump: %s; see --help\n", what.c_str());
  return 2;
}

bool ParseCount(const char* text, long long& count) {
  char* end = nullptr;
  errno = 0;
  count = std::strtoll(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && count >= 0;
}

// "MIN:MAX" in metres, MIN below MAX.
bool ParseRange(const char* text, float& low, float& high) {
  char* end = nullptr;
  low = std::strtof(text, &end);
  if (end == text || *end != ':') return false;
  const char* second = end + 1;
  high = std::strtof(second, &end);
  return end != second && *end == '\0' && std::isfinite(low) && std::isfinite(high) && low < high;
}

// The problem codes, wrapped for the help text.
std::string ProblemCodeList(const char* indent, std::size_t width) {
  std::string text, line = indent;
  const std::vector<std::string>& codes = ProblemCodes();
  for (std::size_t i = 0; i < codes.size(); ++i) {
    const std::string item = codes[i] + (i + 1 < codes.size() ? "," : "");
    if (line.size() + 1 + item.size() > width) {
      text += line + "\n";
      line = indent;
    }
    line += (line.size() > std::strlen(indent) ? " " : "") + item;
  }
  return text + line + "\n";
}

// A time in seconds, "S" or "S.F" with up to 9 decimals taken exactly (more
// are cut), since the epoch or, as "+S", after the first message.
bool ParseTime(const char* text, TimeBound& bound) {
  const char* at = text;
  bound.after_first = *at == '+';
  if (bound.after_first) ++at;
  std::int64_t seconds = 0;
  const char* digits = at;
  while (*at >= '0' && *at <= '9') {
    seconds = seconds * 10 + (*at++ - '0');
    if (seconds > UINT32_MAX) return false;  // past what a bag's time holds
  }
  bool any = at != digits;
  std::int64_t nanoseconds = 0;
  if (*at == '.') {
    ++at;
    std::int64_t scale = 100000000;
    for (; *at >= '0' && *at <= '9'; ++at, scale /= 10, any = true) {
      nanoseconds += (*at - '0') * scale;
    }
  }
  if (!any || *at != '\0') return false;
  bound.set = true;
  bound.nanoseconds = seconds * 1000000000 + nanoseconds;
  return true;
}

// "N", "A:B", "A:" or ":B", inclusive, A not above B.
bool ParseIndexSpec(const char* text, CloudSelection& selection) {
  const std::string given = text;
  const std::size_t colon = given.find(':');
  long long first = 0, last = 0;
  if (colon == std::string::npos) {
    if (!ParseCount(text, first)) return false;
    last = first;
  } else {
    const std::string a = given.substr(0, colon), b = given.substr(colon + 1);
    if (a.empty() && b.empty()) return false;
    if (!a.empty() && !ParseCount(a.c_str(), first)) return false;
    last = std::numeric_limits<long long>::max();
    if (!b.empty() && !ParseCount(b.c_str(), last)) return false;
  }
  if (first > last) return false;
  selection.first = first;
  selection.last = last;
  selection.given = true;
  return true;
}

// "CODE,CODE,...", each a problem code or "any"; names the first unknown one.
bool ParseProblemCodes(const char* text, std::set<std::string>& codes, std::string& unknown) {
  const std::string list = text;
  std::size_t at = 0;
  for (;;) {
    const std::size_t comma = list.find(',', at);
    const std::string code = list.substr(at, comma == std::string::npos ? comma : comma - at);
    const auto& known = ProblemCodes();
    if (code != "any" && std::find(known.begin(), known.end(), code) == known.end()) {
      unknown = code;
      return false;
    }
    codes.insert(code);
    if (comma == std::string::npos) return true;
    at = comma + 1;
  }
}

// The option as the user typed it, for error messages.
std::string TypedOption(char** argv, int failed_at, int short_option) {
  const std::string typed = argv[failed_at];
  if (typed.compare(0, 2, "--") == 0) return typed.substr(0, typed.find('='));
  return std::string("-") + static_cast<char>(short_option);
}

}  // namespace

int main(int argc, char** argv) {
  const char* program = argc > 0 ? argv[0] : "bag_cloud_dump";
  if (argc < 2) {
    printf("\n Usage : %s bagfile\n\n", program);
    return 2;
  }
  // Clouds of a few MiB come and go one after another: kept in the heap, not
  // mapped and unmapped each time, their memory is reused, not faulted in
  // again for every cloud.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 128 << 20);
  DumpOptions options;
  bool merge = false;
  // Progress only where someone watches stderr while the report goes elsewhere.
  options.progress = isatty(STDERR_FILENO) && !isatty(STDOUT_FILENO);
  opterr = 0;  // errors are reported below, in the tool's own words
  for (;;) {
    const int failed_at = optind;
    const int option = getopt_long(argc, argv, "+:t:n:ali:shmV", kLongOptions, nullptr);
    if (option == -1) break;
    switch (option) {
      case 't':
        options.topics.push_back(optarg);
        break;
      case 'n':
        if (!ParseCount(optarg, options.report.samples)) {
          return CommandLineError(std::string("--samples takes a whole number from 0, not '") +
                                  optarg + "'");
        }
        break;
      case 'a':
        options.report.all_points = true;
        break;
      case 'l':
        options.report.layout = true;
        break;
      case kFullConversion:
        options.report.full_conversion = true;
        break;
      case 'i':
        options.report.image.dir = optarg;
        break;
      case kImageWidth: {
        long long columns = 0;
        if (!ParseCount(optarg, columns) || columns < 1 || columns > 100000) {
          return CommandLineError(
              std::string("--image-width takes a whole number from 1 to 100000, not '") + optarg +
              "'");
        }
        options.report.image.columns = static_cast<unsigned>(columns);
        break;
      }
      case kImageRange:
        if (!ParseRange(optarg, options.report.image.min_range, options.report.image.max_range)) {
          return CommandLineError(std::string("--image-range takes MIN:MAX in metres, not '") +
                                  optarg + "'");
        }
        break;
      case kProgress:
        options.progress = true;
        break;
      case 's':
        options.summary.text = true;
        break;
      case kJson:
        options.summary.json_path = optarg;
        break;
      case kFailOn: {
        std::string unknown;
        if (!ParseProblemCodes(optarg, options.summary.fail_on, unknown)) {
          std::string valid = "any";
          for (const std::string& code : ProblemCodes()) valid += ", " + code;
          return CommandLineError("--fail-on takes problem codes, not '" + unknown +
                                  "'; valid codes: " + valid);
        }
        break;
      }
      case kNoProgress:
        options.progress = false;
        break;
      case kStart:
      case kEnd:
        if (!ParseTime(optarg, option == kStart ? options.start : options.end)) {
          return CommandLineError(std::string(option == kStart ? "--start" : "--end") +
                                  " takes seconds since the epoch, or +S seconds after the first "
                                  "message, not '" +
                                  optarg + "'");
        }
        break;
      case kIndex:
        if (!ParseIndexSpec(optarg, options.selection)) {
          return CommandLineError(std::string("--index takes N, A:B, A: or :B with A <= B, not '") +
                                  optarg + "'");
        }
        break;
      case kEvery:
        if (!ParseCount(optarg, options.selection.every) || options.selection.every < 1) {
          return CommandLineError(std::string("--every takes a whole number from 1, not '") +
                                  optarg + "'");
        }
        options.selection.given = true;
        break;
      case 'm':
        merge = true;
        break;
      case kPcd:
        options.pcd_dir = optarg;
        break;
      case kTimeline:
        options.timeline.path = optarg;
        break;
      case kTimelineWidth: {
        long long width = 0;
        if (!ParseCount(optarg, width) || width < 200 || width > 20000) {
          return CommandLineError(
              std::string("--timeline-width takes a whole number from 200 to 20000, not '") +
              optarg + "'");
        }
        options.timeline.width = static_cast<unsigned>(width);
        break;
      }
      case 'h':
        printf(kHelp, program, program, ProblemCodeList("                          ", 80).c_str());
        return 0;
      case 'V':
        printf("bag_cloud_dump %s (rosbag_storage %s, PCL %s)\n", BAG_CLOUD_DUMP_VERSION,
               ROSBAG_STORAGE_VERSION, PCL_VERSION_PRETTY);
        return 0;
      case ':':
        return CommandLineError("option '" + TypedOption(argv, failed_at, optopt) +
                                "' needs a value");
      default:
        // A known long option given a value it does not take still sets optopt.
        if (optopt != 0 && argv[failed_at][0] == '-' && argv[failed_at][1] == '-') {
          return CommandLineError("option '" + TypedOption(argv, failed_at, optopt) +
                                  "' takes no value");
        }
        return CommandLineError("unknown option '" + TypedOption(argv, failed_at, optopt) + "'");
    }
  }
  if (optind >= argc) return CommandLineError("no bag file given");
  if (options.start.set && options.end.set &&
      options.start.after_first == options.end.after_first &&
      options.start.nanoseconds > options.end.nanoseconds) {
    return CommandLineError("--start is after --end");
  }
  if (!options.pcd_dir.empty()) {
    std::string problem = PrepareOutputDir(options.pcd_dir);
    if (problem.empty()) problem = LoadPcdWriter();
    if (!problem.empty()) {
      fprintf(stderr, "bag_cloud_dump: no PCD files: %s\n", problem.c_str());
      return 1;
    }
  }
  if (!options.timeline.path.empty()) {
    const std::string problem = PrepareTimeline(options.timeline);
    if (!problem.empty()) {
      fprintf(stderr, "bag_cloud_dump: no timeline: %s\n", problem.c_str());
      return 1;
    }
  }
  if (!options.report.image.dir.empty()) {
    const std::string problem = PrepareOutputDir(options.report.image.dir);
    if (!problem.empty()) {
      fprintf(stderr, "bag_cloud_dump: no images: %s\n", problem.c_str());
      return 1;
    }
  }
  FILE* json = nullptr;
  if (options.summary.json_path == "-") {
    json = stdout;
    options.summary.json_replaces_report = true;
    options.report.print = false;
    // PCL's warnings belong to the report, which the JSON replaces.
    pcl::console::setVerbosityLevel(pcl::console::L_ERROR);
  } else if (!options.summary.json_path.empty()) {
    json = std::fopen(options.summary.json_path.c_str(), "w");
    if (json == nullptr) {
      fprintf(stderr, "bag_cloud_dump: cannot write the summary to '%s': %s\n",
              options.summary.json_path.c_str(), std::strerror(errno));
      return 1;
    }
  }
  options.summary.json = json;
  // Without --merge, arguments after the bag are ignored, as they always were.
  std::vector<std::string> bags(argv + optind, merge ? argv + argc : argv + optind + 1);
  const int status = ExitStatusOf(PlayPointCloud2(bags, options));
  if (json != nullptr && json != stdout) std::fclose(json);
  return status;
}
