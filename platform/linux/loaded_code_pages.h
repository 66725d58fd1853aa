#ifndef VELDANE_PLATFORM_LINUX_LOADED_CODE_PAGES_H_
#define VELDANE_PLATFORM_LINUX_LOADED_CODE_PAGES_H_

#include <cstddef>

namespace veldane {

// Start-up reads far more of the program and its libraries than the ticks
// that follow: the dynamic loader walks every library's symbols, and several
// libraries are needed only to be loaded. Those pages stay mapped, and where
// no other process maps the same library they count as the watchdog's own
// memory for as long as it runs.
namespace LoadedCodePages {

// Unmaps the code and read-only data of every loaded object, leaving the
// writable parts, the relocated ones among them, alone; what is used again
// comes back from the page cache on the next touch. Returns the bytes
// advised, or 0 when a tracer is attached: a debugger's breakpoints live in
// private copies of those pages, which this would drop.
size_t release();

}  // namespace LoadedCodePages
}  // namespace veldane

#endif  // VELDANE_PLATFORM_LINUX_LOADED_CODE_PAGES_H_
