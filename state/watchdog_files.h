#ifndef VELDANE_STATE_WATCHDOG_FILES_H_
#define VELDANE_STATE_WATCHDOG_FILES_H_

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace veldane {

// Where the watchdog's files live for one installed copy of the host, and the
// path helpers that every path comparison goes through. The host derives the
// same folder by the same rules.
//
//   auto files = WatchdogFiles::forBundle(appSupport, "com.example.app", bundlePath);
//   WatchdogStore::read<HostRunRecord>(files.hostRecordPath());
class WatchdogFiles {
 public:
  static constexpr const char* kHostRecordName = "host.json";
  static constexpr const char* kHangNoteName = "hang.json";
  static constexpr const char* kLedgerName = "watchdog.json";
  // Held by the one active watchdog of the folder.
  static constexpr const char* kLockName = "watchdog.lock";
  // The watchdog's account of the last hang it ended.
  static constexpr const char* kHangReportName = "hang-report.json";

  // No folder: every path is empty.
  WatchdogFiles() = default;
  // The files of the folder `directory`, their paths made once here.
  explicit WatchdogFiles(std::filesystem::path directory);

  // applicationSupport / bundleIdentifier / "Watchdog" / 16 hex digits of
  // fnv1a(normalized(bundlePath)). The identifier must be usable (below).
  static WatchdogFiles forBundle(const std::filesystem::path& applicationSupport,
                                 const std::string& bundleIdentifier,
                                 const std::string& bundlePath);

  // Whether a bundle identifier can name the data folder's second component:
  // not empty, not "." or "..", and without "/" or NUL. A bundle whose
  // identifier is not usable has none: the watchdog idles, and the host
  // library and the status tool refuse it alike.
  static bool isUsableBundleIdentifier(std::string_view identifier);

  const std::filesystem::path& directory() const { return directory_; }
  const std::filesystem::path& hostRecordPath() const { return hostRecord_; }
  const std::filesystem::path& hangNotePath() const { return hangNote_; }
  const std::filesystem::path& ledgerPath() const { return ledger_; }
  const std::filesystem::path& lockPath() const { return lock_; }
  const std::filesystem::path& hangReportPath() const { return hangReport_; }

  // Lexical canonical form: absolute against the working directory, "." and
  // ".." resolved, repeated and trailing slashes removed ("/" stays "/").
  // No symbolic link is resolved. An empty path gives the working directory.
  static std::string normalized(std::string_view path);

  // The path with every symbolic link resolved, normalised: the form in which
  // the system reports a running executable's path, from which the watchdog
  // derives its bundle. normalized() of the path when it cannot be resolved.
  static std::string resolved(std::string_view path);

  // True when `path` is already what normalized() gives for it, found without
  // a copy.
  static bool isNormalized(std::string_view path);

  // The normalised path of the .app bundle whose Contents/MacOS folder holds
  // the executable directly, or absent. Case-sensitive.
  static std::optional<std::string> hostBundlePath(std::string_view helperExecutable);

  // FNV-1a, 64-bit, over the bytes of the text.
  static uint64_t fnv1a(std::string_view text);

  // The 16-digit lower-case hexadecimal form of a hash ("%016llx").
  static std::string hashName(uint64_t hash);

  friend bool operator==(const WatchdogFiles&, const WatchdogFiles&) = default;

 private:
  std::filesystem::path directory_;
  std::filesystem::path hostRecord_;
  std::filesystem::path hangNote_;
  std::filesystem::path ledger_;
  std::filesystem::path lock_;
  std::filesystem::path hangReport_;
};

}  // namespace veldane

#endif  // VELDANE_STATE_WATCHDOG_FILES_H_
