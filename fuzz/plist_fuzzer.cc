// Fuzzes the reading of a bundle's Info.plist: any bytes, as XML or binary
// property list, and the round trip of what it names through the binary form.
#include <plist/plist.h>
#include <utf8proc.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "platform/linux/plist_bundle_reader.h"

namespace veldane {
namespace {

bool isUtf8(const std::string& text) {
  const auto* data = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  auto left = static_cast<utf8proc_ssize_t>(text.size());
  while (left > 0) {
    utf8proc_int32_t codepoint = 0;
    const utf8proc_ssize_t used = utf8proc_iterate(data, left, &codepoint);
    if (used < 1) return false;
    data += used;
    left -= used;
  }
  return true;
}

// The binary property list that a packager would write with these values.
std::string binaryPlist(const BundleInfo& info) {
  plist_t dict = plist_new_dict();
  if (info.identifier) {
    plist_dict_set_item(dict, "CFBundleIdentifier", plist_new_string(info.identifier->c_str()));
  }
  if (info.executableName) {
    plist_dict_set_item(dict, "CFBundleExecutable", plist_new_string(info.executableName->c_str()));
  }
  char* data = nullptr;
  uint32_t length = 0;
  plist_to_bin(dict, &data, &length);
  plist_free(dict);
  std::string bytes = data ? std::string(data, length) : std::string();
  plist_to_bin_free(data);
  return bytes;
}

}  // namespace
}  // namespace veldane

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace veldane;
  std::optional<BundleInfo> info =
      PlistBundleReader::parse(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!info) return 0;
  // Texts come out of the library as C strings.
  for (const std::optional<std::string>* text : {&info->identifier, &info->executableName}) {
    if (*text) FUZZ_CHECK((*text)->find('\0') == std::string::npos);
  }
  if ((info->identifier && !isUtf8(*info->identifier)) ||
      (info->executableName && !isUtf8(*info->executableName))) {
    return 0;
  }
  FUZZ_CHECK(PlistBundleReader::parse(binaryPlist(*info)) == info);
  return 0;
}
