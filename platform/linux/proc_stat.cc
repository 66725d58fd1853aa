#include "platform/linux/proc_stat.h"

#include <charconv>

namespace veldane {
namespace {

bool number(std::string_view word, uint64_t& value) {
  const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
  return error == std::errc() && end == word.data() + word.size();
}

}  // namespace

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
  for (int field = 3; field <= 22; ++field) {
    const size_t start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(start);
    const std::string_view word = rest.substr(0, rest.find_first_of(" \n"));
    rest.remove_prefix(word.size());
    if (word.empty()) return std::nullopt;
    if (field == 3) stat.state = word[0];
    if (field == 14 && !number(word, stat.userTicks)) return std::nullopt;
    if (field == 15 && !number(word, stat.systemTicks)) return std::nullopt;
    if (field == 22 && !number(word, stat.startTicks)) return std::nullopt;
  }
  return stat;
}

}  // namespace veldane
