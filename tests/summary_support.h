// Helpers of the summary's tests: clouds of any layout filled point by point,
// bags of them written and summarized, the JSON parsed back.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "test_support.h"

namespace summary_support {

using namespace test_support;
using cloud_builder::Field;
using nlohmann::json;
using sensor_msgs::PointField;

using Values = std::map<std::string, double>;
inline const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Writes `value` into point i's field `name`, in the field's own datatype.
inline void PutAs(sensor_msgs::PointCloud2& cloud, std::uint32_t i, const std::string& name,
                  double value) {
  for (const PointField& f : cloud.fields) {
    if (f.name != name) continue;
    switch (f.datatype) {
      case PointField::UINT8:
        return cloud_builder::Put(cloud, i, f.offset, std::uint8_t(value));
      case PointField::UINT16:
        return cloud_builder::Put(cloud, i, f.offset, std::uint16_t(value));
      case PointField::UINT32:
        return cloud_builder::Put(cloud, i, f.offset, std::uint32_t(value));
      case PointField::FLOAT32:
        return cloud_builder::Put(cloud, i, f.offset, float(value));
      case PointField::FLOAT64:
        return cloud_builder::Put(cloud, i, f.offset, value);
      default:
        throw std::logic_error("PutAs: datatype not used by the tests");
    }
  }
}

// Point i of a four-ring sweep: x = i + 1, y = 1, z = 0, intensity i, ring
// i % 4, time i x 25 ms; `change` overrides some of them.
inline Values Sweep(std::uint32_t i) {
  return {{"x", i + 1.0},          {"y", 1},           {"z", 0}, {"intensity", double(i)},
          {"ring", double(i % 4)}, {"time", i * 0.025}};
}

struct CloudRecipe {
  cloud_builder::Fields layout = cloud_builder::RecordLayout();
  std::uint32_t point_step = cloud_builder::kRecordPointStep;
  std::uint32_t points = 4;
  std::function<Values(std::uint32_t)> fill = Sweep;
};

inline CloudRecipe Filled(std::function<Values(std::uint32_t)> fill) {
  CloudRecipe recipe;
  recipe.fill = std::move(fill);
  return recipe;
}

// Clouds of one recipe differ in the padding after their last field (the
// stamp goes there), so that they do not repeat one another byte for byte.
inline sensor_msgs::PointCloud2 MakeCloud(const CloudRecipe& recipe, double stamp) {
  auto cloud = cloud_builder::MakeCloud(recipe.layout, recipe.point_step, recipe.points);
  cloud.header.stamp.fromSec(stamp);
  for (std::uint32_t i = 0; i < recipe.points; ++i) {
    for (const auto& [name, value] : recipe.fill(i)) PutAs(cloud, i, name, value);
  }
  std::uint32_t end = 0;
  for (const PointField& f : cloud.fields) {
    const std::uint32_t sizes[] = {8, 1, 1, 2, 2, 4, 4, 4, 8};  // unknown datatypes: 8
    end = std::max(end, f.offset + sizes[f.datatype <= 8 ? f.datatype : 0]);
  }
  if (recipe.points > 0 && end + 4 <= recipe.point_step) {
    cloud_builder::Put(cloud, 0, recipe.point_step - 4, static_cast<float>(stamp));
  }
  return cloud;
}

struct Written {
  std::string topic;
  double recorded;
  sensor_msgs::PointCloud2 cloud;
};

// Ten clouds of `recipe` at 10 Hz, recorded 10 ms after their stamps.
inline std::vector<Written> TenSweeps(const CloudRecipe& recipe = CloudRecipe(),
                                      const char* topic = "/p") {
  std::vector<Written> clouds;
  for (int i = 0; i < 10; ++i) {
    clouds.push_back({topic, 100 + i * 0.1 + 0.01, MakeCloud(recipe, 100 + i * 0.1)});
  }
  return clouds;
}

struct Summary {
  json document;
  RunResult run;
};

inline Summary Summarize(const std::vector<Written>& clouds, std::vector<std::string> args = {}) {
  ScratchDir dir;
  WriteBag(dir.Path("t.bag"), [&](rosbag::Bag& bag) {
    for (const Written& w : clouds) bag.write(w.topic, ros::Time(w.recorded), w.cloud);
  });
  args.insert(args.begin(), {"--json", "-"});
  args.push_back(dir.Path("t.bag"));
  Summary summary{json(), RunTool(args)};
  summary.document = json::parse(summary.run.out);
  return summary;
}

// The problem codes of a topic.
inline std::vector<std::string> Codes(const json& topic) {
  std::vector<std::string> codes;
  for (const json& problem : topic["problems"]) codes.push_back(problem["code"]);
  return codes;
}

// Every key of `expected` has its value in `actual`.
inline void ExpectSubset(const json& actual, const json& expected) {
  for (auto it = expected.begin(); it != expected.end(); ++it) {
    EXPECT_EQ(actual[it.key()], it.value()) << it.key() << " in " << actual.dump();
  }
}

// Layouts of sensors other than the record's: a radar target list, an RGB-D
// camera, a lidar with its point time in two integer fields, bare points.
inline cloud_builder::Fields LayoutOf(std::vector<std::pair<const char*, std::uint8_t>> named) {
  cloud_builder::Fields fields;
  std::uint32_t offset = 0;
  for (const auto& [name, datatype] : named) {
    fields.push_back(Field(name, offset, datatype));
    offset += datatype == PointField::FLOAT64 ? 8 : 4;
  }
  return fields;
}

inline const std::uint8_t kF32 = PointField::FLOAT32, kU32 = PointField::UINT32;

inline CloudRecipe RecipeOf(
    cloud_builder::Fields layout, std::function<Values(std::uint32_t)> fill = [](std::uint32_t i) {
      return Values{{"x", i + 1.0}, {"y", 1}};
    }) {
  return {std::move(layout), 32, 4, std::move(fill)};
}

}  // namespace summary_support
