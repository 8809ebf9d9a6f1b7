#include "platform/foundation/Bundle.h"

#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <limits>
#include <string_view>

namespace foundation {
namespace {

std::string parentOf(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string_view lastComponent(std::string_view path) {
  auto slash = path.find_last_of('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

struct PlistDeleter {
  void operator()(plist_t node) const { plist_free(node); }
};
using ScopedPlist = std::unique_ptr<void, PlistDeleter>;

}  // namespace

std::shared_ptr<const NSBundle> NSBundle::mainBundle() {
  static const std::shared_ptr<const NSBundle> main = []() -> std::shared_ptr<const NSBundle> {
    std::string buffer(4096, '\0');
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0 || static_cast<size_t>(n) >= buffer.size()) return nullptr;
    buffer.resize(static_cast<size_t>(n));
    return bundleForExecutable(buffer);
  }();
  return main;
}

std::shared_ptr<const NSBundle> NSBundle::bundleWithPath(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  return std::make_shared<const NSBundle>(trimmed);
}

std::shared_ptr<const NSBundle> NSBundle::bundleForExecutable(const std::string& executablePath) {
  std::string macosDir = parentOf(executablePath);
  std::string contentsDir = parentOf(macosDir);
  if (lastComponent(macosDir) == "MacOS" && lastComponent(contentsDir) == "Contents") {
    return std::make_shared<const NSBundle>(parentOf(contentsDir));
  }
  return std::make_shared<const NSBundle>(macosDir, /*flat=*/true);
}

NSBundle::NSBundle(std::string bundlePath, bool flat)
    : bundlePath_(std::move(bundlePath)), flat_(flat) {}

std::string NSBundle::resourcePath() const {
  return flat_ ? bundlePath_ : bundlePath_ + "/Contents/Resources";
}

std::optional<std::string> NSBundle::bundleIdentifier() const {
  std::ifstream in(bundlePath_ + "/Contents/Info.plist", std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;

  plist_t raw = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
  ScopedPlist root(raw);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;
  plist_t node = plist_dict_get_item(root.get(), "CFBundleIdentifier");
  if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  uint64_t length = 0;
  const char* value = plist_get_string_ptr(node, &length);
  if (!value) return std::nullopt;
  return std::string(value, static_cast<size_t>(length));
}

std::optional<std::string> NSBundle::pathForResource(const std::string& name,
                                                     const std::string& type) const {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      type.find('/') != std::string::npos) {
    return std::nullopt;
  }
  std::string path = resourcePath() + "/" + name;
  if (!type.empty()) path += "." + type;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return std::nullopt;
  return path;
}

}  // namespace foundation
