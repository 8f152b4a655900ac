#!/usr/bin/env bash
# The demo as a person runs it, checked by its output: against the embedded
# service, against a separately started service given with --service (with
# the player, tokens and mesh from the command line), against a service that
# is not there, and with a bad option.
# Usage: demo_test.sh LAUNCHER JAVA SERVICE_JAR MODELS_DIR
set -uo pipefail
launcher=$1 java=$2 service_jar=$3 models=$4
failed=0
out=""

run() {  # run EXPECTED_STATUS ARGS...: runs the demo, keeps its output in $out
  local want=$1; shift
  out=$("$launcher" "$@" 2>&1); local rc=$?
  printf '%s\n' "$out"
  if [ "$rc" -ne "$want" ]; then echo "CHECK FAILED: exit status $rc, expected $want"; failed=1; fi
}
expect() {  # expect REGEX...: each must match a line of $out
  for re in "$@"; do
    grep -Eq -- "$re" <<<"$out" || { echo "CHECK FAILED: no line matches: $re"; failed=1; }
  done
}
reject() {
  for re in "$@"; do
    grep -Eq -- "$re" <<<"$out" && { echo "CHECK FAILED: unexpected line: $re"; failed=1; }
  done
}

echo "=== embedded service"
run 0
u='http://127\.0\.0\.1:[0-9]+'
expect "^Reference service started on $u serving 3 mesh files \(cape\.enc, cube\.enc, hat\.enc\)" \
  "^1\. signIn " "^   GET $u/login_code\?mr_uuid=[0-9a-f-]{36}&code=K7Q-2M9X$" "^   200 .*\"access_token\":\"at-new\"" \
  "^2\. autoLogin " "^   GET $u/auto_login\?mr_uuid=.*&access_token=at-new&refresh_token=rt-new&provider=tessaly$" \
  "^3\. getAvailableCosmetics " "^   GET $u/member/cosmetics\?morrow_uuid=.*&access_token=at-renewed&refresh_token=rt-renewed" \
  "^   200 .*cape_aurora.*hat_lantern" \
  "^4\. saveConfiguration " "^   body .*\"selection\":\{\"cape\":\"cape_aurora\",\"hat\":\"hat_lantern\"\}" \
  "^   POST $u/member/update_cosmetic$" "^   200 \{\"status\":\"saved\"\}" \
  "^5\. getPlayerSkinInfo " "^   GET $u/cosmetic/user_cosmetic\?mr_uuid=[0-9a-f-]{36}$" "^   200 .*\"cape\":\"cape_aurora\"" \
  "^6\. loadRemoteMesh " "^   mesh \"cube\": 8 vertices, 12 triangles, 416 bytes encrypted$" \
  "^   mesh \"hat\": 12 vertices, 18 triangles" "^   mesh \"cape\": 12 vertices, 12 triangles" \
  "^6b\. loadRemoteMesh " "^   GET $u/models/no_such_mesh\.enc$" \
  "^   handled: IllegalStateException \"404 not found\"; callback not called" \
  "^7\. signOut " "^   GET $u/logout\?mr_uuid=.*&access_token=at-renewed" "^   200 \{\"status\":\"signed_out\"\}" \
  "^Reference service stopped\.$" "^Done: all seven calls answered, one failure handled\.$"
reject "FAILED" "UNEXPECTED" "Padding error"
[ "$(grep -c '^   200 ' <<<"$out")" -eq 6 ] || { echo "CHECK FAILED: expected six 200 answers"; failed=1; }

echo "=== --service with a separately started service and command-line values"
coproc SERVICE { exec "$java" -jar "$service_jar" --models "$models"; }
read -r -t 30 base <&"${SERVICE[0]}" || base=""
if [ -z "$base" ]; then echo "CHECK FAILED: the reference service did not start"; failed=1; else
  run 0 --service "$base" --player p-42 --code ABC --access-token AT1 --refresh-token RT1 --provider prov \
        --mesh hat --missing-mesh sub/none
  expect "^Using the service at $base$" "^   GET $base/login_code\?mr_uuid=p-42&code=ABC$" \
    "^   GET $base/auto_login\?mr_uuid=p-42&access_token=AT1&refresh_token=RT1&provider=prov$" \
    "^   GET $base/member/cosmetics\?morrow_uuid=p-42&access_token=AT1&refresh_token=RT1&provider=prov$" \
    "^   mesh \"hat\": 12 vertices, 18 triangles$" "^   GET $base/models/sub/none\.enc$" \
    "^   handled: IllegalStateException \"404 not found\"" "^Done: all seven calls answered"
  reject "Reference service st" "mesh \"cube\"" "FAILED"
fi
exec {SERVICE[1]}>&-   # closing its standard input stops the service
wait "$SERVICE_PID" 2>/dev/null

echo "=== a service that is not there"
# Nothing listens on port 1 of the loopback address: connecting is refused.
run 1 --service "http://127.0.0.1:1" --mesh cube
expect "^   FAILED: the exchange failed: java\.net\.ConnectException" "^   FAILED: .*ConnectException" \
  "^Done with [0-9]+ unexpected outcome"
reject "^Done: all seven"

echo "=== bad command line"
run 2 --no-such-option
expect "unknown option --no-such-option" "^usage: tessaly-demo"
run 2 --service
expect "--service needs a value"
run 0 --help
expect "^  --service URL"

exit $failed
