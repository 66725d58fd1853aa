#ifndef VELDANE_PLATFORM_LINUX_PROC_WORDS_H_
#define VELDANE_PLATFORM_LINUX_PROC_WORDS_H_

#include <algorithm>
#include <charconv>
#include <optional>
#include <string_view>

namespace veldane::proc_words {

// Splits off the next blank-separated word of a /proc line; empty at its end.
inline std::string_view nextWord(std::string_view& line) {
  constexpr std::string_view kBlanks = " \t";
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

// The word as a number, absent unless the whole word is one.
template <typename T>
std::optional<T> wholeNumber(std::string_view word) {
  T value{};
  const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
  if (word.empty() || error != std::errc() || end != word.data() + word.size()) return std::nullopt;
  return value;
}

}  // namespace veldane::proc_words

#endif  // VELDANE_PLATFORM_LINUX_PROC_WORDS_H_
