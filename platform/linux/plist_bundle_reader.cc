#include "platform/linux/plist_bundle_reader.h"

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "state/watchdog_store.h"

namespace veldane {
namespace {

struct PlistFree {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

std::optional<std::string> stringValue(plist_t dict, const char* key) {
  plist_t node = plist_dict_get_item(dict, key);
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  char* value = nullptr;
  plist_get_string_val(node, &value);
  if (value == nullptr) return std::nullopt;
  std::string text(value);
  free(value);
  return text;
}

}  // namespace

std::optional<BundleInfo> PlistBundleReader::open(const std::string& bundlePath) {
  std::optional<std::string> data =
      WatchdogStore::readFile(bundlePath + "/Contents/Info.plist", kMaxInfoPlistSize);
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
