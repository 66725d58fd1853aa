// The watchdog as an instance of the project's systemd user unit template,
// enabled and started as "systemctl --user enable --now" does it.
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "platform/linux/systemd_unit_name.h"
#include "platform/linux/user_manager_bus.h"
#include "platform/linux/watchdog_unit_template.h"
#include "platform/watchdog_registration.h"

namespace veldane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// All the calls of one registration together; a manager that reloads its
// units on a busy machine may take some seconds.
constexpr auto kBudget = 8s;
constexpr char kNoSuchUnit[] = "org.freedesktop.systemd1.NoSuchUnit";
constexpr char kFileNotFound[] = "org.freedesktop.DBus.Error.FileNotFound";
// The first line of a template this library wrote, so that only such a one
// is ever replaced or removed.
constexpr char kWrittenMark[] =
    "# Written by the Veldane host library; removed with the last watchdog it registered.\n";

WatchdogRegistrationResult failed(std::string why) { return {false, std::move(why)}; }

std::string contents(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

// Where "systemctl --user" keeps the user's own units: the manager looks
// there before every installed folder.
std::optional<fs::path> userUnitFolder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') return fs::path(config) / "systemd/user";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return fs::path(home) / ".config/systemd/user";
  return std::nullopt;
}

std::string writtenTemplate() { return std::string(kWrittenMark) + kWatchdogUnitTemplate; }

bool isOurs(const fs::path& file) { return contents(file).starts_with(kWrittenMark); }

// Atomically, so that the manager never reads half a unit.
bool writeTemplate(const fs::path& file, std::string& failure) {
  std::error_code error;
  fs::create_directories(file.parent_path(), error);
  const fs::path temporary = file.string() + ".veldane-new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << writtenTemplate();
    out.close();
    if (!out) error = std::error_code(errno ? errno : EIO, std::generic_category());
  }
  if (!error) fs::rename(temporary, file, error);
  if (error) {
    fs::remove(temporary, error);
    failure = "cannot write the unit template " + file.string() + ": " + error.message();
    return false;
  }
  return true;
}

bool reload(UserManagerBus& bus, std::string& failure) {
  BusReply reply;
  return bus.callManager("reload the user units", "Reload", reply, failure, nullptr, "");
}

// The unit's object path, absent while it is not loaded.
std::optional<std::string> loadedUnit(UserManagerBus& bus, const std::string& unit,
                                      bool& failedCall, std::string& failure) {
  BusReply reply;
  std::string errorName;
  failedCall = false;
  if (!bus.callManager("look up " + unit, "GetUnit", reply, failure, &errorName, "s",
                       unit.c_str())) {
    failedCall = errorName != kNoSuchUnit;
    return std::nullopt;
  }
  const char* path = nullptr;
  if (sd_bus_message_read(reply.get(), "o", &path) < 0) {
    failedCall = true;
    failure = "cannot read the manager's answer for " + unit;
    return std::nullopt;
  }
  return std::string(path);
}

// The unit file state ("enabled", "disabled", ...); "" for no unit file, and
// absent with the reason in `failure` when the manager cannot tell.
std::optional<std::string> unitFileState(UserManagerBus& bus, const std::string& unit,
                                         std::string& failure) {
  BusReply reply;
  std::string errorName;
  if (!bus.callManager("ask for the state of " + unit, "GetUnitFileState", reply, failure,
                       &errorName, "s", unit.c_str())) {
    if (errorName == kFileNotFound || errorName == kNoSuchUnit) return std::string();
    return std::nullopt;
  }
  const char* state = nullptr;
  if (sd_bus_message_read(reply.get(), "s", &state) < 0) {
    failure = "cannot read the manager's answer for " + unit;
    return std::nullopt;
  }
  return std::string(state);
}

