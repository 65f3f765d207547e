// Pictures of sweeps (--image) and the progress line.
#include "test_support.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <cstdlib>
#include <limits>

using namespace test_support;
using cloud_builder::Field;
using sensor_msgs::PointField;

namespace {

struct Png {
  unsigned width = 0, height = 0;
  std::vector<std::uint8_t> rgb;
  bool Black(unsigned row, unsigned column) const { return Pixel(row, column) == 0; }
  bool Grey(unsigned row, unsigned column) const { return Pixel(row, column) == 0x808080; }
  std::uint32_t Pixel(unsigned row, unsigned column) const {
    const std::size_t at = (std::size_t{row} * width + column) * 3;
    return rgb[at] << 16 | rgb[at + 1] << 8 | rgb[at + 2];
  }
};

Png ReadPng(const std::string& path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) {
    throw std::runtime_error(path + ": " + image.message);
  }
  image.format = PNG_FORMAT_RGB;
  Png png;
  png.width = image.width;
  png.height = image.height;
  png.rgb.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, png.rgb.data(), 0, nullptr)) {
    throw std::runtime_error(path + ": " + image.message);
  }
  return png;
}

// Rings 0-15 at one degree steps of azimuth, 10 m away, column k at
// -180 + k degrees; ring 5 is dead and 90 to 119 degrees are blocked.
sensor_msgs::PointCloud2 DamagedSweep() {
  std::vector<cloud_builder::LidarReturn> points;
  for (int column = 0; column < 360; ++column) {
    const double azimuth = -180.0 + column;
    if (azimuth >= 90 && azimuth < 120) continue;
    for (std::uint16_t ring = 0; ring < 16; ++ring) {
      if (ring == 5) continue;
      const double a = azimuth * M_PI / 180.0, e = (ring - 8) * M_PI / 180.0;
      points.push_back({static_cast<float>(10 * std::cos(e) * std::sin(a)),
                        static_cast<float>(10 * std::cos(e) * std::cos(a)),
                        static_cast<float>(10 * std::sin(e)), 1.0f, ring, 0.0f});
    }
  }
  auto cloud = cloud_builder::MakeCloud(cloud_builder::RecordLayout(), 32,
                                        static_cast<std::uint32_t>(points.size()));
  for (std::uint32_t i = 0; i < points.size(); ++i) cloud_builder::PutReturn(cloud, i, points[i]);
  cloud.header.stamp = ros::Time(1, 2);
  return cloud;
}

}  // namespace

TEST(Image, DeadRingAndBlockedSectorAreBlack) {
  ScratchDir dir;
  WriteBag(dir.Path("t.bag"), [](rosbag::Bag& bag) {
    bag.write("/lidar/top points", ros::Time(1, 0), DamagedSweep());
  });
  const RunResult plain = RunTool({dir.Path("t.bag")});
  const RunResult run =
      RunTool({"--image", dir.Path("out/images"), "--image-width", "360", dir.Path("t.bag")});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, plain.out);
  EXPECT_EQ(run.err, "");

  const Png png = ReadPng(dir.Path("out/images/000000_lidar_top_points_1.000000002.png"));
  ASSERT_EQ(png.width, 360u);
  ASSERT_EQ(png.height, 16u);
  for (unsigned row = 0; row < 16; ++row) {
    for (unsigned column = 0; column < 360; ++column) {
      const bool blocked = column >= 270 && column < 300;
      EXPECT_EQ(png.Black(row, column), row == 5 || blocked) << row << "," << column;
    }
  }
}

TEST(Image, WithoutUsableRingRowsAreElevationBins) {
  ScratchDir dir;
  auto cloud = DamagedSweep();
  cloud.fields.erase(cloud.fields.begin() + 4);  // ring gone, bytes 20-21 still copied
  WriteBag(dir.Path("t.bag"), [&](rosbag::Bag& bag) {
    bag.write("/a", ros::Time(1, 0), cloud);
    bag.write("/a", ros::Time(2, 0), cloud);
  });
  const RunResult run = RunTool({"-n", "0", "-i", dir.Path("img"), dir.Path("t.bag")});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err,
            "Failed to find match for field 'ring'.\n"
            "bag_cloud_dump: /a has no usable ring field; its images have elevation bins as rows\n"
            "Failed to find match for field 'ring'.\n");
  const Png png = ReadPng(dir.Path("img/000001_a_1.000000002.png"));
  EXPECT_EQ(png.width, 1800u);
  EXPECT_EQ(png.height, 64u);
}

