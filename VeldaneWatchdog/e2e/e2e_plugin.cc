// A plug-in that a hung host loaded, from a file system that then stopped
// answering: preloaded into a host, it says so by creating the file that
// VELDANE_E2E_PLUGIN_READY names, and the host then waits in it for good.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

extern "C" [[gnu::noinline]] void veldaneE2ePluginWait() {
  for (;;) pause();
}

[[gnu::constructor]] void hangOnLoad() {
  const char* ready = std::getenv("VELDANE_E2E_PLUGIN_READY");
  if (ready == nullptr) return;
  close(open(ready, O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  veldaneE2ePluginWait();
}
