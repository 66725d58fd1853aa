#include "state/watchdog_store.h"

#include <cstddef>
#include <exception>
#include <string>

namespace veldane {
namespace WatchdogStore {
namespace {

// Builds the tree as the parser's own builder does, but stops the parse as
// soon as it goes deeper than kMaxDepth, before that depth costs anything.
class DepthLimitedBuilder : public nlohmann::detail::json_sax_dom_parser<nlohmann::json> {
 public:
  using Base = nlohmann::detail::json_sax_dom_parser<nlohmann::json>;
  explicit DepthLimitedBuilder(nlohmann::json& result) : Base(result, /*allow_exceptions=*/false) {}

  bool start_object(std::size_t elements) { return enter() && Base::start_object(elements); }
  bool start_array(std::size_t elements) { return enter() && Base::start_array(elements); }
  bool end_object() {
    --depth_;
    return Base::end_object();
  }
  bool end_array() {
    --depth_;
    return Base::end_array();
  }

 private:
  bool enter() { return ++depth_ <= kMaxDepth; }
  size_t depth_ = 0;
};

}  // namespace

std::optional<std::string> serialize(const nlohmann::json& json) {
  std::string text;
  try {
    text = json.dump(-1, ' ', /*ensure_ascii=*/false, nlohmann::json::error_handler_t::strict);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  // A slash can only stand inside a string in JSON text, so this escapes
  // exactly the slashes of the strings.
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    if (c == '/') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

std::optional<nlohmann::json> parse(std::string_view text) {
  try {
    nlohmann::json json;
    DepthLimitedBuilder builder(json);
    if (!nlohmann::json::sax_parse(text.begin(), text.end(), &builder) || json.is_discarded()) {
      return std::nullopt;
    }
    return json;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace WatchdogStore
}  // namespace veldane
