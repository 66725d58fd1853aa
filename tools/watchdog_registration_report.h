#ifndef VELDANE_TOOLS_WATCHDOG_REGISTRATION_REPORT_H_
#define VELDANE_TOOLS_WATCHDOG_REGISTRATION_REPORT_H_

#include <string>

#include <nlohmann/json.hpp>

#include "platform/watchdog_registration.h"

namespace veldane {

// The status report's part on the watchdog as a job of the user's session:
// whether it is registered and running, as the job manager says. Pure.
namespace WatchdogRegistrationReport {

// {"job", "registered", "running", "state", "why"}: "registered" and
// "running" are true, false or null (unknown); "why" says why, else null.
nlohmann::json build(const WatchdogRegistrationStatus& status);

// The part as lines of plain text, under its own title.
std::string renderText(const nlohmann::json& part);

}  // namespace WatchdogRegistrationReport
}  // namespace veldane

#endif  // VELDANE_TOOLS_WATCHDOG_REGISTRATION_REPORT_H_
