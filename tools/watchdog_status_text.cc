// The report as plain text. It reads only the report's own JSON, and treats a
// key that is missing or of another type as null rather than throwing.
#include <cstdio>
#include <string>
#include <string_view>

#include "tools/watchdog_status_report.h"

namespace veldane {
namespace {

using nlohmann::json;

const json& field(const json& object, const char* key) {
  static const json kNull;
  if (!object.is_object()) return kNull;
  auto it = object.find(key);
  return it == object.end() ? kNull : *it;
}

// A record's texts go to a terminal: control characters are shown as JSON
// escapes, DEL and the C1 characters too, which JSON leaves raw, and bytes
// that are not UTF-8 as U+FFFD, so that no text can move the cursor, rewrite
// the screen or change the terminal's state. Quotes and backslashes are
// escaped as in JSON, so that an escape is never ambiguous.
std::string escaped(std::string_view text) {
  const std::string quoted =
      json(std::string(text)).dump(-1, ' ', /*ensure_ascii=*/false, json::error_handler_t::replace);
  std::string out;
  out.reserve(quoted.size());
  // The dump is valid UTF-8, so C2 followed by 80 to 9F is a C1 character.
  for (size_t i = 1; i + 1 < quoted.size(); ++i) {
    const auto byte = static_cast<unsigned char>(quoted[i]);
    const auto next = static_cast<unsigned char>(quoted[i + 1]);
    char escape[8];
    if (byte == 0x7F || (byte == 0xC2 && next >= 0x80 && next <= 0x9F && i + 2 < quoted.size())) {
      const unsigned codepoint = byte == 0x7F ? byte : next;
      std::snprintf(escape, sizeof escape, "\\u%04x", codepoint);
      out += escape;
      if (byte == 0xC2) ++i;
    } else {
      out += quoted[i];
    }
  }
  return out;
}

std::string str(const json& value, const char* ifNull = "none") {
  if (value.is_string()) return escaped(value.get_ref<const std::string&>());
  if (value.is_boolean()) return value.get<bool>() ? "yes" : "no";
  if (value.is_number_integer()) return std::to_string(value.get<int64_t>());
  if (value.is_number()) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", value.get<double>());
    return buffer;
  }
  return ifNull;
}

// Whole numbers without a fraction: limits are whole seconds.
std::string seconds(const json& value) {
  if (!value.is_number()) return "?";
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%g", value.get<double>());
  return buffer;
}

void line(std::string& out, std::string_view label, const std::string& value) {
  out.append("  ").append(label);
  out.append(label.size() < 20 ? 20 - label.size() : 1, ' ');
  out.append(value).append("\n");
}

std::string problemOf(const json& report, std::string_view file, const char* otherwise) {
  const std::string prefix = std::string(file) + ": ";
  for (const json& problem : field(report, "problems")) {
    if (problem.is_string() && problem.get<std::string>().starts_with(prefix)) {
      return escaped(problem.get<std::string>().substr(prefix.size()));
    }
  }
  return otherwise;
}

std::string boot(const json& thisBoot, const json& session) {
  return thisBoot.is_boolean() && thisBoot.get<bool>() ? "this boot"
                                                       : "another boot (" + str(session) + ")";
}

void renderHost(std::string& out, const json& host) {
  std::string state = str(field(host, "pid")) + ", ";
  state += field(host, "alive") == true ? "alive" : "not alive";
  if (field(host, "traced") == true) state += ", traced";
  line(out, "pid", state);
  line(out, "launch ID", str(field(host, "launchID")));
  line(out, "boot session", boot(field(host, "thisBoot"), field(host, "bootSession")));
  line(out, "executable", str(field(host, "executablePath")));
  const json& age = field(host, "heartbeatAgeSeconds");
  line(out, "heartbeat",
       (age.is_number() ? str(age) + " s ago" : std::string("from another boot")) +
           ", hang limit " + seconds(field(host, "hangLimitSeconds")) + " s");
  for (const char* flag : {"curtainUp", "awayCoverUp", "cleanExit", "safeMode"}) {
    line(out, flag, str(field(host, flag)));
  }
  line(out, "started", str(field(host, "startedAt")));
  line(out, "last heartbeat", str(field(host, "heartbeatAt")));
  line(out, "crash loop reset", str(field(host, "crashLoopResetAt"), "never"));
}

void renderHangNote(std::string& out, const json& note) {
  line(out, "launch ID",
       str(field(note, "launchID")) +
           (field(note, "namesCurrentRun") == true ? " (the current run)" : " (another run)"));
  line(out, "at", str(field(note, "at")));
  line(out, "stalled", str(field(note, "stalledSeconds")) + " s");
}

void renderLedger(std::string& out, const json& ledger) {
  const json& recent = field(ledger, "recentUnexpectedExits");
  line(out, "unexpected exits",
       std::to_string(recent.is_array() ? recent.size() : 0) + " in the last " +
           seconds(field(ledger, "crashLoopWindowSeconds")) + " s (limit " +
           str(field(ledger, "crashLoopLimit")) + ")");
  for (const json& exit : recent) line(out, "", str(exit));
  line(out, "relaunching",
       field(ledger, "stopped") == true ? "no, stopped since " + str(field(ledger, "stoppedAt"))
                                        : std::string("yes"));
  line(out, "safe mode launch", str(field(ledger, "safeModeLaunchedAt"), "never"));
  const json& lastExit = field(ledger, "lastExit");
  line(out, "last exit",
       lastExit.is_string() ? str(lastExit) + " at " + str(field(ledger, "lastExitAt"))
                            : std::string("none"));
  std::string relaunches = str(field(ledger, "relaunches"));
  if (field(ledger, "lastRelaunchAt").is_string()) {
    relaunches += ", last at " + str(field(ledger, "lastRelaunchAt"));
  }
  line(out, "relaunches", relaunches);
  line(out, "handled launch ID", str(field(ledger, "handledLaunchID")));
  line(out, "boot session", boot(field(ledger, "thisBoot"), field(ledger, "bootSession")));
}

// A number with `digits` decimals, scaled; "?" for anything else.
std::string fixed(const json& value, int digits, double scale = 1) {
  if (!value.is_number()) return "?";
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.*f", digits, value.get<double>() * scale);
  return buffer;
}

void renderHangReport(std::string& out, const json& report) {
  line(out, "summary", str(field(report, "summary")));
  line(out, "pid", str(field(report, "pid")) + ", launch ID " + str(field(report, "launchID")));
  line(out, "at", str(field(report, "at")));
  line(out, "silent", str(field(report, "secondsSilent")) + " s, hang limit " +
                          seconds(field(report, "hangLimitSeconds")) + " s");
  line(out, "snapshot", fixed(field(report, "snapshotSeconds"), 0, 1000) + " ms before the signal");
  line(out, "stacks", str(field(report, "stacks")));
  for (const json& thread : field(report, "threads")) {
    std::string state = str(field(thread, "state"));
    if (field(thread, "wchan").is_string()) state += " in " + str(field(thread, "wchan"));
    state += ", " + fixed(field(thread, "cpuSeconds"), 2) + " s CPU";
    if (field(thread, "cpuSinceSample").is_number()) {
      state += " (" + fixed(field(thread, "cpuSinceSample"), 2) + " s since the sample)";
    }
    line(out, "thread " + str(field(thread, "tid")), str(field(thread, "name")) + ": " + state);
    for (const json& frame : field(thread, "kernelStack")) line(out, "", "[kernel] " + str(frame));
    size_t number = 0;
    for (const json& frame : field(thread, "stack")) {
      line(out, "", "#" + std::to_string(number++) + " " + str(frame));
    }
  }
}

}  // namespace

