# macOS arm64 smoke build on Linux, with Zig as compiler and linker (no
# macOS SDK here). It makes a real arm64 Mach-O libSkyrope.dylib from the same
# sources and export list as a Mac build, so that its exports can be checked;
# nothing built here can run, so only the library checks run under ctest.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(CMAKE_C_COMPILER "${CMAKE_CURRENT_LIST_DIR}/../macos/zig-cc")
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/../macos/zig-c++")
# Zig brings its own macOS headers and libraries: no SDK, no -arch flags.
set(CMAKE_OSX_SYSROOT "/" CACHE PATH "")
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "")
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "")
# Zig's linker takes no -exported_symbols_list (see Deliverable.cmake).
set(TESSALY_ZIG_SMOKE_BUILD ON)
