# Mach-O settings of libSkyrope.dylib, applied once the library's target
# exists (at the end of the top directory): the install name
# @rpath/libSkyrope.dylib, the project's version as the current version (the
# major version's .0.0 as the compatibility version) and, in a release
# build, dead stripping. A release's debug information stays in the object
# files the linked file's debug map names, for release-dylib's .dSYM.
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
