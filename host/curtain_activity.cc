#include "host/curtain_activity.h"

#include <utility>

namespace veldane {

CurtainActivity::CurtainActivity(Begin begin) : begin_(std::move(begin)) {}

void CurtainActivity::set(bool up) noexcept {
  if (up == up_) return;
  if (!up) {
    activity_.reset();
    up_ = false;
    return;
  }
  try {
    activity_ = begin_();
    up_ = true;
  } catch (...) {
    activity_.reset();
  }
}

void CurtainActivity::abandon() noexcept {
  (void)activity_.release();
  up_ = false;
}

std::unique_ptr<ProcessActivity> CurtainActivity::beginCurtainActivity() {
  return beginLatencyCriticalActivity(
      "The curtain is up: the watchdog expects a heartbeat within seconds");
}

}  // namespace veldane
