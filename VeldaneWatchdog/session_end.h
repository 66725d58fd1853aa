#ifndef VELDANE_VELDANEWATCHDOG_SESSION_END_H_
#define VELDANE_VELDANEWATCHDOG_SESSION_END_H_

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/main_loop.h"
#include "state/seconds.h"

namespace veldane {

// The end of the machine or of the user's session, from its announcement to
// its coming or its calling off: exits seen meanwhile are its doing, and the
// relaunch it dropped is due again if the session goes on.
//
//   switch (sessionEnd.apply(notice)) { case SessionEnd::Change::announced: ... }
class SessionEnd {
 public:
  enum class Change {
    none,       // nothing that the watchdog acts on
    announced,  // an end is announced (again)
    calledOff,  // no end is announced any more
  };

  // Has the system's notices of either end brought to `onNotice`, for as
  // long as this object lives.
  void subscribe(MainLoop& loop, MainLoop::SessionEndCallback onNotice) {
    notices_ = loop.observeSessionEnd(std::move(onNotice));
  }
  // Applies a notice of the machine's or of the session's end.
  Change apply(const MainLoop::SessionEndNotice& notice);
  // Where the system never says that an end was called off, takes it as
  // called off when it has not come `after` the announcement, and then
  // calls `onCalledOff`. A later announcement starts the wait again.
  void expireAfter(MainLoop& loop, Seconds after, MainLoop::Callback onCalledOff);
  // Either end announced and not called off.
  bool ending() const { return machineEnding_ || sessionEnding_; }

  // The relaunch that the announcement dropped, kept for the session if it
  // goes on, and handed back once.
  void dropRelaunch(std::vector<std::string> arguments) { droppedRelaunch_ = std::move(arguments); }
  std::optional<std::vector<std::string>> takeDroppedRelaunch();

 private:
  std::unique_ptr<MainLoop::Subscription> notices_;
  bool machineEnding_ = false;
  bool sessionEnding_ = false;
  std::unique_ptr<MainLoop::Timer> expiry_;
  std::optional<std::vector<std::string>> droppedRelaunch_;
};

}  // namespace veldane

#endif  // VELDANE_VELDANEWATCHDOG_SESSION_END_H_
