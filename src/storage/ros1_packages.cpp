// rosbag's Bag builds a plugin loader for the encryption plugins a bag may
// name, and the loader asks ROS's package lookup where rosbag_storage is and
// which plugins it exports. Without a ROS environment that lookup crawls
// every folder under /usr/share for package manifests (some 9,000 stat
// calls, most of a small bag's run), twice per bag. Linked into the
// executable, these two answer for rosbag_storage from its own manifest when
// ROS_PACKAGE_PATH is unset and Debian's manifest is there; every other
// question goes to ROS's own lookup, as before.
#include <ros/package.h>

#include <dlfcn.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace {

const char kPackage[] = "rosbag_storage";
const char kShare[] = "/usr/share/rosbag_storage";

// The plugin file rosbag_storage's manifest exports for rosbag_storage
// itself (<rosbag_storage plugin="${prefix}/..."/>), when the lookup may be
// answered here.
std::optional<std::string> OwnPluginFile() {
  if (std::getenv("ROS_PACKAGE_PATH") != nullptr) return std::nullopt;
  std::ifstream manifest(std::string(kShare) + "/package.xml");
  if (!manifest) return std::nullopt;
  const std::string text{std::istreambuf_iterator<char>(manifest),
                         std::istreambuf_iterator<char>()};
  const std::string element = std::string("<") + kPackage + " plugin=\"";
  const std::size_t at = text.find(element);
  if (at == std::string::npos) return std::nullopt;
  const std::size_t begin = at + element.size(), end = text.find('"', begin);
  if (end == std::string::npos) return std::nullopt;
  std::string file = text.substr(begin, end - begin);
  const std::string prefix = "${prefix}";
  if (file.compare(0, prefix.size(), prefix) == 0) file.replace(0, prefix.size(), kShare);
  return file;
}

template <typename Function>
Function Real(const char* mangled) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, mangled));
}

}  // namespace

namespace ros {
namespace package {

std::string getPath(const std::string& package_name) {
  if (package_name == kPackage && OwnPluginFile()) return kShare;
  using Lookup = std::string (*)(const std::string&);
  static const Lookup real = Real<Lookup>(
      "_ZN3ros7package7getPathERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE");
  return real != nullptr ? real(package_name) : std::string();
}

void getPlugins(const std::string& package, const std::string& attribute, V_string& plugins,
                bool force_recrawl) {
  if (package == kPackage && attribute == "plugin") {
    if (const std::optional<std::string> file = OwnPluginFile()) {
      plugins = {*file};
      return;
    }
  }
  using Lookup = void (*)(const std::string&, const std::string&, V_string&, bool);
  static const Lookup real = Real<Lookup>(
      "_ZN3ros7package10getPluginsERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES8_"
      "RSt6vectorIS6_SaIS6_EEb");
  if (real != nullptr) real(package, attribute, plugins, force_recrawl);
}

}  // namespace package
}  // namespace ros
