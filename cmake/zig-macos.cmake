# Cross-compiles for macOS 11 (the first with arm64) and later with Zig's
# clang, which brings the macOS libc, dispatch, libproc and sysctl headers and
# libSystem's link stubs, and builds libc++ for the target.
#
# The frameworks are not part of it. Without an SDK the framework headers are
# stood in for by platform/macos/sdk_declarations.h and nothing that needs a
# framework can link: every translation unit is compiled, and each program
# and library is a placeholder file instead (scripts/check-macos says so).
# With MACOS_SDK naming a folder in Xcode's SDK layout (usr/include, usr/lib,
# System/Library/Frameworks) its headers are used and everything is linked.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 20)  # macOS 11
set(CMAKE_SYSTEM_PROCESSOR ${VELDANE_MACOS_ARCH})

set(VELDANE_ZIG_TARGET ${VELDANE_MACOS_ARCH}-macos.11.0)
set(VELDANE_MACOS_SDK "$ENV{MACOS_SDK}")
set(zig ${CMAKE_CURRENT_LIST_DIR}/zig)

set(CMAKE_C_COMPILER ${zig}/zig-cc)
set(CMAKE_CXX_COMPILER ${zig}/zig-c++)
set(CMAKE_OBJCXX_COMPILER ${zig}/zig-c++)
set(CMAKE_AR ${zig}/zig-ar)
set(CMAKE_RANLIB ${zig}/zig-ranlib)
# Used only when installing; Debian's llvm package has it.
file(GLOB install_name_tools /usr/bin/llvm-install-name-tool /usr/lib/llvm-*/bin/llvm-install-name-tool)
if(install_name_tools)
  list(GET install_name_tools 0 CMAKE_INSTALL_NAME_TOOL)
endif()

set(flags "-target ${VELDANE_ZIG_TARGET}")
if(VELDANE_MACOS_SDK)
  # System headers, as in Xcode. Zig searches its own libc headers (those of
  # macOS 13) first, and the SDK fills in what they lack (os/log.h among
  # them); an SDK much newer than macOS 13 may not fit them. IOKit's headers
  # use an annotation that Zig's sys/cdefs.h does not define yet.
  string(APPEND flags " -iframework ${VELDANE_MACOS_SDK}/System/Library/Frameworks"
                      " -idirafter ${VELDANE_MACOS_SDK}/usr/include"
                      " -D__kernel_ptr_semantics=")
  # Foundation's stub re-exports CoreFoundation and libobjc, which this linker
  # does not follow: the platform names both itself.
  set(link_flags "-F${VELDANE_MACOS_SDK}/System/Library/Frameworks -L${VELDANE_MACOS_SDK}/usr/lib")
  # An SDK cut down to fewer frameworks may lack ServiceManagement, which is
  # linked weakly: a link stub that names only what is used stands in.
  if(NOT EXISTS ${VELDANE_MACOS_SDK}/System/Library/Frameworks/ServiceManagement.framework)
    string(APPEND link_flags " -F${CMAKE_CURRENT_LIST_DIR}/macos-link-stubs")
  endif()
  set(CMAKE_EXE_LINKER_FLAGS_INIT "${link_flags}")
  set(CMAKE_SHARED_LINKER_FLAGS_INIT "${link_flags}")
endif()
foreach(lang C CXX OBJCXX)
  set(CMAKE_${lang}_FLAGS_INIT "${flags}")
endforeach()

# Compiler checks compile; they need not link.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# Where Zig's rules differ from the Mac's own tools; loaded after CMake's.
set(CMAKE_USER_MAKE_RULES_OVERRIDE ${CMAKE_CURRENT_LIST_DIR}/zig-macos-rules.cmake)

# Only what the host offers for the build itself; libraries and headers for
# the target come from Zig or the SDK.
set(CMAKE_FIND_ROOT_PATH ${VELDANE_MACOS_SDK})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# nlohmann-json is headers only: the build machine's copy serves, from a
# folder that holds nothing else, so that no Linux header can come with it.
set(VELDANE_JSON_INCLUDE_DIR ${CMAKE_BINARY_DIR}/json-include)
if(NOT EXISTS /usr/include/nlohmann/json.hpp)
  message(FATAL_ERROR "nlohmann-json is missing on the build machine: run scripts/setup")
endif()
if(NOT EXISTS ${VELDANE_JSON_INCLUDE_DIR}/nlohmann)
  file(MAKE_DIRECTORY ${VELDANE_JSON_INCLUDE_DIR})
  file(CREATE_LINK /usr/include/nlohmann ${VELDANE_JSON_INCLUDE_DIR}/nlohmann SYMBOLIC)
endif()
