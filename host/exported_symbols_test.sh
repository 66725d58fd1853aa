#!/bin/sh
# The shared library's dynamic symbols are its C API and nothing else: no C++
# symbol, so that no C++ runtime has to agree with the application's.
# Usage: exported_symbols_test.sh LIBRARY
set -eu
library=$1
symbols=$(nm -D --defined-only "$library" | awk '{ print $NF }')
others=$(printf '%s\n' "$symbols" | grep -v '^veldane_' || true)
if [ -n "$others" ]; then
  echo "$library exports more than the C API:" >&2
  printf '  %s\n' $others >&2
  exit 1
fi
printf '%s\n' "$symbols" | grep -qx veldane_host_start || {
  echo "$library does not export veldane_host_start" >&2
  exit 1
}
