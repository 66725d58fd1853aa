#ifndef VELDANE_PLATFORM_LINUX_SD_EVENT_CALLBACK_H_
#define VELDANE_PLATFORM_LINUX_SD_EVENT_CALLBACK_H_

#include <utility>

#include "platform/main_loop.h"
#include "platform/run_guarded.h"

namespace veldane {

// A callback owned by its sd-event source, freed together with it
// (sd_event_source_set_destroy_callback with deleteBox).
struct CallbackBox {
  MainLoop::Callback callback;
};

inline void deleteBox(void* userdata) { delete static_cast<CallbackBox*>(userdata); }

// Runs a box's callback once. Takes the callback out first, so that it stays
// alive even when it destroys its own handle.
inline void runOnce(void* userdata) {
  MainLoop::Callback callback = std::move(static_cast<CallbackBox*>(userdata)->callback);
  static_cast<CallbackBox*>(userdata)->callback = nullptr;
  runGuarded(callback);
}

}  // namespace veldane

#endif  // VELDANE_PLATFORM_LINUX_SD_EVENT_CALLBACK_H_
