# GoogleTest for the build's target. Debian packages GoogleTest's libraries
# for the build machine only, so a cross build compiles it from Debian's
# source package (googletest, in /usr/src/googletest) for the target.
# Either way the tests link GTest::gtest / GTest::gtest_main.
if(CMAKE_CROSSCOMPILING)
  set(TESSALY_GTEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH
      "GoogleTest sources built for the target in cross builds")
  if(NOT EXISTS "${TESSALY_GTEST_SOURCE_DIR}/CMakeLists.txt")
    message(FATAL_ERROR "Cross builds need GoogleTest's sources in ${TESSALY_GTEST_SOURCE_DIR} (Debian package googletest)")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory("${TESSALY_GTEST_SOURCE_DIR}" "${PROJECT_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
else()
  find_package(GTest REQUIRED)
endif()