// "active", "inactive", ... with the sub-state after a space; "inactive
// dead" for a unit that is not loaded.
std::optional<std::string> activeState(UserManagerBus& bus, const std::string& unit,
                                       std::string& failure) {
  bool failedCall = false;
  const std::optional<std::string> path = loadedUnit(bus, unit, failedCall, failure);
  if (!path) return failedCall ? std::nullopt : std::optional<std::string>("inactive dead");
  std::string active, sub;
  if (!bus.unitProperty(*path, "ActiveState", active, failure) ||
      !bus.unitProperty(*path, "SubState", sub, failure)) {
    return std::nullopt;
  }
  return active + " " + sub;
}

// Polls until the state starts with one of `wanted` or time runs out; the
// last state seen.
std::optional<std::string> awaitState(UserManagerBus& bus, const std::string& unit,
                                      std::initializer_list<std::string_view> wanted,
                                      std::string& failure) {
  std::optional<std::string> state;
  while (true) {
    state = activeState(bus, unit, failure);
    if (!state) return state;
    for (std::string_view word : wanted) {
      if (state->starts_with(std::string(word) + " ")) return state;
    }
    if (!bus.inTime()) return state;
    std::this_thread::sleep_for(20ms);
  }
}

// Whether another bundle's watchdog still uses the template: one of its
// instances runs, or is enabled in the user's unit folder.
bool templateInUse(UserManagerBus& bus, const std::string& ours, const fs::path& folder) {
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    if (!it->path().filename().string().ends_with(".wants")) continue;
    std::error_code inner;
    for (fs::directory_iterator link(it->path(), inner); !inner && link != end;
         link.increment(inner)) {
      const std::string name = link->path().filename();
      if (name.starts_with("veldane-watchdog@") && name != ours) return true;
    }
  }
  BusReply reply;
  std::string failure;
  if (!bus.callManager("list the watchdog units", "ListUnitsByPatterns", reply, failure, nullptr,
                       "asas", 0, 1, "veldane-watchdog@*.service")) {
    return true;  // not known to be unused
  }
  if (sd_bus_message_enter_container(reply.get(), 'a', "(ssssssouso)") < 0) return true;
  const char *name, *description, *load, *active, *sub, *following, *path, *jobType, *jobPath;
  uint32_t job = 0;
  while (sd_bus_message_read(reply.get(), "(ssssssouso)", &name, &description, &load, &active,
                             &sub, &following, &path, &job, &jobType, &jobPath) > 0) {
    const std::string_view state = active;
    if (name != ours && state != "inactive" && state != "failed") return true;
  }
  return false;
}

}  // namespace

WatchdogRegistrationResult WatchdogRegistration::enable(const std::string& bundlePath) {
  const std::optional<std::string> unit = SystemdUnitName::watchdogUnit(bundlePath);
  if (!unit) return failed("the bundle path cannot name a systemd unit: " + bundlePath);
  const std::string watchdog = bundlePath + "/Contents/MacOS/VeldaneWatchdog";
  if (access(watchdog.c_str(), X_OK) != 0) {
    return failed("no watchdog to register: " + watchdog + " is not an executable file");
  }
  std::string failure;
  std::unique_ptr<UserManagerBus> bus = UserManagerBus::connect(kBudget, failure);
  if (!bus) return failed(failure);

  // The template the manager finds, or the project's own in the user's folder.
  const std::optional<std::string> installed =
      unitFileState(*bus, SystemdUnitName::kWatchdogTemplate, failure);
  if (!installed) return failed(failure);
  const std::optional<fs::path> folder = userUnitFolder();
  const std::optional<fs::path> file =
      folder ? std::optional(*folder / SystemdUnitName::kWatchdogTemplate) : std::nullopt;
  const bool outdated = file && isOurs(*file) && contents(*file) != writtenTemplate();
  bool wrote = false;
  if (installed->empty() || outdated) {
    if (!file) return failed("no folder for user units: neither XDG_CONFIG_HOME nor HOME is set");
    if (!writeTemplate(*file, failure)) return failed(failure);
    wrote = installed->empty();
    if (!reload(*bus, failure)) return failed(failure);
  }

  BusReply reply;
  if (!bus->callManager("enable " + *unit, "EnableUnitFiles", reply, failure, nullptr, "asbb", 1,
                        unit->c_str(), 0, 0)) {
    // What this call wrote is not left for nothing.
    if (wrote && !templateInUse(*bus, *unit, *folder)) {
      std::error_code ignored;
      fs::remove(*file, ignored);
      std::string unused;
      reload(*bus, unused);
    }
    return failed(failure);
  }
  if (!reload(*bus, failure)) return failed(failure);
  if (!bus->callManager("start " + *unit, "StartUnit", reply, failure, nullptr, "ss",
                        unit->c_str(), "replace")) {
    return failed(failure);
  }
  // Not "failed" as well: a unit that failed before says so until the job runs.
  const std::optional<std::string> state = awaitState(*bus, *unit, {"active"}, failure);
  if (!state) return failed(failure);
  if (!state->starts_with("active ")) {
    return failed("enabled, but the watchdog does not run: " + *unit + " is " + *state);
  }
  return {true, ""};
}

