// The timeline of a walk (--timeline): one picture, the gaps marked where
// they are.
#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>

#include "test_support.h"

using namespace test_support;

namespace {

struct Picture {
  unsigned width = 0, height = 0;
  std::vector<std::uint8_t> rgb;
  std::map<std::string, std::string> text;
  unsigned Pixel(unsigned x, unsigned y) const {
    const std::size_t at = (std::size_t{y} * width + x) * 3;
    return rgb[at] << 16 | rgb[at + 1] << 8 | rgb[at + 2];
  }
};

Picture ReadPicture(const std::string& path) {
  Picture picture;
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) throw std::runtime_error("cannot open " + path);
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    throw std::runtime_error("libpng cannot read " + path);
  }
  png_init_io(png, file);
  png_read_info(png, info);
  picture.width = png_get_image_width(png, info);
  picture.height = png_get_image_height(png, info);
  EXPECT_EQ(png_get_color_type(png, info), PNG_COLOR_TYPE_RGB);
  picture.rgb.resize(std::size_t{picture.width} * picture.height * 3);
  for (unsigned y = 0; y < picture.height; ++y) {
    png_read_row(png, &picture.rgb[std::size_t{y} * picture.width * 3], nullptr);
  }
  png_read_end(png, info);
  png_textp text = nullptr;
  const int count = png_get_text(png, info, &text, nullptr);
  for (int i = 0; i < count; ++i) picture.text[text[i].key] = text[i].text;
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(file);
  return picture;
}

}  // namespace

// The numbers a text chunk gives after `key`, e.g. "x 86 to 883".
std::vector<double> NumbersAfter(const std::string& text, const std::string& key) {
  std::vector<double> numbers;
  std::size_t at = text.find(key);
  if (at == std::string::npos) return numbers;
  const char* p = text.c_str() + at + key.size();
  for (int i = 0; i < 4; ++i) {
    while (*p != '\0' && !(*p >= '0' && *p <= '9') && *p != ',' && *p != ';') ++p;
    if (*p == '\0' || *p == ',' || *p == ';') break;
    char* end = nullptr;
    numbers.push_back(std::strtod(p, &end));
    p = end;
  }
  return numbers;
}

TEST(Timeline, GapsAreMarkedAtTheirTimeAndNowhereElse) {
  const struct {
    int clouds;
    int width;
  } cases[] = {{60, 900}, {3000, 300}};  // one column a cloud; ten clouds a column
  for (const auto& c : cases) {
    ScratchDir dir;
    const int dropped = c.clouds / 2;
    WriteBag(dir.Path("t.bag"), [&](rosbag::Bag& bag) {
      for (int i = 0; i < c.clouds; ++i) {
        if (i == dropped) continue;
        const double stamp = 100 + i * 0.1;
        bag.write("/p", ros::Time(stamp + 0.02), NumberedCloud(4, ros::Time(stamp)));
      }
    });
    const std::string png = dir.Path("timeline.png");
    const RunResult run = RunTool({"-n", "0", "--timeline", png, "--timeline-width",
                                   std::to_string(c.width), dir.Path("t.bag")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    Picture picture = ReadPicture(png);
    EXPECT_EQ(picture.width, static_cast<unsigned>(c.width));
    EXPECT_EQ(picture.height, 452u);
    // Where the plot and the stamp strip are, as the picture says itself.
    const std::vector<double> plot = NumbersAfter(picture.text["Plot"], "x");
    const std::vector<double> strip = NumbersAfter(picture.text["Strips"], "interval ms y");
    ASSERT_EQ(plot.size(), 4u) << picture.text["Plot"];
    ASSERT_EQ(strip.size(), 2u) << picture.text["Strips"];
    const double start = 100.02, span = (c.clouds - 1) * 0.1;
    const double gap_at = 100.02 + (dropped + 1) * 0.1;  // the cloud after the gap
    const int expected =
        static_cast<int>(plot[0] + std::floor((gap_at - start) / span * (plot[1] - plot[0])));
    EXPECT_NEAR(plot[3], span, 1e-6);
    int marked = 0;
    for (unsigned y = 0; y < picture.height; ++y) {
      for (unsigned x = 0; x < picture.width; ++x) {
        const unsigned pixel = picture.Pixel(x, y);
        EXPECT_NE(pixel, 0xB000D0u) << "a backward marker at " << x << "," << y;
        if (pixel != 0xE0101Au) continue;
        ++marked;
        EXPECT_GE(y, strip[0]);
        EXPECT_LE(y, strip[1]);
        EXPECT_GE(static_cast<int>(x), expected - 1) << c.clouds;
        EXPECT_LE(static_cast<int>(x), expected + 2) << c.clouds;
      }
    }
    EXPECT_GT(marked, 0) << c.clouds;
  }
}

TEST(Timeline, OneCloudNoCloudAndUnwritableFile) {
  ScratchDir dir;
  WriteBag(dir.Path("one.bag"),
           [](rosbag::Bag& bag) { bag.write("/p", ros::Time(5), NumberedCloud(3, ros::Time(5))); });
  WriteBag(dir.Path("none.bag"), [](rosbag::Bag& bag) {
    bag.write("/status", ros::Time(5), sensor_msgs::PointCloud2().header);
  });
  for (const char* bag : {"one.bag", "none.bag"}) {
    const std::string png = dir.Path(std::string(bag) + ".png");
    const RunResult run = RunTool({"--timeline", png, dir.Path(bag)});
    EXPECT_EQ(run.status, 0) << bag << run.err;
    Picture picture = ReadPicture(png);
    EXPECT_EQ(picture.width, 2000u);
    EXPECT_EQ(picture.text["Duration"], "0.0 s");
  }
  const RunResult blocked =
      RunTool({"--timeline", dir.Path("no/such/dir/t.png"), dir.Path("one.bag")});
  EXPECT_EQ(blocked.out, "");
  EXPECT_EQ(blocked.err, "bag_cloud_dump: no timeline: cannot write '" +
                             dir.Path("no/such/dir/t.png") + "': No such file or directory\n");
  EXPECT_EQ(blocked.status, 1);
}
