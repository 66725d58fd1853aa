#!/bin/sh
# Installs the host library, then builds and runs a small application against
# the installed package, once with CMake's find_package and once with
# pkg-config.
# Usage: package_consumer_test.sh CMAKE HOST_BUILD_FOLDER LIBDIR CXX
set -eu
cmake=$1 build=$2 libdir=$3 cxx=$4
source=$(cd "$(dirname "$0")" && pwd)/test/package_consumer
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/root/opt/veldane

DESTDIR=$work/root "$cmake" --install "$build" --prefix /opt/veldane >/dev/null
export LD_LIBRARY_PATH="$prefix/$libdir"

"$cmake" -S "$source" -B "$work/cmake" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
"$cmake" --build "$work/cmake" >/dev/null
"$work/cmake/consumer"

flags=$(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --cflags --libs veldane-host)
# shellcheck disable=SC2086
"$cxx" -std=c++17 -Wall -Wextra -Wpedantic -Werror -o "$work/consumer" "$source/consumer.cc" $flags
"$work/consumer"
