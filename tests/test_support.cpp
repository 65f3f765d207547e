#include "test_support.h"
#include <cstring>

#include <fcntl.h>
#include <sensor_msgs/Imu.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <system_error>

#ifdef BAG_CLOUD_DUMP_SANITIZED
namespace {
// The sanitized tools the tests run inherit these: fontconfig keeps its font
// tables until the process ends (not a leak of ours), and undefined
// behaviour is reported with its stack.
const bool kSanitizerOptionsSet = [] {
  setenv("LSAN_OPTIONS", "print_suppressions=0:suppressions=" LSAN_SUPPRESSIONS, 0);
  setenv("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1", 0);
  return true;
}();
}  // namespace
#endif

// A RawMessage names its type and MD5 sum itself and is stored as it is.
namespace ros {
namespace message_traits {
template <>
struct IsMessage<test_support::RawMessage> : TrueType {};
template <>
struct DataType<test_support::RawMessage> {
  static const char* value(const test_support::RawMessage& m) { return m.type.c_str(); }
};
template <>
struct MD5Sum<test_support::RawMessage> {
  static const char* value(const test_support::RawMessage& m) { return m.md5.c_str(); }
};
template <>
struct Definition<test_support::RawMessage> {
  static const char* value(const test_support::RawMessage&) { return ""; }
};
}  // namespace message_traits

namespace serialization {
template <>
struct Serializer<test_support::RawMessage> {
  template <typename Stream>
  inline static void write(Stream& stream, const test_support::RawMessage& m) {
    std::memcpy(stream.advance(static_cast<std::uint32_t>(m.bytes.size())), m.bytes.data(),
                m.bytes.size());
  }
  inline static std::uint32_t serializedLength(const test_support::RawMessage& m) {
    return static_cast<std::uint32_t>(m.bytes.size());
  }
};
}  // namespace serialization
}  // namespace ros

namespace test_support {

ScratchDir::ScratchDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/bcd-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::system_error(errno, std::generic_category());
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  const std::string command = "rm -rf '" + path_ + "'";
  if (std::system(command.c_str()) != 0)
    std::fprintf(stderr, "could not remove %s\n", path_.c_str());
}

void WriteBag(const std::string& path, const std::function<void(rosbag::Bag&)>& fill,
              rosbag::compression::CompressionType compression) {
  rosbag::Bag bag;
  bag.open(path, rosbag::bagmode::Write);
  bag.setCompression(compression);
  fill(bag);
  bag.close();
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + path);
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& argv,
                     bool merge_stderr) {
  ScratchDir scratch;
  const std::string out_path = scratch.Path("stdout");
  const std::string err_path = scratch.Path("stderr");
  const pid_t pid = fork();
  if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid == 0) {
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int null = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || null < 0) _exit(127);
    dup2(null, 0);
    dup2(out, 1);
    dup2(merge_stderr ? out : err, 2);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(program.c_str(), args.data());
    _exit(127);
  }
  int wait_status = 0;
  if (waitpid(pid, &wait_status, 0) != pid) throw std::system_error(errno, std::generic_category());
  RunResult result;
  result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  result.out = ReadFile(out_path);
  result.err = ReadFile(err_path);
  return result;
}

RunResult RunTool(const std::vector<std::string>& args) {
  std::vector<std::string> argv{BAG_CLOUD_DUMP_EXE};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(BAG_CLOUD_DUMP_EXE, argv);
}

RunResult RunToolMerged(const std::vector<std::string>& args) {
  std::vector<std::string> argv{BAG_CLOUD_DUMP_EXE};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(BAG_CLOUD_DUMP_EXE, argv, true);
}

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  return line;
}

}  // namespace

std::string CloudLine(int index, double stamp, const std::string& topic, const std::string& type) {
  return Format("%20d  %25.10f  %-20s  %-20s\n", index, stamp, topic.c_str(), type.c_str());
}

sensor_msgs::PointCloud2 NumberedCloud(std::uint32_t points, ros::Time stamp) {
  sensor_msgs::PointCloud2 cloud = cloud_builder::MakeCloud(
      cloud_builder::RecordLayout(), cloud_builder::kRecordPointStep, points);
  cloud.header.stamp = stamp;
  for (std::uint32_t i = 0; i < points; ++i) {
    cloud_builder::PutReturn(cloud, i,
                             {static_cast<float>(i), 1.0f, -static_cast<float>(i), 10.0f + i,
                              static_cast<std::uint16_t>(i % 64), i / 1000.0f});
  }
  return cloud;
}

