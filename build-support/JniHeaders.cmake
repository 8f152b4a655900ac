# JNI headers, TESSALY_JNI_INCLUDE_DIRS: the library links against nothing of
# the JVM, only jni.h is needed. A cross build takes jni.h from the build
# machine's JDK, and for Windows the project's own jni_md.h; for Linux
# targets and the macOS smoke build made with Zig, the JDK's Linux jni_md.h
# (JNIEXPORT a default-visibility attribute, LP64 types) is right for GCC and
# clang alike.
if(CMAKE_CROSSCOMPILING)
  find_path(TESSALY_JNI_H jni.h
            HINTS "$ENV{JAVA_HOME}/include" "${TESSALY_JDK_HOME}/include"
            NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  if(WIN32)
    set(TESSALY_JNI_INCLUDE_DIRS "${CMAKE_CURRENT_LIST_DIR}/jni/windows" "${TESSALY_JNI_H}")
  else()
    set(TESSALY_JNI_INCLUDE_DIRS "${TESSALY_JNI_H}" "${TESSALY_JNI_H}/linux")
  endif()
else()
  # JAVA_HOME's headers, or those of the project's JDK (Settings.cmake).
  # Headers only (a headless JDK has no AWT library, which FindJNI would
  # otherwise require).
  find_package(JNI REQUIRED COMPONENTS JVM)
  set(TESSALY_JNI_INCLUDE_DIRS ${JNI_INCLUDE_DIRS})
endif()
