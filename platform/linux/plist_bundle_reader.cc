#include "platform/linux/plist_bundle_reader.h"

#include <plist/plist.h>

#include <cstdint>
#include <memory>

#include "state/watchdog_store.h"

namespace veldane {
namespace {

struct PlistFree {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// A string that holds a NUL (a binary list's UTF-16 text may) names nothing;
// plist_get_string_val() would abort on it.
std::optional<std::string> stringValue(plist_t dict, const char* key) {
  plist_t node = plist_dict_get_item(dict, key);
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  uint64_t length = 0;
  const char* value = plist_get_string_ptr(node, &length);
  if (value == nullptr) return std::nullopt;
  std::string text(value, static_cast<size_t>(length));
  if (text.find('\0') != std::string::npos) return std::nullopt;
  return text;
}

}  // namespace

std::optional<BundleInfo> PlistBundleReader::open(const std::string& bundlePath) {
  std::optional<std::string> data = WatchdogStore::readFile(
      bundlePath + "/Contents/Info.plist", kMaxInfoPlistSize, WatchdogStore::FileLinks::follow);
  if (!data) return std::nullopt;
  return parse(*data);
}

std::optional<BundleInfo> PlistBundleReader::parse(std::string_view data) {
  if (data.empty() || data.size() > kMaxInfoPlistSize) return std::nullopt;
  plist_t root = nullptr;
  plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &root);
  PlistPtr owner(root);
  if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) return std::nullopt;
  BundleInfo info;
  info.identifier = stringValue(root, "CFBundleIdentifier");
  info.executableName = stringValue(root, "CFBundleExecutable");
  return info;
}

BundleReader& systemBundleReader() {
  static PlistBundleReader reader;
  return reader;
}

}  // namespace veldane
