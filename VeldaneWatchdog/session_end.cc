#include "VeldaneWatchdog/session_end.h"

#include <utility>

namespace veldane {

SessionEnd::Change SessionEnd::apply(const MainLoop::SessionEndNotice& notice) {
  using Kind = MainLoop::SessionEndNotice::Kind;
  const bool announced = notice.kind == Kind::powerOff || notice.kind == Kind::logout;
  const bool wasEnding = ending();
  if (notice.kind == Kind::powerOff || notice.kind == Kind::powerOffCancelled) {
    machineEnding_ = announced;
  } else {
    sessionEnding_ = announced;
  }
  if (announced) return Change::announced;
  if (!wasEnding || ending()) return Change::none;
  expiry_.reset();
  return Change::calledOff;
}

void SessionEnd::expireAfter(MainLoop& loop, Seconds after, MainLoop::Callback onCalledOff) {
  // This object owns the timer, so `this` outlives every firing.
  expiry_ = loop.oneShotTimer(after, Seconds{1.0}, [this, onCalledOff = std::move(onCalledOff)] {
    if (!ending()) return;
    machineEnding_ = sessionEnding_ = false;
    MainLoop::Callback calledOff = onCalledOff;
    expiry_.reset();  // which holds this very callback
    calledOff();
  });
}

std::optional<std::vector<std::string>> SessionEnd::takeDroppedRelaunch() {
  std::optional<std::vector<std::string>> dropped = std::move(droppedRelaunch_);
  droppedRelaunch_.reset();
  return dropped;
}

}  // namespace veldane
