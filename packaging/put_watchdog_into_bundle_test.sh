#!/bin/sh
# put-watchdog-into-bundle.cmake gives a bundle its watchdog and the launch
# agent that SMAppService registers, with the keys launchd needs.
# Usage: put_watchdog_into_bundle_test.sh CMAKE SCRIPT WATCHDOG
set -eu
cmake=$1 script=$2 watchdog=$3
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
bundle=$root/My.app
"$cmake" -DBUNDLE="$bundle" -DBUNDLE_IDENTIFIER=com.example.my -DWATCHDOG="$watchdog" \
  -P "$script" >/dev/null
cmp "$watchdog" "$bundle/Contents/MacOS/VeldaneWatchdog"
[ -x "$bundle/Contents/MacOS/VeldaneWatchdog" ]
python3 - "$bundle/Contents/Library/LaunchAgents/com.example.my.watchdog.plist" <<'PY'
import plistlib, sys
with open(sys.argv[1], "rb") as f:
    agent = plistlib.load(f)
expected = {
    "Label": "com.example.my.watchdog",
    "BundleProgram": "Contents/MacOS/VeldaneWatchdog",
    "AssociatedBundleIdentifiers": ["com.example.my"],
    "RunAtLoad": True,
    "KeepAlive": True,
    "ProcessType": "Background",
    "LimitLoadToSessionType": "Aqua",
}
if agent != expected:
    sys.exit("unexpected agent: %r" % agent)
PY
# Refused without an identifier, and nothing is written.
if "$cmake" -DBUNDLE="$root/Other.app" -DWATCHDOG="$watchdog" -P "$script" >/dev/null 2>&1; then
  echo "accepted a bundle without an identifier" >&2
  exit 1
fi
[ ! -e "$root/Other.app" ]
