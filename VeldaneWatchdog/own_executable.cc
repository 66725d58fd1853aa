#include "VeldaneWatchdog/own_executable.h"

#include <utility>

namespace veldane {

OwnExecutable::OwnExecutable(std::string path, SystemProbes& probes)
    : path_(std::move(path)), identity_(probes.fileIdentity(path_)) {}

bool OwnExecutable::wasReplaced(SystemProbes& probes) {
  if (!identity_) return false;
  std::optional<FileIdentity> current = probes.fileIdentity(path_);
  if (!current) return ++missingLooks_ >= 2;
  missingLooks_ = 0;
  return *current != *identity_;
}

}  // namespace veldane
