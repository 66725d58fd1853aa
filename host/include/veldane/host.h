#ifndef VELDANE_HOST_H_
#define VELDANE_HOST_H_

/* The host application's side of the watchdog, for C and for other languages,
   and the library's only interface: its C++ interface (host.hpp) is a layer
   over these functions in the application's own code, so that no C++ type
   crosses between the library's C++ runtime and the application's.

   Every function accepts a null handle (it then does nothing and returns 0 or
   NULL), never blocks for long and never aborts the application. Functions
   that return int give 1 when the file now says what was asked, 0 when not.

   A handle belongs to the process that started it: in a child made by fork()
   every function that writes writes nothing and returns 0. An application
   that daemonises calls veldane_host_mark_clean_exit in the parent before it
   forks (and nothing after), and veldane_host_start again in the child, a new
   run with its own launch ID; the inherited handle may be freed there.

     veldane_host* host = veldane_host_start(argc, argv, NULL);
     while (running) { ... veldane_host_beat(host); }
     veldane_host_mark_clean_exit(host);
     veldane_host_free(host);
*/

#include <stddef.h>

#include "veldane/host_export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct veldane_host veldane_host;

/* Starts a run of the application whose main executable calls this: finds the
   .app bundle around the executable, the bundle identifier in its Info.plist
   (unless given), the data folder, and writes the first run record. NULL when
   the executable is not in Contents/MacOS of an .app bundle, or the identifier
   or the user's data folder cannot be found, or, in a pid or time namespace,
   the pid or uptime clock that the watchdog outside sees (a pid namespace
   whose /proc is mounted from inside it shows no outer pid, unless the
   bundle's watchdog is that namespace's init). */
VELDANE_HOST_EXPORT veldane_host* veldane_host_start(
    int argc, const char* const* argv, const char* bundle_identifier_or_null) VELDANE_HOST_NOEXCEPT;

/* The same with the bundle given, for applications laid out differently. A
   NULL bundle_path behaves like veldane_host_start. */
VELDANE_HOST_EXPORT veldane_host* veldane_host_start_in_bundle(
    int argc, const char* const* argv, const char* bundle_path,
    const char* bundle_identifier_or_null) VELDANE_HOST_NOEXCEPT;

/* What veldane_host_start_with_options is given. */
typedef struct veldane_host_options {
  /* NULL: the .app bundle whose Contents/MacOS folder holds this process's
     executable. The watchdog looks after a run only when the executable lies
     inside the bundle. Symbolic links in it are resolved, as the watchdog
     finds its bundle by its own resolved path. */
  const char* bundle_path;
  /* NULL or "": CFBundleIdentifier of the bundle's Info.plist. */
  const char* bundle_identifier;
  /* Beats closer than this to the last written heartbeat write nothing. */
  long long minimum_beat_interval_ms;
} veldane_host_options;

/* Fills in the defaults: no bundle path, no identifier, 250 ms. */
VELDANE_HOST_EXPORT void veldane_host_options_init(veldane_host_options* options)
    VELDANE_HOST_NOEXCEPT;

/* veldane_host_start with every option; NULL options are the defaults. When
   it returns NULL and failure_or_null is given, the reason is written there,
   cut to failure_size - 1 bytes and ended by a NUL ("" when it starts). */
VELDANE_HOST_EXPORT veldane_host* veldane_host_start_with_options(
    int argc, const char* const* argv, const veldane_host_options* options_or_null,
    char* failure_or_null, size_t failure_size) VELDANE_HOST_NOEXCEPT;

/* Ends the handle; writes nothing (call veldane_host_mark_clean_exit first
   when quitting normally). */
VELDANE_HOST_EXPORT void veldane_host_free(veldane_host* host) VELDANE_HOST_NOEXCEPT;

/* A heartbeat: call it from the thread whose hang matters, about once a
   second. Beats within a quarter second of the last written one are skipped
   and return 1. */
VELDANE_HOST_EXPORT int veldane_host_beat(veldane_host* host) VELDANE_HOST_NOEXCEPT;

