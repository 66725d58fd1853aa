#include "veldane/host.h"

#include <memory>
#include <new>
#include <string>

#include "veldane/host.hpp"

struct veldane_host {
  std::unique_ptr<veldane::HostSession> session;
};

namespace {

veldane_host* startSession(int argc, const char* const* argv, const char* bundlePath,
                           const char* bundleIdentifier) noexcept {
  try {
    veldane::HostStartOptions options;
    if (bundlePath != nullptr) options.bundlePath = bundlePath;
    if (bundleIdentifier != nullptr) options.bundleIdentifier = bundleIdentifier;
    std::unique_ptr<veldane::HostSession> session =
        veldane::HostSession::start(argc, argv, options);
    if (!session) return nullptr;
    return new veldane_host{std::move(session)};
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

extern "C" {

veldane_host* veldane_host_start(int argc, const char* const* argv,
                                 const char* bundle_identifier_or_null) noexcept {
  return startSession(argc, argv, nullptr, bundle_identifier_or_null);
}

veldane_host* veldane_host_start_in_bundle(int argc, const char* const* argv,
                                           const char* bundle_path,
                                           const char* bundle_identifier_or_null) noexcept {
  return startSession(argc, argv, bundle_path, bundle_identifier_or_null);
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

}  // extern "C"