WatchdogRegistrationResult WatchdogRegistration::disable(const std::string& bundlePath) {
  const std::optional<std::string> unit = SystemdUnitName::watchdogUnit(bundlePath);
  if (!unit) return failed("the bundle path cannot name a systemd unit: " + bundlePath);
  std::string failure;
  std::unique_ptr<UserManagerBus> bus = UserManagerBus::connect(kBudget, failure);
  if (!bus) return failed(failure);

  BusReply reply;
  std::string errorName;
  if (!bus->callManager("stop " + *unit, "StopUnit", reply, failure, &errorName, "ss",
                        unit->c_str(), "replace") &&
      errorName != kNoSuchUnit) {
    return failed(failure);
  }
  // A unit file that is gone was not enabled either.
  if (!bus->callManager("disable " + *unit, "DisableUnitFiles", reply, failure, &errorName, "asb",
                        1, unit->c_str(), 0) &&
      errorName != kFileNotFound && errorName != kNoSuchUnit) {
    return failed(failure);
  }
  const std::optional<fs::path> folder = userUnitFolder();
  if (folder) {
    const fs::path file = *folder / SystemdUnitName::kWatchdogTemplate;
    if (isOurs(file) && !templateInUse(*bus, *unit, *folder)) {
      std::error_code error;
      if (!fs::remove(file, error) && error) {
        return failed("cannot remove the unit template " + file.string() + ": " + error.message());
      }
    }
  }
  if (!reload(*bus, failure)) return failed(failure);

  const std::optional<std::string> state =
      awaitState(*bus, *unit, {"inactive", "failed"}, failure);
  if (!state) return failed(failure);
  if (!state->starts_with("inactive ") && !state->starts_with("failed ")) {
    return failed("disabled, but the watchdog still runs: " + *unit + " is " + *state);
  }
  return {true, ""};
}

WatchdogRegistrationStatus WatchdogRegistration::status(const std::string& bundlePath) {
  WatchdogRegistrationStatus status;
  const std::optional<std::string> unit = SystemdUnitName::watchdogUnit(bundlePath);
  if (!unit) {
    status.why = "the bundle path cannot name a systemd unit";
    return status;
  }
  status.job = *unit;
  std::unique_ptr<UserManagerBus> bus = UserManagerBus::connect(kBudget, status.why);
  if (!bus) return status;
  const std::optional<std::string> file = unitFileState(*bus, *unit, status.why);
  const std::optional<std::string> active = file ? activeState(*bus, *unit, status.why)
                                                 : std::nullopt;
  if (!file || !active) return status;
  status.why.clear();
  status.registered = file->starts_with("enabled");
  status.running = active->starts_with("active ");
  status.state = "unit file " + (file->empty() ? std::string("not found") : *file) + ", " + *active;
  return status;
}

WatchdogRegistrationResult WatchdogRegistration::openApprovalSettings() {
  return failed("nothing to approve: the systemd user manager asks for no approval");
}

}  // namespace veldane
