#include "platform/linux/transient_scope.h"

#include <systemd/sd-id128.h>

#include <cstdint>
#include <memory>

#include "platform/linux/systemd_unit_name.h"
#include "platform/linux/user_manager_bus.h"

namespace veldane {
namespace TransientScope {

std::string unitName(std::string_view applicationId, std::string_view random) {
  return "app-veldane-" + SystemdUnitName::escaped(applicationId) + "-" + std::string(random) +
         ".scope";
}

std::string newUnitName(std::string_view applicationId) {
  sd_id128_t id{};
  char random[SD_ID128_STRING_MAX] = "0";
  if (sd_id128_randomize(&id) >= 0) sd_id128_to_string(id, random);
  return unitName(applicationId, random);
}

std::optional<std::string> start(const std::string& unit, pid_t pid,
                                 std::chrono::microseconds timeout) {
  std::string failure;
  std::unique_ptr<UserManagerBus> bus = UserManagerBus::connect(timeout, failure);
  if (!bus) return failure;
  BusReply reply;
  if (!bus->followJobOf(unit, failure) ||
      !bus->callManager("make " + unit, "StartTransientUnit", reply, failure, nullptr,
                        "ssa(sv)a(sa(sv))", unit.c_str(), "fail", 2, "PIDs", "au", 1,
                        static_cast<uint32_t>(pid), "Slice", "s", "app.slice", 0)) {
    return failure;
  }
  const std::optional<std::string> result = bus->waitForJob(failure);
  if (!result) return failure;
  if (*result != "done") return "the job that makes " + unit + " ended as \"" + *result + "\"";
  return std::nullopt;
}

}  // namespace TransientScope
}  // namespace veldane
