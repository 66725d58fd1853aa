#include "platform/linux/utf8_repair.h"

#include <utf8proc.h>

#include <utility>

namespace veldane {

bool isValidUtf8(std::string_view bytes) {
  const auto* data = reinterpret_cast<const utf8proc_uint8_t*>(bytes.data());
  auto left = static_cast<utf8proc_ssize_t>(bytes.size());
  while (left > 0) {
    utf8proc_int32_t codepoint = 0;
    const utf8proc_ssize_t used = utf8proc_iterate(data, left, &codepoint);
    if (used < 1) return false;
    data += used;
    left -= used;
  }
  return true;
}

void repairUtf8(std::string& bytes) {
  if (isValidUtf8(bytes)) return;
  std::string text;
  text.reserve(bytes.size());
  const auto* data = reinterpret_cast<const utf8proc_uint8_t*>(bytes.data());
  auto left = static_cast<utf8proc_ssize_t>(bytes.size());
  while (left > 0) {
    utf8proc_int32_t codepoint = 0;
    const utf8proc_ssize_t used = utf8proc_iterate(data, left, &codepoint);
    if (used > 0) {
      text.append(reinterpret_cast<const char*>(data), static_cast<size_t>(used));
    } else {
      text.append("\xEF\xBF\xBD");
    }
    const utf8proc_ssize_t step = used > 0 ? used : 1;
    data += step;
    left -= step;
  }
  bytes = std::move(text);
}

}  // namespace veldane
