# Mach-O settings of libSkyrope.dylib (included from Deliverable.cmake; they
# apply once the library's target exists, at the end of the top directory).
#
# Every macOS build: the install name is @rpath/libSkyrope.dylib, not the
# folder it was built in, and the library carries the project's version as
# its current version (compatibility version: the major version's .0.0).
#
# Release builds (TESSALY_RELEASE, with the debug information and path maps
# of Release.cmake) are linked with dead stripping. On Mach-O that information stays in the
# object files, which the linked file's debug map (N_OSO stabs: each
# object's path and modification time) names, so the code is the same with
# or without it. The linked file is the input of
# build-support/macos/release-dylib, which makes the .dSYM from it, strips
# it (the debug map with the rest), gives it a UUID computed from its
# stripped bytes (the linker's covers the debug map, and with it the build
# folder and the clock) and re-signs it.
if(NOT APPLE)
  return()
endif()

function(tessaly_apply_macho_settings)
  set_target_properties(tessaly PROPERTIES
    INSTALL_NAME_DIR "@rpath"
    BUILD_WITH_INSTALL_NAME_DIR ON)
  # As linker options: Zig's compiler driver ignores -current_version (and
  # so CMake's MACHO_CURRENT_VERSION); its linker, like ld64, takes them.
  target_link_options(tessaly PRIVATE
    "LINKER:-current_version,${PROJECT_VERSION}"
    "LINKER:-compatibility_version,${PROJECT_VERSION_MAJOR}.0.0")
  if(TESSALY_RELEASE)
    target_link_options(tessaly PRIVATE "LINKER:-dead_strip")
  endif()
endfunction()
cmake_language(DEFER DIRECTORY "${CMAKE_SOURCE_DIR}" CALL tessaly_apply_macho_settings)
