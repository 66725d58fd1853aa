#ifndef VELDANE_PLATFORM_LINUX_TEST_JOURNAL_CAPTURE_H_
#define VELDANE_PLATFORM_LINUX_TEST_JOURNAL_CAPTURE_H_

#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Catches what a process sends to the journal, for tests. The capture lives in
// a private mount namespace, so the machine's own journal is never touched.
namespace veldane::journal_capture {

// One journal record: field name to value. Of a repeated field the last wins.
using Fields = std::map<std::string, std::string>;

// Moves the calling thread, and every process it starts afterwards, into a
// private mount namespace whose journal socket is a fresh datagram socket, and
// gives that socket's fd. Gives -1 and the reason in `error` when it is not
// permitted. Run it in a process of its own: there is no way back.
int enterPrivateJournal(std::string* error);

// Parses one datagram of the journal's native protocol; absent when malformed.
std::optional<Fields> parseRecord(std::string_view datagram);

// The binary form of the native protocol, good for any value.
std::string encodeRecord(const Fields& fields);

// Waits up to `timeoutMs` for the next record on `socketFd`, reading a large
// one from the memory file it was passed in. Absent on timeout or error.
std::optional<Fields> receiveRecord(int socketFd, int timeoutMs);

// Hands every record arriving on `socketFd` to `onRecord` until the child
// `pid` ends, then those still queued; reaps the child and gives its wait
// status (-1 when it could not be watched).
int collectUntilExit(int socketFd, pid_t pid, const std::function<void(const Fields&)>& onRecord);

struct Captured {
  std::vector<Fields> records;
  int status = -1;    // Wait status of the process that ran the body.
  std::string error;  // Why nothing could be captured; empty on success.
};

// Runs `body` in a child process inside a private journal and gives the
// records sent while it ran. The calling process stays as it is.
Captured captureInChild(const std::function<void()>& body);

}  // namespace veldane::journal_capture

#endif  // VELDANE_PLATFORM_LINUX_TEST_JOURNAL_CAPTURE_H_
