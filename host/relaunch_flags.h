#ifndef VELDANE_HOST_RELAUNCH_FLAGS_H_
#define VELDANE_HOST_RELAUNCH_FLAGS_H_

namespace veldane {

// What the watchdog said on the command line when it relaunched the host.
struct RelaunchFlags {
  bool recovered = false;
  bool safeMode = false;

  // Exact matches anywhere after argv[0]; a null argv or entry counts as none.
  static RelaunchFlags parse(int argc, const char* const* argv);

  friend bool operator==(const RelaunchFlags&, const RelaunchFlags&) = default;
};

}  // namespace veldane

#endif  // VELDANE_HOST_RELAUNCH_FLAGS_H_
