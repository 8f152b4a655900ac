# The facts the scripts share (build-support/settings.sh, NAME='VALUE'
# lines), read into _setting_tessaly_<name> for Deliverable.cmake (the
# libraries' names and Java packages) and into TESSALY_TEST_MESH_KEY,
# TESSALY_JDK_HOME, TESSALY_JNI_FAIL_REGEX, TESSALY_GLIBC_FLOOR,
# TESSALY_WINDOWS_IMPORTS and TESSALY_LOADER_JAVAC_FLAGS. Without a JAVA_HOME from the
# caller, the build uses the JDK named there.
set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             "${CMAKE_CURRENT_LIST_DIR}/settings.sh")
file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/settings.sh" _settings REGEX "^tessaly_[a-z0-9_]+='[^']*'$")
foreach(_line IN LISTS _settings)
  string(REGEX MATCH "^(tessaly_[a-z0-9_]+)='([^']*)'$" _match "${_line}")
  set(_setting_${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
endforeach()
foreach(_name IN ITEMS jdk_home jni_warnings test_mesh_key linux_library linux_package macos_library
                       macos_package windows_library windows_package glibc_floor windows_imports
                       loader_javac_flags)
  if(NOT _setting_tessaly_${_name})
    message(FATAL_ERROR "build-support/settings.sh lacks its tessaly_${_name}='...' line")
  endif()
endforeach()
set(TESSALY_JDK_HOME "${_setting_tessaly_jdk_home}")
# Output that fails any test hosting a JVM (every such JVM runs with -Xcheck:jni).
set(TESSALY_JNI_FAIL_REGEX "${_setting_tessaly_jni_warnings}")
set(TESSALY_TEST_MESH_KEY "${_setting_tessaly_test_mesh_key}")
# What the shipped files may need: the newest GLIBC_ version, the DLLs imported from.
set(TESSALY_GLIBC_FLOOR "${_setting_tessaly_glibc_floor}")
set(TESSALY_WINDOWS_IMPORTS "${_setting_tessaly_windows_imports}")
separate_arguments(TESSALY_LOADER_JAVAC_FLAGS UNIX_COMMAND "${_setting_tessaly_loader_javac_flags}")
if(NOT DEFINED ENV{JAVA_HOME} AND EXISTS "${TESSALY_JDK_HOME}/include/jni.h")
  set(ENV{JAVA_HOME} "${TESSALY_JDK_HOME}")
endif()

# The Python that runs the checks (build-support/checks/, tests/platform/):
# Debian's 3.11, for which build-support/install-deps.sh installs the pinned
# LIEF wheel under build/tools/lief (a python3 found first on PATH, e.g. a
# pyenv one of another version, could not load it).
if(EXISTS /usr/bin/python3)
  set(_python /usr/bin/python3)
else()
  find_program(_python NAMES python3 REQUIRED)
endif()
set(TESSALY_PYTHON "${_python}" CACHE FILEPATH
    "Python 3.11, which loads build/tools/lief, for the binary checks")
