#ifndef VELDANE_VELDANEWATCHDOG_HANG_KILL_H_
#define VELDANE_VELDANEWATCHDOG_HANG_KILL_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "VeldaneWatchdog/hang_diagnosis.h"
#include "platform/hang_inspector.h"
#include "platform/main_loop.h"
#include "state/seconds.h"

namespace veldane {

// A hung host being looked at before its signal: the snapshot of its threads
// and the deadline that keeps it from holding the signal back. Either ends
// the look, once; whatever the other brings later is ignored.
//
//   hangKill.start(loop, inspector, judged, budget, [](HangKill::Judged j, auto gathered) {
//     /* signal j.pid, then put `gathered` into shape */ });
class HangKill {
 public:
  // What was known when the hang was judged.
  struct Judged {
    int32_t pid = 0;
    bool watched = false;  // the exit watch held it
    HangDiagnosis::Evidence evidence;
    Seconds at{0};  // uptime
  };
  // `gathered` is absent when the snapshot did not finish within its budget.
  using Finish = std::function<void(Judged, std::optional<HangInspector::Gathered>)>;

  // Arms the deadline, then asks for the snapshot, which may finish before
  // this returns. A look still under way is dropped: its kill never comes.
  void start(MainLoop& loop, HangInspector& inspector, Judged judged, Seconds budget,
             Finish finish);
  bool underWay() const { return look_ != nullptr; }

  // Notes the run whose hang was judged last (absent: a record without one),
  // whose end is then a hang and which is not judged hung again.
  void judged(std::optional<std::string> launchID) { judgedRun_ = std::move(launchID); }
  bool wasJudged(std::string_view launchID) const;

 private:
  struct Look;
  void end(const std::weak_ptr<Look>& look, std::optional<HangInspector::Gathered> gathered);

  std::shared_ptr<Look> look_;
  std::optional<std::string> judgedRun_;
};

}  // namespace veldane

#endif  // VELDANE_VELDANEWATCHDOG_HANG_KILL_H_
