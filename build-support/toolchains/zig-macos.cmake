# macOS builds on Linux, with Zig as compiler and linker (no macOS SDK here).
# They make real Mach-O libSkyrope.dylib files from the same sources and
# export list as a Mac build, so that their exports, signature and contents
# can be checked; nothing built here can run, so only the library checks run
# under ctest.
#
# TESSALY_MACOS_ARCH picks the slice (a cache variable, set by the preset):
#   arm64   aarch64-macos.11.0: the first macOS on Apple silicon
#   x86_64  x86_64-macos.10.7: the oldest macOS whose libSystem Zig links
#           against (its available_libcs floor); a lower version is refused
set(TESSALY_MACOS_ARCH "arm64" CACHE STRING "macOS slice built with Zig: arm64 or x86_64")
if(TESSALY_MACOS_ARCH STREQUAL "arm64")
  set(TESSALY_ZIG_TARGET "aarch64-macos.11.0")
  set(TESSALY_MACOS_MIN "11.0")
elseif(TESSALY_MACOS_ARCH STREQUAL "x86_64")
  set(TESSALY_ZIG_TARGET "x86_64-macos.10.7")
  set(TESSALY_MACOS_MIN "10.7")
else()
  message(FATAL_ERROR "TESSALY_MACOS_ARCH must be arm64 or x86_64, got '${TESSALY_MACOS_ARCH}'")
endif()
# The test projects that CMake compiles while it probes the compiler read
# this file again: they need the same slice.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TESSALY_MACOS_ARCH)

set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR "${TESSALY_MACOS_ARCH}")
set(CMAKE_C_COMPILER "${CMAKE_CURRENT_LIST_DIR}/../macos/zig-cc" "${TESSALY_ZIG_TARGET}")
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/../macos/zig-cc" --c++ "${TESSALY_ZIG_TARGET}")
# Zig brings its own macOS headers and libraries: no SDK, no -arch flags;
# the deployment target is part of Zig's target.
set(CMAKE_OSX_SYSROOT "/" CACHE PATH "")
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "")
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "")
# Zig's linker takes no -exported_symbols_list (see Exports.cmake).
set(TESSALY_ZIG_SMOKE_BUILD ON)
