// Stands in for a host application in tests: copied into a bundle's
// Contents/MacOS, it starts a session there, beats once, says
// "ready <pid> <launch ID>" (or "failed <reason>") and waits to be killed.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "veldane/host.hpp"

int main(int argc, char** argv) {
  std::string failure;
  auto session = veldane::HostSession::start(argc, argv, {}, &failure);
  if (!session) {
    std::printf("failed %s\n", failure.c_str());
    return 1;
  }
  session->beat();
  std::printf("ready %d %s\n", static_cast<int>(getpid()), session->launchID().c_str());
  std::fflush(stdout);
  for (;;) pause();
}
