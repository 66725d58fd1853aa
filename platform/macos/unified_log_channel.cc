#include "platform/macos/unified_log_channel.h"

#include <string>

namespace veldane {

UnifiedLogChannel::UnifiedLogChannel()
    : log_(os_log_create(VELDANE_HOST_BUNDLE_IDENTIFIER, "watchdog-helper")) {}

void UnifiedLogChannel::log(LogLevel level, std::string_view message) {
  const std::string text(message);
  const os_log_type_t type = level == LogLevel::error ? OS_LOG_TYPE_ERROR : OS_LOG_TYPE_DEFAULT;
  os_log_with_type(log_, type, "%{public}s", text.c_str());
}

void UnifiedLogChannel::logWithFields(LogLevel level, std::string_view message,
                                      const LogFields& fields) {
  log(level, message);
  for (const auto& [name, value] : fields) {
    if (name == "STACKS") continue;
    std::string_view rest = value;
    while (!rest.empty()) {
      const size_t end = rest.find('\n');
      log(level, name + ": " + std::string(rest.substr(0, end)));
      rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    }
  }
}

}  // namespace veldane
