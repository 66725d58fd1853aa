#ifndef VELDANE_STATE_HOST_HANG_NOTE_H_
#define VELDANE_STATE_HOST_HANG_NOTE_H_

#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "state/watchdog_date.h"

namespace veldane {

// The host's note that one of its runs hung, kept by the host in "hang.json".
struct HostHangNote {
  std::string launchID;
  WatchdogDate at;
  double stalledSeconds = 0;

  static std::optional<HostHangNote> fromJson(const nlohmann::json& json);
  std::optional<nlohmann::json> toJson() const;

  friend bool operator==(const HostHangNote&, const HostHangNote&) = default;
};

}  // namespace veldane

#endif  // VELDANE_STATE_HOST_HANG_NOTE_H_
