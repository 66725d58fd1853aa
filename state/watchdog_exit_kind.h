#ifndef VELDANE_STATE_WATCHDOG_EXIT_KIND_H_
#define VELDANE_STATE_WATCHDOG_EXIT_KIND_H_

#include <optional>
#include <string_view>

namespace veldane {

// How a host run ended. Its raw value is the text in the ledger and in log
// lines. A stored value: the ledger keeps it, the policy decides it.
enum class WatchdogExitKind { crash, hang };

constexpr std::string_view rawValue(WatchdogExitKind kind) {
  return kind == WatchdogExitKind::hang ? "hang" : "crash";
}

// Exact and case-sensitive: only "crash" and "hang" give a kind.
constexpr std::optional<WatchdogExitKind> exitKindFromRawValue(std::string_view raw) {
  if (raw == "crash") return WatchdogExitKind::crash;
  if (raw == "hang") return WatchdogExitKind::hang;
  return std::nullopt;
}

}  // namespace veldane

#endif  // VELDANE_STATE_WATCHDOG_EXIT_KIND_H_
