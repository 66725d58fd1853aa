#include "veldane/host.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "host/host_location.h"
#include "host/host_session.h"
#include "platform/watchdog_registration.h"

struct veldane_host {
  std::unique_ptr<veldane::internal::HostSession> session;
};

namespace {

constexpr long long kDefaultBeatIntervalMs =
    veldane::internal::HostStartOptions{}.minimumBeatInterval.count();

void tellFailure(std::string_view reason, char* failure, size_t size) noexcept {
  if (failure == nullptr || size == 0) return;
  const size_t length = std::min(reason.size(), size - 1);
  std::memcpy(failure, reason.data(), length);
  failure[length] = '\0';
}

// One of the registration calls on the bundle given or found; what it says
// goes into `why`.
template <typename Call>
int registration(const char* bundle, char* why, size_t size, Call call) noexcept {
  try {
    std::string failure;
    const std::optional<std::string> path = veldane::HostLocation::bundleOf(bundle, failure);
    if (!path) {
      tellFailure(failure, why, size);
      return 0;
    }
    const veldane::WatchdogRegistrationResult result = call(*path);
    tellFailure(result.why, why, size);
    return result.done ? 1 : 0;
  } catch (...) {
    tellFailure("out of memory", why, size);
    return 0;
  }
}

}  // namespace

extern "C" {

void veldane_host_options_init(veldane_host_options* options) noexcept {
  if (options == nullptr) return;
  *options = veldane_host_options{nullptr, nullptr, kDefaultBeatIntervalMs};
}

veldane_host* veldane_host_start_with_options(int argc, const char* const* argv,
                                              const veldane_host_options* given, char* failure,
                                              size_t failure_size) noexcept {
  std::string reason;
  try {
    veldane::internal::HostStartOptions options;
    if (given != nullptr) {
      if (given->bundle_path != nullptr) options.bundlePath = given->bundle_path;
      if (given->bundle_identifier != nullptr) options.bundleIdentifier = given->bundle_identifier;
      options.minimumBeatInterval = std::chrono::milliseconds(given->minimum_beat_interval_ms);
    }
    auto session = veldane::internal::HostSession::start(argc, argv, options, &reason);
    if (session) {
      auto* host = new veldane_host{std::move(session)};
      tellFailure("", failure, failure_size);
      return host;
    }
  } catch (...) {
    // Only memory runs out here: the session itself throws nothing.
    tellFailure("out of memory", failure, failure_size);
    return nullptr;
  }
  tellFailure(reason, failure, failure_size);
  return nullptr;
}

veldane_host* veldane_host_start(int argc, const char* const* argv,
                                 const char* bundle_identifier_or_null) noexcept {
  return veldane_host_start_in_bundle(argc, argv, nullptr, bundle_identifier_or_null);
}

veldane_host* veldane_host_start_in_bundle(int argc, const char* const* argv,
                                           const char* bundle_path,
                                           const char* bundle_identifier_or_null) noexcept {
  veldane_host_options options;
  veldane_host_options_init(&options);
  options.bundle_path = bundle_path;
  options.bundle_identifier = bundle_identifier_or_null;
  return veldane_host_start_with_options(argc, argv, &options, nullptr, 0);
}

void veldane_host_free(veldane_host* host) noexcept { delete host; }

int veldane_host_beat(veldane_host* host) noexcept { return host && host->session->beat(); }

int veldane_host_set_curtain_up(veldane_host* host, int curtain_up) noexcept {
  return host && host->session->setCurtainUp(curtain_up != 0);
}

int veldane_host_set_away_cover_up(veldane_host* host, int away_cover_up) noexcept {
  return host && host->session->setAwayCoverUp(away_cover_up != 0);
}

int veldane_host_mark_clean_exit(veldane_host* host) noexcept {
  return host && host->session->markCleanExit();
}

int veldane_host_reset_crash_loop(veldane_host* host) noexcept {
  return host && host->session->resetCrashLoop();
}

int veldane_host_note_hang(veldane_host* host, double stalled_seconds) noexcept {
  return host && host->session->noteHang(stalled_seconds);
}

int veldane_host_recovered(const veldane_host* host) noexcept {
  return host && host->session->recovered();
}

int veldane_host_safe_mode(const veldane_host* host) noexcept {
  return host && host->session->safeMode();
}

const char* veldane_host_launch_id(const veldane_host* host) noexcept {
  return host ? host->session->launchID().c_str() : nullptr;
}

const char* veldane_host_data_folder(const veldane_host* host) noexcept {
  return host ? host->session->dataFolder().c_str() : nullptr;
}

const char* veldane_host_bundle_path(const veldane_host* host) noexcept {
  return host ? host->session->bundlePath().c_str() : nullptr;
}

const char* veldane_host_bundle_identifier(const veldane_host* host) noexcept {
  return host ? host->session->bundleIdentifier().c_str() : nullptr;
}

int veldane_register_watchdog(const char* bundle_path_or_null, char* why,
                              size_t why_size) noexcept {
  return registration(bundle_path_or_null, why, why_size, veldane::WatchdogRegistration::enable);
}

int veldane_unregister_watchdog(const char* bundle_path_or_null, char* why,
                                size_t why_size) noexcept {
  return registration(bundle_path_or_null, why, why_size, veldane::WatchdogRegistration::disable);
}

int veldane_open_login_items_settings(char* why, size_t why_size) noexcept {
  try {
    const veldane::WatchdogRegistrationResult result =
        veldane::WatchdogRegistration::openApprovalSettings();
    tellFailure(result.why, why, why_size);
    return result.done ? 1 : 0;
  } catch (...) {
    tellFailure("out of memory", why, why_size);
    return 0;
  }
}

}  // extern "C"
