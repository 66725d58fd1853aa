#ifndef VELDANE_HOST_CURTAIN_ACTIVITY_H_
#define VELDANE_HOST_CURTAIN_ACTIVITY_H_

#include <functional>
#include <memory>

#include "host/process_activity.h"

namespace veldane {

// Holds one latency-critical activity while the host's curtain is up: the
// watchdog then allows only a few seconds of silence, which a throttled
// background timer can exceed. Not thread-safe; the session calls it under
// its record lock.
//
//   CurtainActivity activity;
//   activity.set(true);   // begins the one activity
//   activity.set(false);  // ends it
class CurtainActivity {
 public:
  using Begin = std::function<std::unique_ptr<ProcessActivity>()>;

  // `begin` makes the activity; by default the platform's.
  explicit CurtainActivity(Begin begin = beginCurtainActivity);
  // Ends a held activity.
  ~CurtainActivity() = default;
  CurtainActivity(const CurtainActivity&) = delete;
  CurtainActivity& operator=(const CurtainActivity&) = delete;

  // The curtain's new state: the first raise begins the activity, the
  // lowering ends it; repeating either changes nothing. A begin that throws
  // leaves the curtain taken as down, so that the next raise tries again.
  void set(bool up) noexcept;
  bool held() const noexcept { return up_; }
  // Lets go without ending: in a forked child the activity is the parent's.
  void abandon() noexcept;

  // The platform's latency-critical activity, with the curtain as its reason.
  static std::unique_ptr<ProcessActivity> beginCurtainActivity();

 private:
  Begin begin_;
  bool up_ = false;
  std::unique_ptr<ProcessActivity> activity_;  // null where the platform needs none
};

}  // namespace veldane

#endif  // VELDANE_HOST_CURTAIN_ACTIVITY_H_
