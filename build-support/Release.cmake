# TESSALY_RELEASE: what every shipped build (the release-* presets of
# ./run-release) shares: optimised as the tested builds are (-O2, NDEBUG),
# debug information (run-release moves it into symbols/), no build-machine
# path in any output, and for Linux the usual hardening. Mach-O's own
# settings are in build-support/macos/.
option(TESSALY_RELEASE "Build the shipped libraries (release presets; see run-release)" OFF)

# The version players' files carry (the DLL's resource, version.rc.in):
# project(VERSION), and with the commit as git describe names it (run-release).
set(TESSALY_RELEASE_ID "" CACHE STRING "The commit the release is built from (git describe), set by run-release")
set(TESSALY_VERSION "${PROJECT_VERSION}")
set(TESSALY_FULL_VERSION "${PROJECT_VERSION}")
if(TESSALY_RELEASE_ID)
  string(APPEND TESSALY_FULL_VERSION "-${TESSALY_RELEASE_ID}")
endif()

if(NOT TESSALY_RELEASE)
  return()
endif()

if(TESSALY_SANITIZE)
  message(FATAL_ERROR "TESSALY_RELEASE and TESSALY_SANITIZE exclude each other: a sanitized library is never shipped")
endif()

# The flags the test suite runs with (RelWithDebInfo), whatever the build type.
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -g -DNDEBUG")
set(CMAKE_C_FLAGS_RELEASE "-O2 -g -DNDEBUG")

# No build-machine path: the source folder is /usr/src/tessaly in the debug
# information and __FILE__, a build folder elsewhere /usr/src/tessaly-build;
# the link too, where the DLL's link-time optimisation writes its debug
# information.
set(TESSALY_PREFIX_MAP "-ffile-prefix-map=${PROJECT_SOURCE_DIR}=/usr/src/tessaly")
cmake_path(IS_PREFIX PROJECT_SOURCE_DIR "${PROJECT_BINARY_DIR}" _binary_inside)
if(NOT _binary_inside)
  list(APPEND TESSALY_PREFIX_MAP "-ffile-prefix-map=${PROJECT_BINARY_DIR}=/usr/src/tessaly-build")
endif()
add_compile_options(${TESSALY_PREFIX_MAP})
add_link_options(${TESSALY_PREFIX_MAP})

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # Stack protector, checked libc calls, read-only relocations resolved at
  # load time, no executable stack. Each needs only symbols older than 2.28.
  add_compile_options(-fstack-protector-strong -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2)
  add_link_options("LINKER:-z,relro" "LINKER:-z,now" "LINKER:-z,noexecstack" "LINKER:--build-id=sha1")
elseif(WIN32)
  # Time stamp 0, which run-release's objcopy makes SOURCE_DATE_EPOCH (the
  # commit's time); ASLR with high entropy, NX.
  add_link_options("LINKER:--no-insert-timestamp" "LINKER:--dynamicbase" "LINKER:--high-entropy-va"
                   "LINKER:--nxcompat")
endif()
