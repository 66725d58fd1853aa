#ifndef VELDANE_PLATFORM_LINUX_TEST_JOURNAL_CAPTURE_H_
#define VELDANE_PLATFORM_LINUX_TEST_JOURNAL_CAPTURE_H_

#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

// Catches what a process sends to the journal, for tests and the demo. The
// capture lives in a private mount namespace, so the machine's own journal is
// never touched.
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

// Waits up to `timeoutMs` for the next record on `socketFd`, reading a large
// one from the memory file it was passed in. Absent on timeout or error.
std::optional<Fields> receiveRecord(int socketFd, int timeoutMs);

// Hands every record arriving on `socketFd` to `onRecord` until the child
// `pid` ends, then those still queued; reaps the child and gives its wait
// status (-1 when it could not be watched).
int collectUntilExit(int socketFd, pid_t pid, const std::function<void(const Fields&)>& onRecord);

}  // namespace veldane::journal_capture

#endif  // VELDANE_PLATFORM_LINUX_TEST_JOURNAL_CAPTURE_H_
