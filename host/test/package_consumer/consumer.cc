// Built with the installed headers alone: the C++ layer over the C API.
#include <veldane/host.hpp>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  std::string why;
  auto session = veldane::HostSession::start(argc, argv, {}, &why);
  // Not inside a bundle, so refused, with the library's reason.
  if (session || why.rfind("not inside an .app bundle: ", 0) != 0) {
    std::fprintf(stderr, "consumer: unexpected start (%s)\n", why.c_str());
    return 1;
  }
  return 0;
}
