// veldane-e2e-registering-host register|unregister [BUNDLE]: an application
// that registers its bundle's watchdog, or no longer, as an adopter's would.
// Says the reason on standard output; exits 0 when done, 1 when not.
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "veldane/host.hpp"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) return 2;
  const std::string_view verb = argv[1];
  std::optional<std::string> bundle;
  if (argc == 3) bundle = argv[2];
  std::string why;
  bool done = false;
  if (verb == "register") {
    done = veldane::registerWatchdog(&why, bundle);
  } else if (verb == "unregister") {
    // The C API as such, as another language would call it.
    char reason[1024];
    done = veldane_unregister_watchdog(bundle ? bundle->c_str() : nullptr, reason, sizeof reason);
    why = reason;
  } else {
    return 2;
  }
  std::printf("%s\n", why.c_str());
  return done ? 0 : 1;
}
