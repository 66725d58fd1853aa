#include "host/proc_self_namespaces.h"

#include <span>

#include "platform/linux/proc_status.h"
#include "platform/linux/proc_words.h"

namespace veldane {

using proc_words::nextWord;
using proc_words::wholeNumber;

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