std::string WatchdogStatusReport::renderText(const json& report) {
  const json& bundle = field(report, "bundle");
  std::string out;
  out += "Bundle       " + str(field(bundle, "path")) + "\n";
  out += "Identifier   " + str(field(bundle, "identifier"), "unknown") + "\n";
  out += "Data folder  " + str(field(bundle, "dataFolder"), "unknown") + "\n";
  out += "Now          " + str(field(report, "now"), "unknown") + ", uptime " +
         str(field(report, "uptime")) + " s\n";

  if (field(bundle, "dataFolder").is_string()) {
    struct Part {
      const char* title;
      const char* file;
      const char* key;
      void (*render)(std::string&, const json&);
      const char* absent = "not read";
    };
    const Part parts[] = {{"Host", "host.json", "host", renderHost},
                          {"Hang note", "hang.json", "hangNote", renderHangNote},
                          {"Watchdog ledger", "watchdog.json", "ledger", renderLedger},
                         {"Last hang report", "hang-report.json", "hangReport",
                          renderHangReport, "none"}};
    for (const Part& part : parts) {
      out.append("\n").append(part.title).append(" (").append(part.file).append(")");
      const json& value = field(report, part.key);
      if (value.is_null()) {
        out.append(": ").append(problemOf(report, part.file, part.absent)).append("\n");
      } else {
        out.append("\n");
        part.render(out, value);
      }
    }
  } else {
    for (const json& problem : field(report, "problems")) {
      out += "\nCannot report: " + str(problem) + "\n";
    }
  }
  return out;
}

}  // namespace veldane
