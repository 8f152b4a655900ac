# Linux: the static C++ runtime without the glibc symbols newer than 2.28, so
# that the library loads on glibc 2.28 and newer. The unused parts of the
# runtime (and with them arc4random, getentropy, fstat64) are dropped, and
# the four newer glibc symbols that the rest needs are routed to
# replacements built on old interfaces (bridge/glibc_compat.cpp). Used by the
# library and by the test that probes the replacements.
function(tessaly_apply_glibc_compat target)
  target_sources(${target} PRIVATE "${PROJECT_SOURCE_DIR}/bridge/glibc_compat.cpp")
  target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc "LINKER:--gc-sections"
    "LINKER:--wrap=__libc_single_threaded" "LINKER:--wrap=pthread_once"
    "LINKER:--wrap=__pthread_key_create" "LINKER:--wrap=_dl_find_object")
endfunction()
