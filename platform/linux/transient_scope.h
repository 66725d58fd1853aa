#ifndef VELDANE_PLATFORM_LINUX_TRANSIENT_SCOPE_H_
#define VELDANE_PLATFORM_LINUX_TRANSIENT_SCOPE_H_

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace veldane {

// A scope of the user's service manager for one start of an application, as
// desktop launchers make them: the application's processes are a unit of
// their own, in app.slice, which stopping the unit that launched them leaves
// alone.
//
//   const std::string unit = TransientScope::unitName("com.example.App", "5f0c…");
//   if (auto why = TransientScope::start(unit, pid, std::chrono::seconds(1))) log(*why);
namespace TransientScope {

// "app-veldane-<application id as SystemdUnitName::escaped gives it>-<random>.scope".
std::string unitName(std::string_view applicationId, std::string_view random);

// A unit name with 32 random hex digits, for a new start of the application.
std::string newUnitName(std::string_view applicationId);

// Asks the user's service manager to make `unit`, a scope that holds `pid`
// (which fails if the unit exists), and waits until the manager has moved
// `pid` into it, for at most `timeout` in all. Nothing once it is done, else
// why not: no user manager reachable, a refusal, a job that failed or took
// too long. The manager is reached as UserManagerBus reaches it.
std::optional<std::string> start(const std::string& unit, pid_t pid,
                                 std::chrono::microseconds timeout);

}  // namespace TransientScope
}  // namespace veldane

#endif  // VELDANE_PLATFORM_LINUX_TRANSIENT_SCOPE_H_
