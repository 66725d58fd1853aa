#ifndef VELDANE_STATE_FILE_IO_H_
#define VELDANE_STATE_FILE_IO_H_

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace veldane {

// The store's access to its files, apart from what the files say. Every
// failure is absorbed: a write reports true or false, a read gives the bytes
// or nothing. Nothing here logs, retries or repairs a file.
namespace WatchdogStore {

// Files larger than this are refused unread: the host may write anything,
// and every tick parses its files. A run record is a few hundred bytes.
inline constexpr size_t kMaxFileSize = 64 << 10;

// The watchdog's own hang report may hold the stacks of hundreds of threads;
// it is read only by the status tool, which takes this bound instead.
inline constexpr size_t kMaxReportSize = 16 << 20;

// Whether a file may be reached through a symbolic link. The JSON files are
// written by rename, so a link in their place is never one that they wrote.
enum class FileLinks { refuse, follow };

// The whole content of a regular file of at most `limit` bytes. Absent when
// the file is missing, unreadable, not a regular file (a folder, FIFO,
// socket, device or dangling link), a link when links are refused, or too
// large. Anything but a regular file is refused before it is opened.
std::optional<std::string> readFile(const std::filesystem::path& path, size_t limit = kMaxFileSize,
                                    FileLinks links = FileLinks::refuse);

// Creates the missing folders of `directory` with mode 0700 exactly, leaving
// existing ones alone; false when one cannot be made or a component is no
// folder.
bool createFolders(const std::filesystem::path& directory);

// Creates the folders of `path` as createFolders does, then writes `bytes` to
// a uniquely named temporary file in it and renames that over `path`. On
// failure the old file is unchanged and no temporary file is left. `durable`
// flushes the bytes to the disk before the rename; frequent writes that a
// power loss may lose (the host's heartbeats) leave it off.
bool writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         bool durable = true);

// Removes what interrupted writes of `path` left behind: the temporary files
// that writeFileAtomically names after it, when last modified more than
// `olderThan` ago. Never fails; what cannot be removed stays.
void removeTemporaryFiles(const std::filesystem::path& path, std::chrono::seconds olderThan);

}  // namespace WatchdogStore
}  // namespace veldane

#endif  // VELDANE_STATE_FILE_IO_H_
