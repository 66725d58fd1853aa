#include "platform/linux/systemd_unit_name.h"

#include <vector>

namespace veldane {
namespace {

// Longer names are refused by systemd (UNIT_NAME_MAX less its NUL).
constexpr size_t kUnitNameMax = 255;

bool keptAsIs(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':' ||
         c == '_' || c == '.';
}

void appendEscaped(std::string& out, char c) {
  static constexpr char kHex[] = "0123456789abcdef";
  const auto byte = static_cast<unsigned char>(c);
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 15];
}

// A unit name never starts with ".", as a hidden file would.
void appendEscapedText(std::string& out, std::string_view text, bool leads) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (keptAsIs(c) && !(c == '.' && leads && i == 0)) {
      out += c;
    } else {
      appendEscaped(out, c);
    }
  }
}

}  // namespace

std::string SystemdUnitName::escaped(std::string_view text) {
  std::string out;
  appendEscapedText(out, text, true);
  return out;
}

std::optional<std::string> SystemdUnitName::escapedPath(std::string_view path) {
  std::vector<std::string_view> components;
  while (!path.empty()) {
    const size_t slash = path.find('/');
    const std::string_view component = path.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    if (component.empty() || component == ".") continue;
    if (component == "..") return std::nullopt;
    components.push_back(component);
  }
  if (components.empty()) return "-";

  std::string out;
  for (size_t i = 0; i < components.size(); ++i) {
    if (i > 0) out += '-';
    appendEscapedText(out, components[i], i == 0);
  }
  return out;
}

std::optional<std::string> SystemdUnitName::watchdogUnit(std::string_view bundlePath) {
  std::optional<std::string> instance = escapedPath(bundlePath);
  if (!instance) return std::nullopt;
  std::string name = "veldane-watchdog@" + *instance + ".service";
  if (name.size() > kUnitNameMax) return std::nullopt;
  return name;
}

}  // namespace veldane
