#!/usr/bin/env bash
# Installs, from Debian's packages, whatever this machine lacks to build and
# test the project. Safe to run again: it installs only what is missing.
# Usage: build-support/install-deps.sh [group...]   (default: build test)
#   build    compiler, CMake, Ninja, OpenJDK 17
#   test     GoogleTest, OpenSSL, JUnit 5
#   bench    Google Benchmark
#   cross    MinGW-w64, wine, the s390x/aarch64 cross compilers and qemu-user,
#            GoogleTest's sources and llvm-nm (Mach-O); run-tests adds npm
#            (for Zig) itself if this machine has none
#   harden   clang's sanitizer and fuzzer runtimes, valgrind
#   release  what run-release and check-release use beyond build and cross:
#            llvm-lipo-14 and dsymutil-14 (macOS), gdb (symbol lookup check)
set -euo pipefail

groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(build test)

want=()
for g in "${groups[@]}"; do
  case "$g" in
    build)  want+=(g++ cmake ninja-build openjdk-17-jdk-headless) ;;
    test)   want+=(libgtest-dev libssl-dev openssl junit5 nginx) ;;
    bench)  want+=(libbenchmark-dev) ;;
    cross)  want+=(g++-mingw-w64-x86-64-posix wine wine64 qemu-user
                   g++-s390x-linux-gnu g++-aarch64-linux-gnu
                   googletest python3 llvm) ;;
    harden) want+=(clang-14 libclang-rt-14-dev valgrind) ;;
    release) want+=(llvm-14 gdb openssl python3) ;;
    *) echo "install-deps: unknown group '$g'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}" >&2
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
