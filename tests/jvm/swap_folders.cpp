/*
 * The attacker of NativeLoaderTest's swap race: a user who may write the folder above a cache folder (no sticky
 * bit) swaps the cache folder with one of their own, back and forth, between a loader's checks and its
 * System.load.
 *
 *   swap-folders A B SECONDS PAUSE   exchanges the names A and B (renameat2 RENAME_EXCHANGE), pausing PAUSE
 *                                    microseconds after each, until SECONDS have passed, then exits 0; exit 1
 *                                    with the reason when the first exchange fails.
 */
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

int main(int argc, char** argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: swap-folders A B SECONDS PAUSE\n");
        return 2;
    }
    const std::time_t until = std::time(nullptr) + std::atoi(argv[3]);
    const useconds_t pause = static_cast<useconds_t>(std::atoi(argv[4]));
    unsigned long swaps = 0;
    while (std::time(nullptr) < until) {
        if (syscall(SYS_renameat2, AT_FDCWD, argv[1], AT_FDCWD, argv[2], RENAME_EXCHANGE) != 0) {
            if (swaps == 0) {
                fprintf(stderr, "swap-folders: cannot exchange %s and %s: %s\n", argv[1], argv[2],
                        strerror(errno));
                return 1;
            }
            continue;
        }
        swaps++;
        usleep(pause);
    }
    printf("swap-folders: %lu exchanges\n", swaps);
    return 0;
}