TEST(Image, NonFinitePointsAreGrey) {
  ScratchDir dir;
  auto cloud = NumberedCloud(40, ros::Time(3, 0));
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (std::uint32_t i = 0; i < 40; ++i) {
    cloud_builder::PutReturn(cloud, i, {nan, nan, nan, 0, static_cast<std::uint16_t>(i % 4), 0});
  }
  WriteBag(dir.Path("t.bag"), [&](rosbag::Bag& bag) { bag.write("/n", ros::Time(3, 0), cloud); });
  ASSERT_EQ(RunTool({"-i", dir.Path("img"), "--image-width", "10", dir.Path("t.bag")}).status, 0);
  const Png png = ReadPng(dir.Path("img/000000_n_3.000000000.png"));
  ASSERT_EQ(png.height, 4u);
  for (unsigned row = 0; row < 4; ++row) {
    for (unsigned column = 0; column < 10; ++column) EXPECT_TRUE(png.Grey(row, column));
  }
}

// FNV-1a of a picture's size and pixels.
std::uint64_t PixelDigest(const Png& png) {
  std::uint64_t hash = 1469598103934665603ull;
  auto add = [&hash](std::uint8_t byte) { hash = (hash ^ byte) * 1099511628211ull; };
  for (unsigned value : {png.width, png.height}) {
    for (int shift = 0; shift < 32; shift += 8) add(static_cast<std::uint8_t>(value >> shift));
  }
  for (std::uint8_t byte : png.rgb) add(byte);
  return hash;
}

// The pictures of full sweeps with NaN and zero returns mixed in, by ring and
// by elevation, and of an empty cloud, hold exactly the pixels the first,
// straightforward painting code made (its digests are kept here): only the
// compressed bytes may change when the painting gets faster.
TEST(Image, PixelsStayThoseOfTheFirstPaintingCode) {
  ScratchDir dir;
  auto sweep = cloud_builder::MakeSweep(64, 900, ros::Time(5, 0), 1);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (std::uint32_t i = 0; i < 64 * 900; i += 97) {
    cloud_builder::PutReturn(sweep, i, {nan, 1, 2, 3, static_cast<std::uint16_t>(i % 64), 0.05f});
    cloud_builder::PutReturn(sweep, i + 13, {0, 0, 0, 3, static_cast<std::uint16_t>(i % 64), 0});
  }
  auto unringed = sweep;  // the same points, every ring 7: rows become elevation bins
  unringed.header.stamp = ros::Time(6, 0);
  for (std::uint32_t i = 0; i < 64 * 900; ++i)
    cloud_builder::Put<std::uint16_t>(unringed, i, 20, 7);
  WriteBag(dir.Path("t.bag"), [&](rosbag::Bag& bag) {
    bag.write("/a", ros::Time(5, 0), sweep);
    bag.write("/b", ros::Time(6, 0), unringed);
    bag.write("/c", ros::Time(7, 0), NumberedCloud(0, ros::Time(7, 0)));
  });
  const RunResult run = RunTool({"-i", dir.Path("img"), "--image-width", "700", "--image-range",
                                 "2:60", "-n", "0", dir.Path("t.bag")});
  ASSERT_EQ(run.status, 0) << run.err;
  const struct {
    const char* file;
    std::uint64_t digest;
  } expected[] = {{"000000_a_5.000000000.png", 12711872745982784350ull},
                  {"000001_b_6.000000000.png", 16443965193519946675ull},
                  {"000002_c_7.000000000.png", 5558148431500215172ull}};
  for (const auto& picture : expected) {
    EXPECT_EQ(PixelDigest(ReadPng(dir.Path("img/") + picture.file)), picture.digest)
        << picture.file;
  }
}

