# The settings the scripts share (build-support/settings.sh, NAME='VALUE'
# lines), read into TESSALY_JDK_HOME and TESSALY_JNI_FAIL_REGEX. Without a
# JAVA_HOME from the caller, the build uses the JDK named there.
set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             "${CMAKE_CURRENT_LIST_DIR}/settings.sh")
file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/settings.sh" _settings REGEX "^tessaly_[a-z_]+='[^']*'$")
foreach(_line IN LISTS _settings)
  string(REGEX MATCH "^(tessaly_[a-z_]+)='([^']*)'$" _match "${_line}")
  set(_setting_${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
endforeach()
if(NOT _setting_tessaly_jdk_home OR NOT _setting_tessaly_jni_warnings)
  message(FATAL_ERROR "build-support/settings.sh lacks tessaly_jdk_home or tessaly_jni_warnings")
endif()
set(TESSALY_JDK_HOME "${_setting_tessaly_jdk_home}")
# Output that fails any test hosting a JVM (every such JVM runs with -Xcheck:jni).
set(TESSALY_JNI_FAIL_REGEX "${_setting_tessaly_jni_warnings}")
if(NOT DEFINED ENV{JAVA_HOME} AND EXISTS "${TESSALY_JDK_HOME}/include/jni.h")
  set(ENV{JAVA_HOME} "${TESSALY_JDK_HOME}")
endif()
