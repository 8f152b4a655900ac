# Facts every script and the CMake build share, written once here: scripts
# source this file; Settings.cmake and tessaly_build/facts.py read the same
# NAME='VALUE' lines.

# The shipped libraries' base names (libNAME.so, libNAME.dylib, NAME.dll) and
# the Java packages whose TessalyServerConnectionHelper declares the native
# methods, per platform; a build may rename both (-DTESSALY_LIBRARY_NAME,
# -DTESSALY_JNI_PACKAGE), releases and the expected exports may not.
tessaly_linux_library='Trialworks'
tessaly_linux_package='quenby.tessaly.client.online'
tessaly_macos_library='Skyrope'
tessaly_macos_package='quenby.tessaly.client.online'
tessaly_windows_library='Skyrope'
tessaly_windows_package='quenby.tessaly.api.client.online'

# What the shipped libraries may ask of a player's machine: the newest glibc
# symbol version the Linux files need, and the only DLLs the Windows file
# imports from. The build's tests and check-release hold the files to them.
tessaly_glibc_floor='2.28'
tessaly_windows_imports='KERNEL32.dll,msvcrt.dll'

# The built-in mesh key (32 hex digits) of builds given none: tests, the demo
# and ./run-release --test-key, never a release for players.
tessaly_test_mesh_key='7a3c9e51d20b84f6e1c57a93b04d6f28'

# How javac compiles the natives jar's loader: for Java 11, and string
# concatenation as StringBuilder calls, not invokedynamic, whose bootstrap
# per site took two thirds of the loader's time at a game's start
# (benchmarks/run loader).
tessaly_loader_javac_flags='--release 11 -XDstringConcat=inline'

# The JDK of the builds, tests, demo and benchmarks when JAVA_HOME is not set.
tessaly_jdk_home='/usr/lib/jvm/java-17-openjdk-amd64'

# The JDKs beside the host's, unpacked (never installed) by install-deps.sh
# into <tessaly_foreign_jdk_dir>/<name>: Debian's OpenJDK 17 for arm64 and
# s390x (the qemu presets) as <arch>; the Windows x64 JDK 17 (the windows-x64
# preset) as windows-x64; the JDKs 21 and 25 the suite also runs in as named
# in tessaly_more_jdks, the Windows ones under the wine 10 of a Debian 13 root
# (Debian 12's wine 8 lacks a function they import).
tessaly_foreign_jdk_dir='build/tools/jdk'
tessaly_more_jdks='linux-x64-21 linux-x64-25 linux-aarch64-21 windows-x64-21 windows-x64-25'
tessaly_wine10_root='build/tools/wine10-root'

# What a JVM run with -Xcheck:jni prints when the library misuses JNI (an
# extended regular expression): any match fails the test, soak or check.
tessaly_jni_warnings='WARNING in native method|WARNING: JNI|FATAL ERROR in native method|JNI DETECTED ERROR'

# tessaly_debian_mirror: the Debian mirror this machine's apt uses for its
# own release, so that no registry host is named here; nothing when apt lists none.
tessaly_debian_mirror() {
  apt-get indextargets --format '$(RELEASE) $(REPO_URI)' 'Created-By: Packages' 2>/dev/null |
    awk -v r="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")" '$1 == r { print $2; exit }'
}
# tessaly_debian_root RELEASE DIR [DEBOOTSTRAP-OPTION...]: a new minbase Debian
# RELEASE in DIR (.ci/fresh-root's, the wine 10 root), by debootstrap from
# that mirror, given only what reaches the registries as this machine does:
# its certificate authorities, name lookup and the package clients'
# world-readable settings (apt's sources and configuration, pip's, npm's).
# debootstrap's output goes to stdout; a failure ends with a line saying so.
tessaly_debian_root() {
  local release=$1 dir=$2 mirror f
  shift 2
  mirror=$(tessaly_debian_mirror)
  [ -n "$mirror" ] || { echo "apt lists no Debian mirror for this machine's release (apt-get indextargets)"; return 1; }
  debootstrap --variant=minbase "$@" "$release" "$dir" "$mirror" || { echo "debootstrap $release from $mirror failed"; return 1; }
  rm -f "$dir/etc/apt/sources.list"
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources \
           /etc/apt/apt.conf.d/* /etc/apt/trusted.gpg.d/* /etc/pip.conf /etc/npmrc /etc/resolv.conf /etc/hosts \
           /usr/local/share/ca-certificates/*.crt /etc/ssl/certs/ca-certificates.crt; do
    [ -f "$f" ] && [ $((0$(stat -c %a "$f") & 4)) -ne 0 ] || continue
    mkdir -p "$dir$(dirname "$f")" && cp -p "$f" "$dir$f"
  done
  # A root that may be thrown away needs no fsync after each file dpkg unpacks.
  echo force-unsafe-io >"$dir/etc/dpkg/dpkg.cfg.d/tessaly-unsafe-io"
}

export JAVA_HOME="${JAVA_HOME:-$tessaly_jdk_home}"
