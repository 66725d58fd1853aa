#include "platform/linux/transient_scope.h"

#include <systemd/sd-bus.h>
#include <systemd/sd-id128.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <system_error>

namespace veldane {
namespace TransientScope {
namespace {

struct CloseBus {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct UnrefMessage {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
struct UnrefSlot {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using Bus = std::unique_ptr<sd_bus, CloseBus>;
using Message = std::unique_ptr<sd_bus_message, UnrefMessage>;
using Slot = std::unique_ptr<sd_bus_slot, UnrefSlot>;

std::string why(int negativeErrno) { return std::generic_category().message(-negativeErrno); }

bool plain(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// A D-Bus address escapes what is not plain as %XX.
std::string busAddressOf(const std::string& socket) {
  std::string address = "unix:path=";
  for (const unsigned char c : socket) {
    if (plain(c) || c == '-' || c == '/' || c == '.') {
      address += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02x", c);
      address += hex;
    }
  }
  return address;
}

// The manager's own socket needs no bus daemon, which a user manager may run
// without (systemctl --user goes there first too).
Bus connect(int& error) {
  sd_bus* bus = nullptr;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime == '/') {
    const std::string socket = std::string(runtime) + "/systemd/private";
    if (access(socket.c_str(), F_OK) == 0 && sd_bus_new(&bus) >= 0) {
      if (sd_bus_set_address(bus, busAddressOf(socket).c_str()) >= 0 && sd_bus_start(bus) >= 0) {
        return Bus(bus);
      }
      sd_bus_unref(bus);
      bus = nullptr;
    }
  }
  error = sd_bus_open_user(&bus);
  return Bus(error < 0 ? nullptr : bus);
}

uint64_t nowMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1'000'000 + static_cast<uint64_t>(now.tv_nsec) / 1000;
}

struct JobWait {
  std::string unit;
  std::optional<std::string> result;
};

int onJobRemoved(sd_bus_message* message, void* data, sd_bus_error* /*error*/) {
  JobWait& wait = *static_cast<JobWait*>(data);
  uint32_t id = 0;
  const char* job = nullptr;
  const char* unit = nullptr;
  const char* result = nullptr;
  if (sd_bus_message_read(message, "uoss", &id, &job, &unit, &result) >= 0 && wait.unit == unit) {
    wait.result = result;
  }
  return 0;
}

}  // namespace

std::string escapedApplicationId(std::string_view applicationId) {
  std::string escaped;
  for (size_t i = 0; i < applicationId.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(applicationId[i]);
    if (plain(c) || c == ':' || (c == '.' && i > 0)) {
      escaped += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      escaped += hex;
    }
  }
  return escaped;
}

std::string unitName(std::string_view applicationId, std::string_view random) {
  return "app-veldane-" + escapedApplicationId(applicationId) + "-" + std::string(random) +
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
  const uint64_t deadline = nowMicroseconds() + static_cast<uint64_t>(timeout.count());
  int error = 0;
  Bus bus = connect(error);
  if (!bus) return "no user service manager to reach (" + why(error) + ")";
  sd_bus_set_method_call_timeout(bus.get(), static_cast<uint64_t>(timeout.count()));

  // Listening before asking: the job may end before the answer is read.
  JobWait wait{unit, std::nullopt};
  sd_bus_slot* slot = nullptr;
  error =
      sd_bus_match_signal(bus.get(), &slot, nullptr, "/org/freedesktop/systemd1",
                          "org.freedesktop.systemd1.Manager", "JobRemoved", onJobRemoved, &wait);
  if (error < 0) return "cannot follow the user service manager's jobs (" + why(error) + ")";
  Slot listening(slot);

  sd_bus_message* call = nullptr;
  error = sd_bus_message_new_method_call(bus.get(), &call, "org.freedesktop.systemd1",
                                         "/org/freedesktop/systemd1",
                                         "org.freedesktop.systemd1.Manager", "StartTransientUnit");
  Message request(call);
  if (error >= 0) error = sd_bus_message_append(request.get(), "ss", unit.c_str(), "fail");
  if (error >= 0) {
    error = sd_bus_message_append(request.get(), "a(sv)", 2, "PIDs", "au", 1,
                                  static_cast<uint32_t>(pid), "Slice", "s", "app.slice");
  }
  if (error >= 0) error = sd_bus_message_append(request.get(), "a(sa(sv))", 0);
  if (error < 0) return "cannot ask for " + unit + " (" + why(error) + ")";

  sd_bus_error refusal = SD_BUS_ERROR_NULL;
  sd_bus_message* answer = nullptr;
  const uint64_t now = nowMicroseconds();
  error =
      sd_bus_call(bus.get(), request.get(), now < deadline ? deadline - now : 1, &refusal, &answer);
  Message reply(answer);
  if (error < 0) {
    std::string text = "the user service manager did not make " + unit + " (" +
                       (refusal.message != nullptr ? refusal.message : why(error)) + ")";
    sd_bus_error_free(&refusal);
    return text;
  }

  while (!wait.result) {
    error = sd_bus_process(bus.get(), nullptr);
    if (error > 0) continue;
    const uint64_t at = nowMicroseconds();
    if (error < 0 || at >= deadline) {
      return "the user service manager did not report " + unit + " started" +
             (error < 0 ? " (" + why(error) + ")" : " in time");
    }
    sd_bus_wait(bus.get(), deadline - at);
  }
  if (*wait.result != "done") {
    return "the user service manager's job for " + unit + " ended as \"" + *wait.result + "\"";
  }
  return std::nullopt;
}

}  // namespace TransientScope
}  // namespace veldane
