/*
 * The library another user plants in NativeLoaderTest's swap race: loading it runs its constructor, which says
 * so on standard error. A loader that loads it has loaded a file another user could write.
 */
#include <unistd.h>

namespace {
__attribute__((constructor)) void planted()
{
    static const char line[] = "PLANTED LIBRARY RAN\n";
    if (write(2, line, sizeof line - 1) < 0) {
        _exit(99);
    }
}
} // namespace
