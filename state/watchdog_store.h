#ifndef VELDANE_STATE_WATCHDOG_STORE_H_
#define VELDANE_STATE_WATCHDOG_STORE_H_

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace veldane {

// The one rule for reading and writing the JSON files. Both absorb every
// failure: a write reports true or false, a read gives a value or nothing.
// Neither logs, retries or repairs a file.
namespace WatchdogStore {

// Files larger than this are refused unread: the host may write anything,
// and every tick parses its files. A run record is a few hundred bytes.
inline constexpr size_t kMaxFileSize = 64 << 10;

// The watchdog's own hang report may hold the stacks of hundreds of threads;
// it is read only by the status tool, which takes this bound instead.
inline constexpr size_t kMaxReportSize = 16 << 20;

// Arrays and objects nested deeper than this are refused while parsing; the
// files themselves nest two levels.
inline constexpr size_t kMaxDepth = 16;

// The writer's layout: keys sorted by their bytes, compact, no final line
// break, "/" written as "\/", other non-ASCII as UTF-8. Absent when the value
// holds text that is not valid UTF-8.
std::optional<std::string> serialize(const nlohmann::json& json);

// Parses JSON text; absent on any syntax error, invalid UTF-8, nesting
// deeper than kMaxDepth or empty text.
std::optional<nlohmann::json> parse(std::string_view text);

// Whether a file may be reached through a symbolic link. The JSON files are
// written by rename, so a link in their place is never one that they wrote.
enum class FileLinks { refuse, follow };

// The whole content of a regular file of at most `limit` bytes. Absent when
// the file is missing, unreadable, not a regular file (a folder, FIFO,
// socket, device or dangling link), a link when links are refused, or too
// large. Anything but a regular file is refused before it is opened.
std::optional<std::string> readFile(const std::filesystem::path& path, size_t limit = kMaxFileSize,
                                    FileLinks links = FileLinks::refuse);

// Hands memory that a read of `size` bytes left free back to the system,
// when the read was far larger than the files ever are.
void releaseMemoryAfterRead(size_t size);

// Creates the missing folders of `directory` with mode 0700 exactly, leaving
// existing ones alone; false when one cannot be made or a component is no
// folder.
bool createFolders(const std::filesystem::path& directory);

// Creates the missing folders of `directory` with mode 0700 exactly, leaving
// existing ones alone, then writes `bytes` to a uniquely named temporary file
// in it and renames that over `path`. On failure the old file is unchanged
// and no temporary file is left. `durable` flushes the bytes to the disk
// before the rename; frequent writes that a power loss may lose (the host's
// heartbeats) leave it off.
bool writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         bool durable = true);

// Removes what interrupted writes of `path` left behind: the temporary files
// that writeFileAtomically names after it, when last modified more than
// `olderThan` ago. Never fails; what cannot be removed stays.
void removeTemporaryFiles(const std::filesystem::path& path, std::chrono::seconds olderThan);

// T provides `static std::optional<T> fromJson(const nlohmann::json&)` and
// `std::optional<nlohmann::json> toJson() const`.
template <typename T>
bool write(const T& value, const std::filesystem::path& to, bool durable = true) {
  std::optional<nlohmann::json> json = value.toJson();
  if (!json) return false;
  std::optional<std::string> bytes = serialize(*json);
  return bytes && writeFileAtomically(to, *bytes, durable);
}

template <typename T>
std::optional<T> read(const std::filesystem::path& from, size_t limit = kMaxFileSize) {
  size_t size = 0;
  std::optional<T> value = [&]() -> std::optional<T> {
    std::optional<std::string> bytes = readFile(from, limit);
    if (!bytes || bytes->empty()) return std::nullopt;
    size = bytes->size();
    std::optional<nlohmann::json> json = parse(*bytes);
    if (!json) return std::nullopt;
    return T::fromJson(*json);
  }();
  // The text and its parse tree are gone by now.
  releaseMemoryAfterRead(size);
  return value;
}

}  // namespace WatchdogStore
}  // namespace veldane

#endif  // VELDANE_STATE_WATCHDOG_STORE_H_