VELDANE_HOST_EXPORT int veldane_host_set_curtain_up(veldane_host* host,
                                                    int curtain_up) VELDANE_HOST_NOEXCEPT;
VELDANE_HOST_EXPORT int veldane_host_set_away_cover_up(veldane_host* host,
                                                       int away_cover_up) VELDANE_HOST_NOEXCEPT;
VELDANE_HOST_EXPORT int veldane_host_mark_clean_exit(veldane_host* host) VELDANE_HOST_NOEXCEPT;
VELDANE_HOST_EXPORT int veldane_host_reset_crash_loop(veldane_host* host) VELDANE_HOST_NOEXCEPT;
VELDANE_HOST_EXPORT int veldane_host_note_hang(veldane_host* host,
                                               double stalled_seconds) VELDANE_HOST_NOEXCEPT;

/* Whether the command line held "--veldane-recovered" or
   "--veldane-safe-mode". */
VELDANE_HOST_EXPORT int veldane_host_recovered(const veldane_host* host) VELDANE_HOST_NOEXCEPT;
VELDANE_HOST_EXPORT int veldane_host_safe_mode(const veldane_host* host) VELDANE_HOST_NOEXCEPT;

/* Texts owned by the handle, fixed at start and valid until
   veldane_host_free: the run's launch ID, the folder of host.json and
   hang.json, the bundle (resolved) and its identifier. */
VELDANE_HOST_EXPORT const char* veldane_host_launch_id(const veldane_host* host)
    VELDANE_HOST_NOEXCEPT;
VELDANE_HOST_EXPORT const char* veldane_host_data_folder(const veldane_host* host)
    VELDANE_HOST_NOEXCEPT;
VELDANE_HOST_EXPORT const char* veldane_host_bundle_path(const veldane_host* host)
    VELDANE_HOST_NOEXCEPT;
VELDANE_HOST_EXPORT const char* veldane_host_bundle_identifier(const veldane_host* host)
    VELDANE_HOST_NOEXCEPT;

/* Registers the watchdog of the bundle with the user's job manager, so that
   it runs now and starts again at every login. NULL bundle_path_or_null: the
   .app bundle around this process's executable, as veldane_host_start finds
   it. Once is enough, a second call is harmless; an installer or the first
   run may call it.
     Linux: the systemd user unit veldane-watchdog@<the bundle path escaped as
   "systemd-escape --path" does>.service, enabled for default.target and
   started; its template is written into the user's unit folder
   ($XDG_CONFIG_HOME/systemd/user or ~/.config/systemd/user) when the user
   manager finds none installed.
     macOS 13 and later: the launch agent
   Contents/Library/LaunchAgents/<bundle identifier>.watchdog.plist of the
   running application, through SMAppService; only the application's own
   bundle can be registered. macOS 11 and 12: not done (see README).
   1 when the job manager now runs the watchdog and starts it at every login;
   else 0 with a one-line reason in `why` (cut to why_size - 1 bytes and ended
   by a NUL; "" on success), for example that the user must approve it in
   System Settings > General > Login Items, or that there is no user manager.
   Waits for the job manager 8 seconds at most. */
VELDANE_HOST_EXPORT int veldane_register_watchdog(const char* bundle_path_or_null, char* why,
                                                  size_t why_size) VELDANE_HOST_NOEXCEPT;

/* Undoes veldane_register_watchdog: 1 when the job manager no longer runs the
   bundle's watchdog nor starts it at login, and nothing the registration
   wrote is left (on Linux the template is removed once no other bundle's
   watchdog uses it), also when it was not registered; else 0 with the reason
   in `why`. */
VELDANE_HOST_EXPORT int veldane_unregister_watchdog(const char* bundle_path_or_null, char* why,
                                                    size_t why_size) VELDANE_HOST_NOEXCEPT;

/* Opens System Settings at Login Items, where the user approves the watchdog
   after veldane_register_watchdog said that approval is needed (macOS 13 and
   later). 0, with the reason in `why`, where there is nothing to approve. */
VELDANE_HOST_EXPORT int veldane_open_login_items_settings(char* why, size_t why_size)
    VELDANE_HOST_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VELDANE_HOST_H_ */
