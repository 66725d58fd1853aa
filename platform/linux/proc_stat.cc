#include "platform/linux/proc_stat.h"

#include "platform/linux/proc_words.h"

namespace veldane {

// The name sits in parentheses and may hold anything, so the fields are
// counted from its last ")".
std::optional<ProcStat> parseProcStat(std::string_view text) {
  const size_t open = text.find('(');
  const size_t close = text.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
    return std::nullopt;
  }
  ProcStat stat;
  stat.name = text.substr(open + 1, close - open - 1);
  std::string_view rest = text.substr(close + 1);
  rest = rest.substr(0, rest.find('\n'));
  for (int field = 3; field <= 22; ++field) {
    const std::string_view word = proc_words::nextWord(rest);
    if (word.empty()) return std::nullopt;
    std::optional<uint64_t> ticks;
    if (field == 14 || field == 15 || field == 22) {
      ticks = proc_words::wholeNumber<uint64_t>(word);
      if (!ticks) return std::nullopt;
    }
    if (field == 3) stat.state = word[0];
    if (field == 14) stat.userTicks = *ticks;
    if (field == 15) stat.systemTicks = *ticks;
    if (field == 22) stat.startTicks = *ticks;
  }
  return stat;
}

}  // namespace veldane
