#include "platform/linux/user_manager_bus.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace veldane {
namespace {

constexpr char kService[] = "org.freedesktop.systemd1";
constexpr char kManagerPath[] = "/org/freedesktop/systemd1";
constexpr char kManager[] = "org.freedesktop.systemd1.Manager";

std::string oneLine(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

struct BusError {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  ~BusError() { sd_bus_error_free(&error); }
  std::string name() const { return error.name ? error.name : ""; }
  std::string message() const { return error.message ? error.message : ""; }
};

}  // namespace

std::string busFailureText(std::string_view doing, std::string_view errorName,
                           std::string_view errorMessage, int error) {
  if (errorName == "org.freedesktop.DBus.Error.ServiceUnknown" ||
      errorName == "org.freedesktop.DBus.Error.NameHasNoOwner") {
    return "no systemd user manager on the user bus";
  }
  if (error == ETIMEDOUT || errorName == "org.freedesktop.DBus.Error.Timeout" ||
      errorName == "org.freedesktop.DBus.Error.NoReply") {
    return "the systemd user manager did not answer in time (" + std::string(doing) + ")";
  }
  const std::string why =
      errorMessage.empty() ? std::string(std::strerror(error)) : oneLine(errorMessage);
  return "cannot " + std::string(doing) + ": " + why;
}

std::string busAddressValue(std::string_view value) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
        std::strchr("-_/.\\*", c) != nullptr) {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

std::unique_ptr<UserManagerBus> UserManagerBus::connect(std::chrono::steady_clock::duration budget,
                                                        std::string& failure) {
  const auto deadline = std::chrono::steady_clock::now() + budget;
  sd_bus* bus = nullptr;
  int error = 0;
  // The manager's own socket needs no bus daemon, which may not run at all.
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string privateSocket;
  if (runtime != nullptr && runtime[0] == '/') {
    privateSocket = std::string(runtime) + "/systemd/private";
    if (access(privateSocket.c_str(), F_OK) == 0) {
      error = sd_bus_new(&bus);
      if (error >= 0) {
        error = sd_bus_set_address(bus, ("unix:path=" + busAddressValue(privateSocket)).c_str());
      }
      if (error >= 0) error = sd_bus_start(bus);
      if (error < 0) bus = sd_bus_flush_close_unref(bus);
    }
  }
  if (bus == nullptr) {
    error = sd_bus_open_user(&bus);
    if (error < 0) {
      bus = nullptr;
      failure = "no systemd user manager: " +
                (privateSocket.empty()
                     ? std::string("XDG_RUNTIME_DIR is not set")
                     : "neither " + privateSocket + " nor the user bus answers") +
                " (" + std::strerror(-error) + ")";
      return nullptr;
    }
  }
  return std::unique_ptr<UserManagerBus>(new UserManagerBus(bus, deadline));
}

struct UserManagerBus::FollowedJob {
  std::string unit;
  std::optional<std::string> result;
  sd_bus_slot* slot = nullptr;

  static int onJobRemoved(sd_bus_message* message, void* data, sd_bus_error* /*error*/) {
    FollowedJob& job = *static_cast<FollowedJob*>(data);
    uint32_t id = 0;
    const char* path = nullptr;
    const char* unit = nullptr;
    const char* result = nullptr;
    if (sd_bus_message_read(message, "uoss", &id, &path, &unit, &result) >= 0 &&
        job.unit == unit) {
      job.result = result;
    }
    return 0;
  }
};

UserManagerBus::UserManagerBus(sd_bus* bus, std::chrono::steady_clock::time_point deadline)
    : bus_(bus), deadline_(deadline) {}

UserManagerBus::~UserManagerBus() {
  if (job_) sd_bus_slot_unref(job_->slot);
  sd_bus_flush_close_unref(bus_);
}

bool UserManagerBus::boundNextCall(std::string_view doing, std::string& failure) {
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
      deadline_ - std::chrono::steady_clock::now());
  if (left.count() <= 0) {
    failure = busFailureText(doing, "", "", ETIMEDOUT);
    return false;
  }
  sd_bus_set_method_call_timeout(bus_, static_cast<uint64_t>(left.count()));
  return true;
}

bool UserManagerBus::callManager(std::string_view doing, const char* method, BusReply& reply,
                                 std::string& failure, std::string* errorName, const char* types,
                                 ...) {
  if (errorName) errorName->clear();
  if (!boundNextCall(doing, failure)) return false;
  BusError error;
  sd_bus_message* answer = nullptr;
  va_list arguments;
  va_start(arguments, types);
  const int result = sd_bus_call_methodv(bus_, kService, kManagerPath, kManager, method,
                                         &error.error, &answer, types, arguments);
  va_end(arguments);
  reply.reset(answer);
  if (result >= 0) return true;
  if (errorName) *errorName = error.name();
  failure = busFailureText(doing, error.name(), error.message(), -result);
  return false;
}

bool UserManagerBus::unitProperty(const std::string& path, const char* property,
                                  std::string& value, std::string& failure) {
  const std::string doing = std::string("read ") + property;
  if (!boundNextCall(doing, failure)) return false;
  BusError error;
  char* text = nullptr;
  const int result = sd_bus_get_property_string(bus_, kService, path.c_str(),
                                                "org.freedesktop.systemd1.Unit", property,
                                                &error.error, &text);
  if (result < 0) {
    failure = busFailureText(doing, error.name(), error.message(), -result);
    return false;
  }
  value = text;
  std::free(text);
  return true;
}

bool UserManagerBus::followJobOf(const std::string& unit, std::string& failure) {
  if (job_) sd_bus_slot_unref(job_->slot);
  job_ = std::make_unique<FollowedJob>();
  job_->unit = unit;
  const int result =
      // No sender: on the manager's own socket there is no bus to name one.
      sd_bus_match_signal(bus_, &job_->slot, nullptr, kManagerPath, kManager, "JobRemoved",
                          FollowedJob::onJobRemoved, job_.get());
  if (result >= 0) return true;
  job_->slot = nullptr;
  failure = busFailureText("follow the jobs of " + unit, "", "", -result);
  return false;
}

std::optional<std::string> UserManagerBus::waitForJob(std::string& failure) {
  if (!job_) return std::nullopt;
  const std::string doing = "wait for the job of " + job_->unit;
  while (!job_->result) {
    const int processed = sd_bus_process(bus_, nullptr);
    if (processed > 0) continue;
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        deadline_ - std::chrono::steady_clock::now());
    if (processed < 0 || left.count() <= 0) {
      failure = busFailureText(doing, "", "", processed < 0 ? -processed : ETIMEDOUT);
      return std::nullopt;
    }
    sd_bus_wait(bus_, static_cast<uint64_t>(left.count()));
  }
  return job_->result;
}

}  // namespace veldane
