# What differs between the three deliverables is decided here, once:
# the library's file name, the Java package its native methods bind to,
# and the JNI headers it compiles against.

if(WIN32)
  set(_default_package "quenby_tessaly_api_client_online")
  set(_default_name "Skyrope")
elseif(APPLE)
  set(_default_package "quenby_tessaly_client_online")
  set(_default_name "Skyrope")
else()
  set(_default_package "quenby_tessaly_client_online")
  set(_default_name "Trialworks")
endif()

set(TESSALY_JNI_PACKAGE "${_default_package}" CACHE STRING
    "Java package of the native-method holder, in JNI form (dots as underscores)")
set(TESSALY_LIBRARY_NAME "${_default_name}" CACHE STRING
    "Base name of the shared library (libNAME.so, libNAME.dylib, NAME.dll)")

if(NOT TESSALY_JNI_PACKAGE MATCHES "^[A-Za-z][A-Za-z0-9]*(_[A-Za-z][A-Za-z0-9]*)*$")
  message(FATAL_ERROR "TESSALY_JNI_PACKAGE must be a package in JNI form, e.g. quenby_tessaly_client_online")
endif()

# JNI headers. The library links against nothing of the JVM: only jni.h is
# needed. A cross build for Windows takes jni.h from the build machine's JDK
# and the project's own jni_md.h for the target.
if(WIN32)
  find_path(TESSALY_JNI_H jni.h
            HINTS "$ENV{JAVA_HOME}/include" /usr/lib/jvm/java-17-openjdk-amd64/include
            NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  set(TESSALY_JNI_INCLUDE_DIRS "${CMAKE_CURRENT_LIST_DIR}/jni/windows" "${TESSALY_JNI_H}")
elseif(CMAKE_CROSSCOMPILING)
  # Linux targets, and the macOS smoke build made here with Zig: the JDK's
  # Linux jni_md.h (JNIEXPORT a default-visibility attribute, LP64 types)
  # is right for GCC and clang on both.
  find_path(TESSALY_JNI_H jni.h
            HINTS "$ENV{JAVA_HOME}/include" /usr/lib/jvm/java-17-openjdk-amd64/include
            NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  set(TESSALY_JNI_INCLUDE_DIRS "${TESSALY_JNI_H}" "${TESSALY_JNI_H}/linux")
else()
  # The JDK the project is tested with, when the caller names none.
  if(NOT DEFINED ENV{JAVA_HOME} AND EXISTS /usr/lib/jvm/java-17-openjdk-amd64/include/jni.h)
    set(ENV{JAVA_HOME} /usr/lib/jvm/java-17-openjdk-amd64)
  endif()
  # Headers only: the library links nothing of the JVM (and a headless JDK
  # has no AWT library, which FindJNI would otherwise require).
  find_package(JNI REQUIRED COMPONENTS JVM)
  set(TESSALY_JNI_INCLUDE_DIRS ${JNI_INCLUDE_DIRS})
endif()

# Routines other than the native methods are marked TESSALY_API in their
# headers. On ELF and Mach-O that makes them visible (the export list below
# still decides what leaves the library); on Windows only the seven native
# methods are exported, through the module-definition file.
if(WIN32)
  set(TESSALY_API_DEFINITION "TESSALY_API=")
else()
  set(TESSALY_API_DEFINITION "TESSALY_API=__attribute__((visibility(\"default\")))")
endif()

# Sanitized test builds (preset linux-asan, the fuzzers): every target is
# compiled and linked with -fsanitize=<list>. Such a library needs the
# sanitizer runtimes and libstdc++ as shared libraries, so it is linked
# without -static-libstdc++ and --no-undefined; it is never shipped.
set(TESSALY_SANITIZE "" CACHE STRING
    "Sanitizers for every target, e.g. address,undefined (test builds only; empty for the shipped library)")
if(TESSALY_SANITIZE)
  add_compile_options(-fsanitize=${TESSALY_SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${TESSALY_SANITIZE})
endif()

# Linux: the static C++ runtime without the glibc symbols newer than 2.28.
# Used by the library and by the test that probes the replacements.
function(tessaly_apply_glibc_compat target)
  target_sources(${target} PRIVATE "${PROJECT_SOURCE_DIR}/build-support/linux/glibc_compat.cpp")
  target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc "LINKER:--gc-sections"
    "LINKER:--wrap=__libc_single_threaded" "LINKER:--wrap=pthread_once"
    "LINKER:--wrap=__pthread_key_create" "LINKER:--wrap=_dl_find_object")
endfunction()

# Applies the deliverable's export list and runtime linkage to the library.
function(tessaly_apply_exports target)
  if(WIN32)
    target_sources(${target} PRIVATE "${PROJECT_SOURCE_DIR}/build-support/windows/Skyrope.def")
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++
      "LINKER:-Map,$<TARGET_FILE_DIR:${target}>/${TESSALY_LIBRARY_NAME}.map")
    # Skyrope.dll holds only the code that its seven exports reach. GNU ld
    # keeps every function of a PE object even with --gc-sections (its
    # script keeps all .pdata, which points at each function), so the units
    # are compiled for link-time optimisation instead: the LTO link sees
    # that nothing reaches send_request, padding, the encryption and
    # state-printing routines or the byte-oriented AES, and leaves them out.
    set_property(TARGET ${target} tessaly_bridge tessaly_crypto PROPERTY INTERPROCEDURAL_OPTIMIZATION ON)
  elseif(APPLE)
    # ld64 takes the export list. Zig's Mach-O linker (the smoke build on
    # Linux) has no such option; there the symbol visibility that the
    # headers declare is all that decides, and the same export check runs.
    if(NOT TESSALY_ZIG_SMOKE_BUILD)
      target_link_options(${target} PRIVATE
        "LINKER:-exported_symbols_list,${PROJECT_SOURCE_DIR}/build-support/macos/exports.txt")
      set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS
        "${PROJECT_SOURCE_DIR}/build-support/macos/exports.txt")
    endif()
  elseif(TESSALY_SANITIZE)
    set(_map "${PROJECT_SOURCE_DIR}/build-support/linux/exports.map")
    target_link_options(${target} PRIVATE "LINKER:--version-script=${_map}")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${_map}")
  else()
    set(_map "${PROJECT_SOURCE_DIR}/build-support/linux/exports.map")
    target_link_options(${target} PRIVATE
      "LINKER:--version-script=${_map}" "LINKER:--exclude-libs,ALL" "LINKER:--no-undefined"
      -static-libstdc++ -static-libgcc)
    # Loads on glibc 2.28 and newer: drop the unused parts of the static C++
    # runtime (and with them arc4random, getentropy, fstat64), and route the
    # four newer glibc symbols that the rest needs to replacements built on
    # old interfaces (glibc_compat.cpp).
    tessaly_apply_glibc_compat(${target})
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${_map}")
  endif()
endfunction()
include("${CMAKE_CURRENT_LIST_DIR}/macos/MachO.cmake")  # install name, versions, release link of the dylib
