// Fuzzes the path helpers and the text comparison with any bytes as a path.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "state/unicode_text.h"
#include "state/watchdog_files.h"

namespace veldane {
namespace {

// Absolute, no empty, "." or ".." component, no trailing slash but for "/".
bool isCanonical(std::string_view path) {
  if (path == "/") return true;
  if (!path.starts_with('/') || path.ends_with('/')) return false;
  for (size_t start = 1; start <= path.size();) {
    size_t end = std::min(path.find('/', start), path.size());
    std::string_view component = path.substr(start, end - start);
    if (component.empty() || component == "." || component == "..") return false;
    start = end + 1;
  }
  return true;
}

// The library's lexical normalisation, which normalized() must agree with.
std::string reference(std::string_view path) {
  std::filesystem::path absolute(path);
  std::error_code error;
  std::filesystem::path workingDirectory = std::filesystem::current_path(error);
  if (error) workingDirectory = "/";
  if (!absolute.is_absolute()) absolute = workingDirectory / absolute;
  std::string text = absolute.lexically_normal().string();
  while (text.size() >= 2 && text.back() == '/') text.pop_back();
  return text;
}

}  // namespace
}  // namespace veldane

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace veldane;
  std::string_view input(reinterpret_cast<const char*>(data), size);

  std::string path = WatchdogFiles::normalized(input);
  FUZZ_CHECK(isCanonical(path));
  FUZZ_CHECK(WatchdogFiles::normalized(path) == path);
  FUZZ_CHECK(WatchdogFiles::isNormalized(path));
  FUZZ_CHECK(WatchdogFiles::isNormalized(input) == (input == path));
  FUZZ_CHECK(path == reference(input));

  std::optional<std::string> bundle = WatchdogFiles::hostBundlePath(input);
  FUZZ_CHECK(bundle == WatchdogFiles::hostBundlePath(path));
  if (bundle) FUZZ_CHECK(bundle->ends_with(".app") && isCanonical(*bundle));

  WatchdogFiles files = WatchdogFiles::forBundle("/support", "id", std::string(input));
  FUZZ_CHECK(files.directory().filename() == WatchdogFiles::hashName(WatchdogFiles::fnv1a(path)));

  // The first line against the rest, so that the fuzzer controls both texts.
  size_t split = std::min(input.find('\n'), input.size());
  std::string_view a = input.substr(0, split), b = input.substr(std::min(split + 1, size));
  FUZZ_CHECK(UnicodeText::equal(a, a));
  FUZZ_CHECK(UnicodeText::equal(a, b) == UnicodeText::equal(b, a));
  return 0;
}
