# Cross build for macOS on Intel (presets macos-x86_64).
set(VELDANE_MACOS_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/zig-macos.cmake)
