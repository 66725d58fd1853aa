# Cross build for macOS on Apple silicon (presets macos-arm64).
set(VELDANE_MACOS_ARCH aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/zig-macos.cmake)
