# Rules of the Zig cross build (cmake/zig-macos.cmake), after CMake's own.

# CMake asks the build machine (sw_vers) whether the target knows @rpath, so
# that the host library is named @rpath/libveldane-host.1.dylib; every macOS
# this builds for does.
set(CMAKE_SHARED_LIBRARY_RUNTIME_C_FLAG "-Wl,-rpath,")
foreach(lang C CXX OBJCXX)
  # llvm-ranlib takes none of the options of the Mac's ranlib.
  set(CMAKE_${lang}_ARCHIVE_FINISH "<CMAKE_RANLIB> <TARGET>")
  if(NOT VELDANE_MACOS_SDK)
    # No frameworks to link with: a placeholder marks what would be linked.
    set(CMAKE_${lang}_LINK_EXECUTABLE "<CMAKE_COMMAND> -E touch <TARGET>")
    set(CMAKE_${lang}_CREATE_SHARED_LIBRARY "<CMAKE_COMMAND> -E touch <TARGET>")
    set(CMAKE_${lang}_CREATE_SHARED_MODULE "<CMAKE_COMMAND> -E touch <TARGET>")
  endif()
endforeach()
