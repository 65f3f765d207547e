// How the tool takes its argument and reports what it cannot open.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "test_support.h"

using namespace test_support;

namespace {

std::string OpenFailurePrefix(const std::string& path) {
  return " Bag file open failed, " + path + ", msg = ";
}

// The open failure is one line on stdout naming the whole path, status 1.
void ExpectOpenFailure(const std::string& path) {
  SCOPED_TRACE(path);
  const RunResult run = RunTool({path});
  EXPECT_EQ(run.status, 1);
  ASSERT_EQ(run.out.rfind(OpenFailurePrefix(path), 0), 0u) << run.out;
  EXPECT_EQ(Lines(run.out).size(), 1u) << run.out;
  EXPECT_GT(run.out.size(), OpenFailurePrefix(path).size() + 1)
      << "the library's reason is missing";
  EXPECT_EQ(run.err, "");
}

void WriteOneCloudBag(const std::string& path) {
  WriteBag(path, [](rosbag::Bag& bag) {
    bag.write("/points", ros::Time(5, 0), NumberedCloud(3, ros::Time(4, 500000000)));
  });
}

}  // namespace

TEST(CommandLine, NoArgumentPrintsUsageWithProgramPathAndStatus2) {
  const RunResult run = RunProgram(BAG_CLOUD_DUMP_EXE, {"./some dir/bag_cloud_dump"});
  EXPECT_EQ(run.out, "\n Usage : ./some dir/bag_cloud_dump bagfile\n\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 2);
}

TEST(CommandLine, ArgumentsAfterTheBagAreIgnored) {
  ScratchDir dir;
  WriteOneCloudBag(dir.Path("a.bag"));
  const RunResult alone = RunTool({dir.Path("a.bag")});
  const RunResult extra = RunTool({dir.Path("a.bag"), "--topic", dir.Path("missing.bag")});
  EXPECT_EQ(alone.status, 0);
  EXPECT_EQ(extra.status, 0);
  EXPECT_EQ(extra.out, alone.out);
  EXPECT_EQ(extra.err, alone.err);
}

TEST(CommandLine, UnopenablePathsGiveOneLineAndStatus1) {
  ScratchDir dir;
  ExpectOpenFailure(dir.Path("missing.bag"));
  ExpectOpenFailure(dir.Path(""));  // a directory
  WriteFile(dir.Path("empty.bag"), "");
  ExpectOpenFailure(dir.Path("empty.bag"));
  WriteFile(dir.Path("notes.bag"), "these are field notes, not a recording\n");
  ExpectOpenFailure(dir.Path("notes.bag"));
  WriteFile(dir.Path("v1.bag"), "#ROSBAG V1.2\n");
  ExpectOpenFailure(dir.Path("v1.bag"));
}

TEST(CommandLine, PathsLongerThan255BytesAreUsedWhole) {
  ScratchDir dir;
  std::string folder = dir.Path(std::string(120, 'd'));
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  folder += "/" + std::string(120, 'e');
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  const std::string bag = folder + "/" + std::string(40, 'f') + ".bag";
  ASSERT_GT(bag.size(), 255u);

  ExpectOpenFailure(folder + "/missing-" + std::string(200, 'g') + ".bag");

  WriteOneCloudBag(bag);
  const RunResult run = RunTool({bag});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, NumberedCloudReport(0, 4.5, "/points", 3));
}

TEST(CommandLine, AReportThatCannotBeWrittenFails) {
  ScratchDir dir;
  WriteOneCloudBag(dir.Path("a.bag"));
  const std::string command =
      std::string("'") + BAG_CLOUD_DUMP_EXE + "' '" + dir.Path("a.bag") + "' > /dev/full";
  const RunResult run = RunProgram("/bin/sh", {"sh", "-c", command});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "bag_cloud_dump: cannot write the report: No space left on device\n");
}