// Ranges swept finely over the whole colour scale and azimuths over every
// column edge: the colours and columns, however they are computed, stay those
// of the first painting code.
TEST(Image, ColoursAndColumnsStayThoseOfTheFirstPaintingCodeAcrossTheScale) {
  ScratchDir dir;
  const std::uint32_t points = 64 * 3000;
  auto sweep = cloud_builder::MakeCloud(cloud_builder::RecordLayout(), 32, points);
  sweep.header.stamp = ros::Time(5, 0);
  for (std::uint32_t i = 0; i < points; ++i) {
    const double range = 1.5 + 59.0 * i / points;
    const double azimuth = 2 * M_PI * (i / 64) / 3000.0 - M_PI;  // about 0.6 columns a step
    cloud_builder::PutReturn(sweep, i,
                             {static_cast<float>(range * std::sin(azimuth)),
                              static_cast<float>(range * std::cos(azimuth)), 0, 0,
                              static_cast<std::uint16_t>(i % 64), 0});
  }
  WriteBag(dir.Path("t.bag"), [&](rosbag::Bag& bag) { bag.write("/a", ros::Time(5, 0), sweep); });
  const RunResult run = RunTool({"-i", dir.Path("img"), "--image-width", "1800", "--image-range",
                                 "2:60", "-n", "0", dir.Path("t.bag")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(PixelDigest(ReadPng(dir.Path("img/000000_a_5.000000000.png"))),
            11527323471604341035ull);
}

// Pictures are written on a second thread: none may be lost, swapped with
// another cloud's, or fail without a word.
TEST(Image, ManyCloudsKeepTheirOwnPicturesAndFailuresAreTold) {
  ScratchDir dir;
  const int clouds = 120;
  // Cloud i spans i % 7 + 2 rings, so its picture has that many rows.
  WriteBag(dir.Path("t.bag"), [&](rosbag::Bag& bag) {
    for (int i = 0; i < clouds; ++i) {
      auto cloud = NumberedCloud(40, ros::Time(10 + i, 0));
      for (std::uint32_t p = 0; p < 40; ++p) {
        cloud_builder::Put<std::uint16_t>(cloud, p, 20,
                                          static_cast<std::uint16_t>(p % (i % 7 + 2)));
      }
      bag.write("/p", ros::Time(10 + i, 0), cloud);
    }
  });
  auto name = [](int i) {
    char text[64];
    std::snprintf(text, sizeof text, "%06d_p_%d.000000000.png", i, 10 + i);
    return std::string(text);
  };
  // One picture cannot be written: a folder stands where it goes.
  ASSERT_EQ(system(("mkdir -p " + dir.Path("img/") + name(57)).c_str()), 0);
  const RunResult run =
      RunTool({"-i", dir.Path("img"), "--image-width", "16", "-n", "1", dir.Path("t.bag")});
  EXPECT_EQ(run.out, RunTool({"-n", "1", dir.Path("t.bag")}).out);
  EXPECT_EQ(run.err, "bag_cloud_dump: cannot write the image of cloud 57: " + dir.Path("img/") +
                         name(57) + ": Is a directory\n");
  EXPECT_EQ(run.status, 1);
  for (int i = 0; i < clouds; ++i) {
    if (i == 57) continue;
    EXPECT_EQ(ReadPng(dir.Path("img/") + name(i)).height, static_cast<unsigned>(i % 7 + 2)) << i;
  }
}

TEST(Image, UnwritableFolderStopsBeforeTheWalk) {
  ScratchDir dir;
  WriteFile(dir.Path("file.txt"), "not a folder");
  const RunResult run = RunTool({"-i", dir.Path("file.txt/images"), dir.Path("missing.bag")});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "bag_cloud_dump: no images: cannot create '" + dir.Path("file.txt/images") +
                         "': Not a directory\n");
}

TEST(Progress, ShownOnATerminalAndClearedLeavingStdoutAlone) {
  ScratchDir dir;
  const std::string bag = dir.Path("t.bag");
  WriteBag(bag, [](rosbag::Bag& bag) {
    for (int i = 1; i <= 3; ++i)
      bag.write("/p", ros::Time(i, 0), NumberedCloud(2, ros::Time(i, 0)));
  });
  const RunResult plain = RunTool({bag});
  EXPECT_EQ(plain.err, "");  // stderr is not a terminal: no progress

  // Under a pseudo-terminal, with the report going to a file.
  const auto command = [&](const std::string& option) {
    return std::string("'") + BAG_CLOUD_DUMP_EXE + "' " + option + " '" + bag + "' > '" +
           dir.Path("report.txt") + "'";
  };
  const RunResult terminal =
      RunProgram("/usr/bin/script", {"script", "-qec", command(""), "/dev/null"});
  EXPECT_EQ(terminal.status, 0);
  EXPECT_NE(terminal.out.find("% of 3 messages, "), std::string::npos) << terminal.out;
  EXPECT_EQ(terminal.out.substr(terminal.out.size() - 4), "\r\033[K") << terminal.out;
  EXPECT_EQ(ReadFile(dir.Path("report.txt")), plain.out);

  const RunResult quiet =
      RunProgram("/usr/bin/script", {"script", "-qec", command("--no-progress"), "/dev/null"});
  EXPECT_EQ(quiet.out.find("messages"), std::string::npos);

  const RunResult forced = RunTool({"--progress", bag});
  EXPECT_EQ(forced.out, plain.out);
  EXPECT_EQ(forced.err.rfind("\r 33% of 3 messages, 0 clouds, ", 0), 0u) << forced.err;
  EXPECT_EQ(forced.err.substr(forced.err.size() - 4), "\r\033[K");
}
