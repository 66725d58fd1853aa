#include "platform/linux/proc_status.h"

#include <algorithm>
#include <charconv>

#include "platform/linux/proc_words.h"

namespace veldane {
namespace {

using proc_words::nextWord;
using proc_words::wholeNumber;

template <typename T>
std::optional<T> firstNumber(std::string_view line) {
  return wholeNumber<T>(nextWord(line));
}

ProcStatus::NamespacePids namespacePids(std::string_view line) {
  ProcStatus::NamespacePids pids;
  for (std::string_view word = nextWord(line); !word.empty(); word = nextWord(line)) {
    const std::optional<int32_t> pid = wholeNumber<int32_t>(word);
    if (!pid || *pid <= 0 || pids.count == pids.ids.size()) return {};
    pids.ids[pids.count++] = *pid;
  }
  return pids;
}

}  // namespace

ProcStatus parseProcStatus(std::string_view text) {
  ProcStatus status;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, colon);
    std::string_view value = line.substr(colon + 1);
    if (key == "State") {
      const std::string_view word = nextWord(value);
      if (word.size() == 1) status.state = word[0];
    } else if (key == "Tgid") {
      status.tgid = firstNumber<int32_t>(value);
    } else if (key == "TracerPid") {
      status.tracerPid = firstNumber<int32_t>(value);
    } else if (key == "Uid") {
      status.realUid = wholeNumber<uint32_t>(nextWord(value));
      status.effectiveUid = wholeNumber<uint32_t>(nextWord(value));
    } else if (key == "NSpid") {
      status.nsPid = namespacePids(value);
    } else if (key == "NSpgid") {
      status.nsPgid = firstNumber<int32_t>(value);
    } else if (key == "NSsid") {
      status.nsSid = firstNumber<int32_t>(value);
    }
  }
  return status;
}

bool runsWithRightsOf(const ProcStatus& status, uid_t uid) {
  return status.realUid == uid && status.effectiveUid == uid;
}

bool startedBy(const ProcStatus& status, uid_t uid) { return status.realUid == uid; }

}  // namespace veldane
