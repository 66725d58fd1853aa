#include "host/proc_self_namespaces.h"

#include <algorithm>
#include <charconv>
#include <span>

#include "platform/linux/proc_status.h"

namespace veldane {
namespace {

constexpr std::string_view kBlanks = " \t";

// Splits off the next blank-separated word; empty at the end of the line.
std::string_view nextWord(std::string_view& line) {
  const size_t start = line.find_first_not_of(kBlanks);
  if (start == std::string_view::npos) {
    line = {};
    return {};
  }
  line.remove_prefix(start);
  const size_t end = std::min(line.find_first_of(kBlanks), line.size());
  const std::string_view word = line.substr(0, end);
  line.remove_prefix(end);
  return word;
}

template <typename T>
std::optional<T> wholeNumber(std::string_view word) {
  T value{};
  const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
  if (word.empty() || error != std::errc() || end != word.data() + word.size()) return std::nullopt;
  return value;
}

}  // namespace

std::vector<int32_t> parseNamespacePids(std::string_view status) {
  const std::span<const int32_t> pids = parseProcStatus(status).nsPid.values();
  return std::vector<int32_t>(pids.begin(), pids.end());
}

std::optional<double> parseMonotonicOffset(std::string_view offsets) {
  for (std::string_view rest = offsets; !rest.empty();) {
    const size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (nextWord(line) != "monotonic") continue;
    const std::optional<int64_t> seconds = wholeNumber<int64_t>(nextWord(line));
    const std::optional<int64_t> nanoseconds = wholeNumber<int64_t>(nextWord(line));
    if (!seconds || !nanoseconds || *nanoseconds < 0 || *nanoseconds > 999'999'999 ||
        !nextWord(line).empty()) {
      return std::nullopt;
    }
    return static_cast<double>(*seconds) + static_cast<double>(*nanoseconds) / 1e9;
  }
  return std::nullopt;
}

}  // namespace veldane
