# JNI headers. The library links against nothing of the JVM: only jni.h is
# needed. A cross build for Windows takes jni.h from the build machine's JDK
# and the project's own jni_md.h for the target. Sets TESSALY_JNI_INCLUDE_DIRS.
if(WIN32)
  find_path(TESSALY_JNI_H jni.h
            HINTS "$ENV{JAVA_HOME}/include" "${TESSALY_JDK_HOME}/include"
            NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  set(TESSALY_JNI_INCLUDE_DIRS "${CMAKE_CURRENT_LIST_DIR}/jni/windows" "${TESSALY_JNI_H}")
elseif(CMAKE_CROSSCOMPILING)
  # Linux targets, and the macOS smoke build made here with Zig: the JDK's
  # Linux jni_md.h (JNIEXPORT a default-visibility attribute, LP64 types)
  # is right for GCC and clang on both.
  find_path(TESSALY_JNI_H jni.h
            HINTS "$ENV{JAVA_HOME}/include" "${TESSALY_JDK_HOME}/include"
            NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  set(TESSALY_JNI_INCLUDE_DIRS "${TESSALY_JNI_H}" "${TESSALY_JNI_H}/linux")
else()
  # JAVA_HOME's headers, or those of the project's JDK (Settings.cmake).
  # Headers only: the library links nothing of the JVM (and a headless JDK
  # has no AWT library, which FindJNI would otherwise require).
  find_package(JNI REQUIRED COMPONENTS JVM)
  set(TESSALY_JNI_INCLUDE_DIRS ${JNI_INCLUDE_DIRS})
endif()
