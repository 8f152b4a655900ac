#!/usr/bin/env bash
# Native access in a JDK that restricts System.load (24 and later), as the
# host developers' guide says it: a mod loading the library through the
# natives jar with its own Lookup (tessaly.jvmmod.NativesMod) and then making
# a call, with --enable-native-access=ALL-UNNAMED no warning at all; without
# it the four lines of the guide, naming the mod's class and jar, and the
# call still works; and the natives jar's self-check (java -jar), whose
# manifest grants its own native access, without a warning.
# Usage: native_access.sh JAVA NATIVES_JAR HOST_JAR MOD_JAR TESTS_JAR SERVICE_JAR WORK_DIR
set -uo pipefail
java=$1 natives=$2 host=$3 mod=$4 tests=$5 service=$6 work=$7
failed=0
rm -rf "$work" && mkdir -p "$work"
check() {  # check WHAT CONDITION-STATUS
  if [ "$2" -ne 0 ]; then echo "CHECK FAILED: $1"; failed=1; fi
}
call() {  # call [JVM-OPTION...]: NativeAccessChild through the mod, output in $out, status in $rc
  out=$("$java" -Xcheck:jni "$@" "-Dtessaly.natives.cache=$work/cache" \
        -cp "$host:$natives:$mod:$tests:$service" tessaly.jvmtest.NativeAccessChild 2>&1)
  rc=$?
  printf '%s\n' "$out"
}

echo "=== a mod's Lookup, with --enable-native-access=ALL-UNNAMED"
call --enable-native-access=ALL-UNNAMED
check "exit status $rc" "$rc"
grep -q '^getPlayerSkinInfo: 200$' <<<"$out"; check "the call's answer" $?
! grep -q 'WARNING' <<<"$out"; check "a warning with native access granted" $?

echo "=== the same mod, without the option"
call
check "exit status $rc" "$rc"
grep -q '^getPlayerSkinInfo: 200$' <<<"$out"; check "the call's answer" $?
expected="WARNING: A restricted method in java.lang.System has been called
WARNING: java.lang.System::load has been called by tessaly[.]jvmmod[.]NativesMod[$][$]InjectedInvoker/0x[0-9a-f]+ in an unnamed module \(file:$mod\)
WARNING: Use --enable-native-access=ALL-UNNAMED to avoid a warning for callers in this module
WARNING: Restricted methods will be blocked in a future release unless native access is enabled"
warnings=$(grep 'WARNING' <<<"$out")
[ "$(wc -l <<<"$warnings")" -eq 4 ]; check "four warning lines" $?
paste -d '\n' <(printf '%s\n' "$warnings") <(printf '%s\n' "$expected") |
  while IFS= read -r line && IFS= read -r want; do
    [[ "$line" =~ ^$want$ ]] || { echo "CHECK FAILED: '$line' is not the guide's '$want'"; exit 1; }
  done
check "the guide's warning" $?

echo "=== the self-check, java -jar"
out=$("$java" -Xcheck:jni "-Dtessaly.natives.cache=$work/self-check" -jar "$natives" 2>&1); rc=$?
printf '%s\n' "$out"
check "exit status $rc" "$rc"
grep -q '^self-check: OK' <<<"$out"; check "self-check: OK" $?
! grep -q 'WARNING' <<<"$out"; check "a warning from the self-check" $?

[ "$failed" -eq 0 ] && echo "native access: all checks passed"
exit "$failed"
