#include "platform/linux/journal_log_channel.h"

#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/uio.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace veldane {

namespace {

constexpr char kIdentifier[] = "VeldaneWatchdog";
constexpr char kJournalSocket[] = "/run/systemd/journal/socket";
// What an exit waits for queued lines at most: the update message is worth
// a moment, a stalled journal is not worth more.
constexpr Seconds kExitFlush{0.5};

struct Entry {
  LogLevel level = LogLevel::standard;
  std::string message;              // for syslog
  std::vector<std::string> fields;  // NAME=value
  size_t lostBefore = 0;            // lines dropped just before this one
};

void logToSyslog(int priority, std::string_view message) {
  static const bool opened = [] {
    openlog(kIdentifier, LOG_PID, LOG_USER);
    return true;
  }();
  (void)opened;
  const std::string text(message);
  syslog(priority, "%s", text.c_str());
}

// Blocks while the journal does not read; only the sending thread calls it,
// or the caller where no such thread could be started.
void send(int priority, std::string_view message, std::vector<std::string>& fields) {
  // Checked per message, so that a journal that starts later is used.
  if (access(kJournalSocket, F_OK) == 0) {
    std::vector<iovec> iov(fields.size());
    for (size_t i = 0; i < iov.size(); ++i) {
      iov[i].iov_base = fields[i].data();
      iov[i].iov_len = fields[i].size();
    }
    if (sd_journal_sendv(iov.data(), static_cast<int>(iov.size())) >= 0) return;
  }
  logToSyslog(priority, message);
}

int priorityOf(LogLevel level) { return level == LogLevel::error ? LOG_ERR : LOG_NOTICE; }

}  // namespace

struct JournalLogChannel::Queue {
  std::string subsystem;
  size_t capacity = 0;

  std::mutex mutex;
  std::condition_variable work;  // for the sender: an entry, a loss, or the end
  std::condition_variable idle;  // for flush: nothing left
  std::deque<Entry> entries;
  size_t lost = 0;  // dropped since the last entry queued
  bool sending = false;
  bool started = false;   // the sender was tried
  bool threaded = false;  // and runs
  bool ending = false;

  std::vector<std::string> fieldsOf(int priority, std::string_view message) const {
    return {
        "MESSAGE=" + std::string(message),
        "PRIORITY=" + std::to_string(priority),
        std::string("SYSLOG_IDENTIFIER=") + kIdentifier,
        "LOG_SUBSYSTEM=" + subsystem,
        "LOG_CATEGORY=watchdog-helper",
    };
  }
  bool quiet() const { return entries.empty() && lost == 0 && !sending; }

  void sendLost(size_t count) {
    const std::string message = lostLinesMessage(count);
    std::vector<std::string> fields = fieldsOf(LOG_WARNING, message);
    fields.push_back("LOG_LINES_LOST=" + std::to_string(count));
    send(LOG_WARNING, message, fields);
  }

  void run() {
    std::unique_lock lock(mutex);
    for (;;) {
      work.wait(lock, [this] { return !entries.empty() || lost > 0 || ending; });
      if (entries.empty() && lost == 0) return;
      std::optional<Entry> entry;
      size_t lostBefore = 0;
      if (entries.empty()) {
        // Dropped after the last line queued: said once the journal reads again.
        lostBefore = std::exchange(lost, 0);
      } else {
        entry = std::move(entries.front());
        entries.pop_front();
        lostBefore = entry->lostBefore;
      }
      sending = true;
      lock.unlock();
      if (lostBefore > 0) sendLost(lostBefore);
      if (entry) send(priorityOf(entry->level), entry->message, entry->fields);
      entry.reset();
      lock.lock();
      sending = false;
      if (quiet()) idle.notify_all();
    }
  }

  bool waitUntilQuiet(Seconds within) {
    std::unique_lock lock(mutex);
    return idle.wait_for(lock, within, [this] { return quiet(); });
  }
};

namespace {

// The channel whose lines an exit waits for.
JournalLogChannel::Queue* exitQueue = nullptr;

void flushAtExit() {
  if (exitQueue != nullptr) exitQueue->waitUntilQuiet(kExitFlush);
}

void* runSender(void* argument) {
  auto* owned = static_cast<std::shared_ptr<JournalLogChannel::Queue>*>(argument);
  const std::shared_ptr<JournalLogChannel::Queue> queue = std::move(*owned);
  delete owned;
  queue->run();
  return nullptr;
}

// Detached, with every signal blocked, so that none meant for the loop or
// the SIGTERM thread is taken there. It holds the queue, so a channel that
// goes while a send blocks leaves it nothing dangling.
bool startSender(const std::shared_ptr<JournalLogChannel::Queue>& queue) {
  // The sender frees what the caller allocated; one arena for both spares
  // the pages of a second one.
  mallopt(M_ARENA_MAX, 1);
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_attr_setstacksize(&attributes, std::max<size_t>(PTHREAD_STACK_MIN, 256 * 1024));
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  auto* argument = new std::shared_ptr<JournalLogChannel::Queue>(queue);
  pthread_t sender;
  const bool started = pthread_create(&sender, &attributes, runSender, argument) == 0;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  pthread_attr_destroy(&attributes);
  if (!started) {
    delete argument;
    return false;
  }
  static const bool registered = std::atexit(flushAtExit) == 0;
  (void)registered;
  if (exitQueue == nullptr) exitQueue = queue.get();
  return true;
}

}  // namespace

JournalLogChannel::JournalLogChannel() : JournalLogChannel(VELDANE_HOST_BUNDLE_IDENTIFIER) {}

JournalLogChannel::JournalLogChannel(std::string subsystem, size_t capacity)
    : queue_(std::make_shared<Queue>()) {
  queue_->subsystem = std::move(subsystem);
  queue_->capacity = std::max<size_t>(capacity, 1);
}

JournalLogChannel::~JournalLogChannel() {
  if (exitQueue == queue_.get()) exitQueue = nullptr;
  {
    std::lock_guard lock(queue_->mutex);
    queue_->ending = true;
  }
  queue_->work.notify_one();
}

std::string JournalLogChannel::lostLinesMessage(size_t count) {
  return count == 1
             ? "1 log line was lost while the journal was not reading"
             : std::to_string(count) + " log lines were lost while the journal was not reading";
}

void JournalLogChannel::log(LogLevel level, std::string_view message) {
  logWithFields(level, message, {});
}

void JournalLogChannel::logWithFields(LogLevel level, std::string_view message,
                                      const LogFields& extra) {
  Queue& queue = *queue_;
  // Whole fields, never formatted: a "%" in the message stays as it is.
  Entry entry{level, std::string(message), queue.fieldsOf(priorityOf(level), message)};
  for (const auto& [name, value] : extra) entry.fields.push_back(name + "=" + value);
  std::unique_lock lock(queue.mutex);
  if (!queue.started) {
    // Here rather than at construction: the loop blocks its signals first.
    queue.started = true;
    queue.threaded = startSender(queue_);
  }
  if (!queue.threaded) {
    lock.unlock();
    send(priorityOf(level), entry.message, entry.fields);
    return;
  }
  if (queue.entries.size() >= queue.capacity) {
    ++queue.lost;
    return;
  }
  entry.lostBefore = std::exchange(queue.lost, 0);
  queue.entries.push_back(std::move(entry));
  lock.unlock();
  queue.work.notify_one();
}

bool JournalLogChannel::flush(Seconds within) { return queue_->waitUntilQuiet(within); }

}  // namespace veldane
