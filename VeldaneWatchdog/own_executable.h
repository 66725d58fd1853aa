#ifndef VELDANE_VELDANEWATCHDOG_OWN_EXECUTABLE_H_
#define VELDANE_VELDANEWATCHDOG_OWN_EXECUTABLE_H_

#include <optional>
#include <string>

#include "platform/file_identity.h"
#include "platform/system_probes.h"

namespace veldane {

// The watchdog's own executable file as it was at start-up, so that a tick
// sees it replaced by an update (or gone with its bundle) and the job
// manager can start whatever is there now.
//
//   OwnExecutable own(path, probes);
//   if (own.wasReplaced(probes)) exit(0);
class OwnExecutable {
 public:
  OwnExecutable() = default;
  OwnExecutable(std::string path, SystemProbes& probes);

  // True once the file at the path is another one, or has been missing at
  // two looks in a row (one caught in the middle of a replacement is there
  // again by the next). Never true when the file could not be read at
  // start-up.
  bool wasReplaced(SystemProbes& probes);

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::optional<FileIdentity> identity_;
  int missingLooks_ = 0;
};

}  // namespace veldane

#endif  // VELDANE_VELDANEWATCHDOG_OWN_EXECUTABLE_H_
