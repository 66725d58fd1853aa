#include <stddef.h>
#include <string.h>

#include "veldane/host.h"

/* Drives the C API as a C application would: NULL when every call answered as
   expected, else the first that did not. The session is left in *out. */
const char* exercise_c_api(const char* bundle_path, veldane_host** out) {
  const char* argv[] = {"app", "--veldane-recovered", "--veldane-safe-mode"};
  veldane_host* host;
  veldane_host_options options;
  char failure[64];

  veldane_host_free(NULL);
  if (veldane_host_beat(NULL) || veldane_host_mark_clean_exit(NULL) ||
      veldane_host_safe_mode(NULL) || veldane_host_launch_id(NULL) ||
      veldane_host_data_folder(NULL)) {
    return "a null handle";
  }
  if (veldane_host_start(1, argv, NULL) != NULL) return "start outside a bundle";
  veldane_host_options_init(&options);
  if (options.bundle_path != NULL || options.bundle_identifier != NULL ||
      options.minimum_beat_interval_ms != 250) {
    return "default options";
  }
  if (veldane_host_start_with_options(1, argv, &options, failure, sizeof failure) != NULL ||
      strncmp(failure, "not inside an .app bundle", 25) != 0) {
    return "the reason of a failed start";
  }
  if (veldane_host_start_with_options(1, argv, NULL, failure, 4) != NULL ||
      strcmp(failure, "not") != 0) {
    return "a reason cut to the room given";
  }
  if (veldane_register_watchdog("/nonexistent/C.app", failure, sizeof failure) ||
      failure[0] == '\0' || veldane_unregister_watchdog(NULL, NULL, 0) ||
      veldane_open_login_items_settings(NULL, 0) < 0) {
    return "a refused registration";
  }
  *out = host = veldane_host_start_in_bundle(3, argv, bundle_path, "com.example.c");
  if (host == NULL) return "start in the bundle";
  if (!veldane_host_recovered(host) || !veldane_host_safe_mode(host)) return "flags";
  if (strcmp(veldane_host_bundle_path(host), bundle_path) != 0) return "bundle path";
  if (strcmp(veldane_host_bundle_identifier(host), "com.example.c") != 0) {
    return "bundle identifier";
  }
  if (!veldane_host_beat(host) || !veldane_host_set_curtain_up(host, 1) ||
      !veldane_host_set_away_cover_up(host, 1) || !veldane_host_reset_crash_loop(host) ||
      !veldane_host_note_hang(host, 2.5) || !veldane_host_mark_clean_exit(host)) {
    return "a write";
  }
  return NULL;
}
