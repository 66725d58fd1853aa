#include "platform/linux/sigterm_exit_linux.h"

#include <pthread.h>
#include <unistd.h>

#include <limits.h>

#include <algorithm>
#include <csignal>

namespace veldane {
namespace {

// _exit rather than exit: the main thread may be anywhere, and must not see
// the static objects destroyed under it.
void* exitOnceTerminated(void*) {
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  int signal = 0;
  while (sigwait(&term, &signal) != 0) {
  }
  _exit(0);
}

}  // namespace

bool startSigtermExit() {
  std::signal(SIGTERM, SIG_IGN);
  // Blocked, the signal still queues despite SIG_IGN, and sigwait takes it.
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &mask, nullptr);
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  // It only waits: a small stack will do.
  pthread_attr_setstacksize(&attributes, std::max<size_t>(PTHREAD_STACK_MIN, 64 * 1024));
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  // Every signal blocked in it, so that none the loop reads is taken there.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pthread_t waiter;
  const bool started = pthread_create(&waiter, &attributes, exitOnceTerminated, nullptr) == 0;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  pthread_attr_destroy(&attributes);
  return started;
}

}  // namespace veldane
