# Sanitized test builds (preset linux-asan, the fuzzers): every target is
# compiled and linked with -fsanitize=<list>. Such a library needs the
# sanitizer runtimes and libstdc++ as shared libraries, so it is linked
# without -static-libstdc++ and --no-undefined (Exports.cmake); it is never
# shipped.
set(TESSALY_SANITIZE "" CACHE STRING
    "Sanitizers for every target, e.g. address,undefined (test builds only; empty for the shipped library)")
if(TESSALY_SANITIZE)
  add_compile_options(-fsanitize=${TESSALY_SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${TESSALY_SANITIZE})
endif()
