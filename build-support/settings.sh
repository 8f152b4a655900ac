# Settings every script and the CMake build share, written once here.
# Scripts source this file; build-support/Settings.cmake and
# build-support/release/check-release read the same NAME='VALUE' lines.

# The JDK that builds, tests, the demo and the benchmarks use when JAVA_HOME
# is not set.
tessaly_jdk_home='/usr/lib/jvm/java-17-openjdk-amd64'

# The real JVMs of the qemu presets: Debian's OpenJDK 17 for each foreign
# architecture (arm64, s390x), unpacked by `install-deps.sh cross` into
# <this folder, relative to the checkout>/<Debian architecture>, never
# installed; each runs under qemu-user (build-support/qemu-java).
tessaly_foreign_jdk_dir='build/tools/jdk'

# What a JVM run with -Xcheck:jni prints when the library misuses JNI (an
# extended regular expression): any match fails the test, soak or check.
tessaly_jni_warnings='WARNING in native method|WARNING: JNI|FATAL ERROR in native method|JNI DETECTED ERROR'

export JAVA_HOME="${JAVA_HOME:-$tessaly_jdk_home}"