std::string NumberedCloudReport(int index, double stamp, const std::string& topic,
                                std::uint32_t points) {
  std::string report = CloudLine(index, stamp, topic);
  for (std::uint32_t i = 0; i < points; ++i) {
    if (i >= 10 && i + 10 < points) continue;
    const float x = static_cast<float>(i);
    const double angle = static_cast<double>(atan2f(x, 1.0f) * 180.0f) / 3.141592653;
    report += Format("%6u %10.3f %10.3f %10.3f %10.3f %20.10f %6u %10.3f\n", i, x, 1.0, -x,
                     10.0 + i, static_cast<double>(i / 1000.0f), i % 64, angle);
  }
  return report;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

namespace {

// A cloud of `layout` whose every byte is a varied but finite-looking value.
sensor_msgs::PointCloud2 Scrambled(const cloud_builder::Fields& layout, std::uint32_t point_step,
                                   std::uint32_t width, std::uint32_t height,
                                   std::uint32_t row_step, int stamp) {
  auto cloud = cloud_builder::MakeCloud(layout, point_step, width, height, row_step);
  cloud.header.stamp = ros::Time(stamp, 123456789);
  for (std::size_t i = 0; i < cloud.data.size(); ++i) {
    // Bytes 0x3f/0x40 in the high places keep floats in a readable range.
    cloud.data[i] = (i % 4 == 3) ? 0x40 + (i / 4) % 3 : static_cast<std::uint8_t>(i * 37 + stamp);
  }
  return cloud;
}

}  // namespace

void WriteOddLayouts(rosbag::Bag& bag) {
  using cloud_builder::Field;
  using sensor_msgs::PointField;
  const auto record = cloud_builder::RecordLayout();
  const cloud_builder::Fields packed = cloud_builder::PackedLayoutWithoutRing();
  cloud_builder::Fields gap = record;
  gap.erase(gap.begin() + 4);
  cloud_builder::Fields wide_ring = record;
  wide_ring[4] = Field("ring", 20, PointField::UINT32);
  cloud_builder::Fields double_time = record;
  double_time[5] = Field("time", 24, PointField::FLOAT64);
  cloud_builder::Fields shuffled = {
      Field("time", 0, PointField::FLOAT32), Field("ring", 4, PointField::UINT16),
      Field("x", 8, PointField::FLOAT32),    Field("intensity", 12, PointField::FLOAT32),
      Field("y", 16, PointField::FLOAT32),   Field("z", 20, PointField::FLOAT32)};

  bag.write("/lidar/points", ros::Time(100, 0),
            cloud_builder::MakeSweep(32, 200, ros::Time(100, 5), 1));
  bag.write("/imu", ros::Time(101, 0), sensor_msgs::Imu());
  const std::vector<std::pair<std::string, sensor_msgs::PointCloud2>> odd = {
      {"/packed", Scrambled(packed, 20, 37, 1, 0, 102)},
      {"/gap", Scrambled(gap, 32, 25, 1, 0, 103)},
      {"/wide_ring", Scrambled(wide_ring, 32, 3, 1, 0, 104)},
      {"/double_time", Scrambled(double_time, 32, 30, 1, 0, 105)},
      {"/organized", Scrambled(record, 32, 7, 4, 7 * 32 + 12, 106)},
      {"/shuffled", Scrambled(shuffled, 24, 22, 1, 0, 107)},
      {"/bare", Scrambled({}, 4, 2, 1, 0, 108)}};
  for (const auto& [topic, cloud] : odd) bag.write(topic, cloud.header.stamp, cloud);

  int t = 109;
  auto special = NumberedCloud(6, ros::Time(t, 0));
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  cloud_builder::PutReturn(special, 0, {nan, -nan, inf, -inf, 1, -0.0f});
  cloud_builder::PutReturn(special, 1, {-0.0f, -1.0f, 0, 0, 65535, 1e-7f});
  cloud_builder::PutReturn(special, 2, {-0.0f, 1.0f, 0, 0, 0, 3e38f});
  cloud_builder::PutReturn(special, 3, {1e-30f, -1e30f, 0, 0, 0, 0});
  bag.write("/special/a/topic/longer/than/twenty", ros::Time(t, 0), special);
}

tf2_msgs::TFMessage Transforms(const std::vector<std::pair<std::string, std::string>>& pairs,
                               ros::Time stamp) {
  tf2_msgs::TFMessage message;
  for (const auto& [parent, child] : pairs) {
    geometry_msgs::TransformStamped transform;
    transform.header.stamp = stamp;
    transform.header.frame_id = parent;
    transform.child_frame_id = child;
    transform.transform.rotation.w = 1;
    message.transforms.push_back(transform);
  }
  return message;
}

sensor_msgs::Imu ImuAtRest(ros::Time stamp, double gravity) {
  sensor_msgs::Imu imu;
  imu.header.stamp = stamp;
  imu.header.frame_id = "imu";
  imu.orientation.w = 1;
  imu.linear_acceleration.z = gravity;
  return imu;
}

void WriteRaw(rosbag::Bag& bag, const std::string& topic, ros::Time time, const RawMessage& raw) {
  bag.write(topic, time, raw);
}

}  // namespace test_support
