// Bags that open but go bad part way: the report so far stays, the reason is
// on stderr, the status says it failed.
#include <gtest/gtest.h>

#include "test_support.h"

using namespace test_support;

namespace {

// Offset of the n-th (0-based) occurrence of `needle` in `bytes`.
std::size_t NthOffset(const std::string& bytes, const std::string& needle, int n) {
  std::size_t at = bytes.find(needle);
  for (int i = 0; i < n && at != std::string::npos; ++i) at = bytes.find(needle, at + 1);
  if (at == std::string::npos) throw std::runtime_error("pattern not found");
  return at;
}

}  // namespace

TEST(DamagedInput, CorruptMessageMidBagKeepsEarlierCloudsAndFails) {
  ScratchDir dir;
  const std::string path = dir.Path("t.bag");
  WriteBag(path, [](rosbag::Bag& bag) {
    for (int i = 0; i < 3; ++i)
      bag.write("/points", ros::Time(1 + i, 0), NumberedCloud(2, ros::Time(1 + i, 0)));
  });
  // Give the second cloud's frame_id a length far beyond its record; the
  // bag's index stays intact.
  std::string bytes = ReadFile(path);
  const std::string frame_id("\x05\0\0\0lidar", 9);
  bytes.replace(NthOffset(bytes, frame_id, 1), 4, "\xff\xff\xff\x7f");
  WriteFile(path, bytes);

  const RunResult run = RunTool({path});
  EXPECT_EQ(run.out, NumberedCloudReport(0, 1, "/points", 2));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
  EXPECT_EQ(run.err.rfind("bag_cloud_dump: failed to read '" + path + "' after 1 cloud: ", 0), 0u)
      << run.err;
}
