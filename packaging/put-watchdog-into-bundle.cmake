# Puts the watchdog into an application bundle, with what registers it:
#   Contents/MacOS/VeldaneWatchdog
#   Contents/Library/LaunchAgents/<identifier>.watchdog.plist   (macOS 13 and later)
#
#   cmake -DBUNDLE=/path/My.app -DBUNDLE_IDENTIFIER=com.example.my [-DWATCHDOG=file] \
#         -P put-watchdog-into-bundle.cmake
#
# WATCHDOG defaults to the one installed beside this script (cmake --install
# puts both under the prefix). Sign the bundle afterwards (see the README):
# the agent's program must carry the application's signature.
cmake_minimum_required(VERSION 3.25)

foreach(required BUNDLE BUNDLE_IDENTIFIER)
  if(NOT ${required})
    message(FATAL_ERROR "put-watchdog-into-bundle: -D${required}=... is missing")
  endif()
endforeach()
if(NOT BUNDLE MATCHES "\\.app/?$")
  message(FATAL_ERROR "put-watchdog-into-bundle: ${BUNDLE} is not an .app bundle")
endif()
if(NOT BUNDLE_IDENTIFIER MATCHES "^[A-Za-z0-9.-]+$")
  message(FATAL_ERROR "put-watchdog-into-bundle: \"${BUNDLE_IDENTIFIER}\" is no bundle identifier")
endif()
if(NOT WATCHDOG)
  # <prefix>/share/veldane/ beside <prefix>/libexec/veldane/.
  get_filename_component(prefix "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
  set(WATCHDOG "${prefix}/libexec/veldane/VeldaneWatchdog")
endif()
if(NOT EXISTS "${WATCHDOG}")
  message(FATAL_ERROR "put-watchdog-into-bundle: no watchdog at ${WATCHDOG} (give -DWATCHDOG=...)")
endif()
set(template "${CMAKE_CURRENT_LIST_DIR}/bundle-agent.plist.in")
if(NOT EXISTS "${template}")
  set(template "${CMAKE_CURRENT_LIST_DIR}/launchd/bundle-agent.plist.in")
endif()

file(MAKE_DIRECTORY "${BUNDLE}/Contents/MacOS" "${BUNDLE}/Contents/Library/LaunchAgents")
file(COPY_FILE "${WATCHDOG}" "${BUNDLE}/Contents/MacOS/VeldaneWatchdog")
file(CHMOD "${BUNDLE}/Contents/MacOS/VeldaneWatchdog"
  PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
configure_file("${template}"
  "${BUNDLE}/Contents/Library/LaunchAgents/${BUNDLE_IDENTIFIER}.watchdog.plist" @ONLY)
message(STATUS "put-watchdog-into-bundle: ${BUNDLE} carries the watchdog of ${BUNDLE_IDENTIFIER}")
