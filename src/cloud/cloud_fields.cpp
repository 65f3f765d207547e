#include "cloud/cloud_fields.h"

#include "cloud/Lidar64PointXYZIRT.h"

#include <pcl/for_each_type.h>

namespace {

struct MemberMatcher {
  const std::vector<pcl::PCLPointField>& fields;
  std::vector<MemberMatch>& matches;

  template <typename Tag>
  void operator()() {
    MemberMatch match{pcl::traits::name<PointCloudXYZIRT, Tag>::value,
                      pcl::traits::offset<PointCloudXYZIRT, Tag>::value,
                      sizeof(typename pcl::traits::datatype<PointCloudXYZIRT, Tag>::type), -1};
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (pcl::FieldMatches<PointCloudXYZIRT, Tag>()(fields[i])) {
        match.field = static_cast<int>(i);
        break;
      }
    }
    matches.push_back(match);
  }
};

}  // namespace

std::vector<MemberMatch> MatchMembers(const std::vector<pcl::PCLPointField>& fields) {
  std::vector<MemberMatch> matches;
  pcl::for_each_type<pcl::traits::fieldList<PointCloudXYZIRT>::type>(
      MemberMatcher{fields, matches});
  return matches;
}

std::string LayoutKey(const sensor_msgs::PointCloud2& cloud) {
  std::string key = std::to_string(cloud.point_step) + "/" + std::to_string(cloud.is_bigendian);
  for (const auto& field : cloud.fields) {
    key += "/" + field.name + ":" + std::to_string(field.offset) + ":" +
           std::to_string(field.datatype) + ":" + std::to_string(field.count);
  }
  return key;
}
