# What differs between the three deliverables: the library's file name and
# the Java package of its native methods (settings.sh); then the rest of the
# build, by concern.

set(_platform linux)
if(WIN32)
  set(_platform windows)
elseif(APPLE)
  set(_platform macos)
endif()
string(REPLACE "." "_" _default_package "${_setting_tessaly_${_platform}_package}")
set(TESSALY_JNI_PACKAGE "${_default_package}" CACHE STRING
    "Java package of the native-method holder, in JNI form (dots as underscores)")
set(TESSALY_LIBRARY_NAME "${_setting_tessaly_${_platform}_library}" CACHE STRING
    "Base name of the shared library (libNAME.so, libNAME.dylib, NAME.dll)")

if(NOT TESSALY_JNI_PACKAGE MATCHES "^[A-Za-z][A-Za-z0-9]*(_[A-Za-z][A-Za-z0-9]*)*$")
  message(FATAL_ERROR "TESSALY_JNI_PACKAGE must be a package in JNI form, e.g. quenby_tessaly_client_online")
endif()
if(NOT TESSALY_LIBRARY_NAME MATCHES "^[A-Za-z0-9_][A-Za-z0-9_.-]*$")
  message(FATAL_ERROR "TESSALY_LIBRARY_NAME must be a plain file base name, e.g. Trialworks")
endif()

include("${CMAKE_CURRENT_LIST_DIR}/JniHeaders.cmake")   # jni.h for the target
include("${CMAKE_CURRENT_LIST_DIR}/Sanitizers.cmake")   # TESSALY_SANITIZE (test builds)
include("${CMAKE_CURRENT_LIST_DIR}/GlibcFloor.cmake")   # Linux: loads on glibc 2.28
include("${CMAKE_CURRENT_LIST_DIR}/Exports.cmake")      # what the library exports
include("${CMAKE_CURRENT_LIST_DIR}/Release.cmake")      # TESSALY_RELEASE: shipped builds
include("${CMAKE_CURRENT_LIST_DIR}/macos/MachO.cmake")  # install name, versions, release link of the dylib
