#ifndef VELDANE_PLATFORM_LINUX_USER_MANAGER_BUS_H_
#define VELDANE_PLATFORM_LINUX_USER_MANAGER_BUS_H_

#include <systemd/sd-bus.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace veldane {

// A failed call as one line for a person: "cannot <doing>: <why>", with the
// manager's message (or the error number's text) on one line. A missing
// manager and a call out of time are told in words of their own.
std::string busFailureText(std::string_view doing, std::string_view errorName,
                           std::string_view errorMessage, int error);

// `value` as a D-Bus server address may hold it: bytes other than
// [-0-9A-Za-z_/.\*] as %XX.
std::string busAddressValue(std::string_view value);

// An owned reply.
struct BusMessageUnref {
  void operator()(sd_bus_message* message) const noexcept { sd_bus_message_unref(message); }
};
using BusReply = std::unique_ptr<sd_bus_message, BusMessageUnref>;

// This user's systemd manager, reached as "systemctl --user" reaches it: its
// private socket in $XDG_RUNTIME_DIR/systemd first, the user bus otherwise.
// Every call answers within what is left of the budget given to connect(),
// so that a hung manager holds its caller a few seconds at most.
//
//   std::string failure;
//   auto bus = UserManagerBus::connect(std::chrono::seconds(5), failure);
//   BusReply reply;
//   if (bus && bus->callManager("reload the units", "Reload", reply, failure, "")) ...
class UserManagerBus {
 public:
  // Null, with the reason in `failure`, when no manager can be reached.
  static std::unique_ptr<UserManagerBus> connect(std::chrono::steady_clock::duration budget,
                                                 std::string& failure);
  ~UserManagerBus();
  UserManagerBus(const UserManagerBus&) = delete;
  UserManagerBus& operator=(const UserManagerBus&) = delete;

  // A method of org.freedesktop.systemd1.Manager with sd-bus's argument
  // types and values. False, with the reason in `failure` and the D-Bus
  // error's name in `errorName` when given, when it fails or time runs out.
  bool callManager(std::string_view doing, const char* method, BusReply& reply,
                   std::string& failure, std::string* errorName, const char* types, ...);

  // A text property of the unit object at `path`.
  bool unitProperty(const std::string& path, const char* property, std::string& value,
                    std::string& failure);

  // Follows the manager's jobs for `unit` from now on. Called before the
  // call that makes one, which may end before the call's answer is read.
  bool followJobOf(const std::string& unit, std::string& failure);
  // The result of the followed unit's job ("done", "failed", ...), once it
  // has ended; absent, with the reason in `failure`, when the budget runs out
  // first or the connection fails.
  std::optional<std::string> waitForJob(std::string& failure);

  // Whether any of the budget is left.
  bool inTime() const { return std::chrono::steady_clock::now() < deadline_; }

 private:
  struct FollowedJob;

  UserManagerBus(sd_bus* bus, std::chrono::steady_clock::time_point deadline);
  // Bounds the next call by the time left; false when none is.
  bool boundNextCall(std::string_view doing, std::string& failure);

  sd_bus* bus_;
  std::chrono::steady_clock::time_point deadline_;
  std::unique_ptr<FollowedJob> job_;
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_LINUX_USER_MANAGER_BUS_H_
