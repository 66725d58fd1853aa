#include "tools/watchdog_registration_report.h"

#include <optional>

namespace veldane {
namespace {

using nlohmann::json;

json known(const std::optional<bool>& value) { return value ? json(*value) : json(nullptr); }

// Texts from the job manager go to a terminal: no control characters.
std::string printable(const json& value, const char* ifNull) {
  if (value.is_boolean()) return value.get<bool>() ? "yes" : "no";
  if (!value.is_string()) return ifNull;
  std::string text = value.get<std::string>();
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return text;
}

const json& field(const json& object, const char* key) {
  static const json kNull;
  if (!object.is_object()) return kNull;
  auto it = object.find(key);
  return it == object.end() ? kNull : *it;
}

}  // namespace

json WatchdogRegistrationReport::build(const WatchdogRegistrationStatus& status) {
  return {
      {"job", status.job.empty() ? json(nullptr) : json(status.job)},
      {"registered", known(status.registered)},
      {"running", known(status.running)},
      {"state", status.state.empty() ? json(nullptr) : json(status.state)},
      {"why", status.why.empty() ? json(nullptr) : json(status.why)},
  };
}

std::string WatchdogRegistrationReport::renderText(const json& part) {
  std::string out = "\nRegistration\n";
  const auto line = [&](const char* label, const std::string& value) {
    out += "  " + std::string(label) + std::string(20 - std::string(label).size(), ' ') + value +
           "\n";
  };
  line("job", printable(field(part, "job"), "none"));
  line("registered", printable(field(part, "registered"), "unknown"));
  line("running", printable(field(part, "running"), "unknown"));
  if (field(part, "state").is_string()) line("state", printable(field(part, "state"), ""));
  if (field(part, "why").is_string()) line("unknown because", printable(field(part, "why"), ""));
  return out;
}

}  // namespace veldane
