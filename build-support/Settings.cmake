# The facts of build-support/settings.sh (its NAME='VALUE' lines), each read
# into _setting_tessaly_<name>, and those the build needs into
# TESSALY_<NAME> (a JNI warning's pattern: TESSALY_JNI_FAIL_REGEX, which
# fails any test hosting a JVM). Without a JAVA_HOME from the caller, the
# build uses the JDK named there.
set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             "${CMAKE_CURRENT_LIST_DIR}/settings.sh")
file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/settings.sh" _settings REGEX "^tessaly_[a-z0-9_]+='[^']*'$")
foreach(_line IN LISTS _settings)
  string(REGEX MATCH "^(tessaly_[a-z0-9_]+)='([^']*)'$" _match "${_line}")
  set(_setting_${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
endforeach()
foreach(_name IN ITEMS jdk_home test_mesh_key glibc_floor windows_imports jni_warnings loader_javac_flags
                       linux_library linux_package macos_library macos_package windows_library windows_package)
  if(NOT _setting_tessaly_${_name})
    message(FATAL_ERROR "build-support/settings.sh lacks its tessaly_${_name}='...' line")
  endif()
  string(TOUPPER "TESSALY_${_name}" _variable)
  set(${_variable} "${_setting_tessaly_${_name}}")
endforeach()
set(TESSALY_JNI_FAIL_REGEX "${TESSALY_JNI_WARNINGS}")
separate_arguments(TESSALY_LOADER_JAVAC_FLAGS UNIX_COMMAND "${TESSALY_LOADER_JAVAC_FLAGS}")
if(NOT DEFINED ENV{JAVA_HOME} AND EXISTS "${TESSALY_JDK_HOME}/include/jni.h")
  set(ENV{JAVA_HOME} "${TESSALY_JDK_HOME}")
endif()

# The Python of the checks (build-support/checks/, tests/platform/): Debian's
# 3.11, for which install-deps.sh installs the pinned LIEF wheel under
# build/tools/lief (a python3 found first on PATH, e.g. a pyenv one of another
# version, could not load it).
find_program(TESSALY_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH
             DOC "Python 3.11, which loads build/tools/lief, for the binary checks")
find_program(TESSALY_PYTHON python3 REQUIRED)
