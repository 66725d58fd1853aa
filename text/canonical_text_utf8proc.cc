#include "text/canonical_text.h"

#include <cstdlib>

#include <utf8proc.h>

namespace veldane::CanonicalText {

std::optional<std::string> composed(std::string_view text) {
  if (text.empty()) return std::string();
  utf8proc_uint8_t* mapped = nullptr;
  utf8proc_ssize_t length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                   static_cast<utf8proc_ssize_t>(text.size()), &mapped,
                   static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  if (length < 0) return std::nullopt;
  std::string result(reinterpret_cast<const char*>(mapped), static_cast<size_t>(length));
  std::free(mapped);
  return result;
}

}  // namespace veldane::CanonicalText
