#!/usr/bin/env bash
# The demo as a person runs it, checked by its output: against the embedded
# service, against a separately started service given with --service (with
# the player, tokens and mesh from the command line), over HTTPS and HTTP/2
# against the suite's nginx (tests/servers/nginx, serving the demo's mesh
# files) with --trust-cert, against a service that is not there, and with a
# bad option. (A Windows JVM under wine names a file by its Z: path.)
# Usage: demo_test.sh LAUNCHER JAVA SERVICE_JAR MODELS_DIR NGINX_DIR
# (NGINX_DIR empty where there is no nginx: the HTTPS part is skipped.)
set -uo pipefail
launcher=$1 java=$2 service_jar=$3 models=$4 nginx=$5
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

if [ -z "$nginx" ]; then echo "=== HTTPS and HTTP/2: SKIPPED (no nginx)"; else
  echo "=== --service over HTTPS and HTTP/2 (the suite's nginx) with --trust-cert"
  tls=$(cat "$nginx/base-url") cert="$nginx/conf/tls/server.pem" log="$nginx/logs/access.log"
  mark=$(wc -l <"$log")
  run 0 --service "$tls" --trust-cert "$cert"
  expect "^Using the service at $tls$" "^TLS: trusting only the certificates in (Z:)?$cert$" \
    "^   GET $tls/login_code\?mr_uuid=[0-9a-f-]{36}&code=K7Q-2M9X$" "^   200 .*\"access_token\":\"at-new\"" \
    "^   GET $tls/member/cosmetics\?morrow_uuid=.*&access_token=at-renewed" "^   200 \{\"status\":\"saved\"\}" \
    "^   mesh \"cube\": 8 vertices, 12 triangles$" "^   mesh \"cape\": 12 vertices, 12 triangles$" \
    "^   handled: IllegalStateException \"404 <html> <head><title>404 Not Found</title>" \
    "^   200 \{\"status\":\"signed_out\"\}" "^Done: all seven calls answered, one failure handled\.$"
  reject "FAILED" "UNEXPECTED" "Padding error"
  # nginx saw the ten requests (six calls, three meshes, the missing one), all over HTTP/2.
  sleep 0.5   # nginx logs a request after answering it
  seen=$(tail -n +"$((mark + 1))" "$log")
  printf '%s\n' "$seen"
  [ "$(grep -c ' HTTP/2\.0|' <<<"$seen")" -eq 10 ] && [ "$(wc -l <<<"$seen")" -eq 10 ] ||
    { echo "CHECK FAILED: expected ten HTTP/2.0 requests in nginx's log"; failed=1; }
  grep -q '^[0-9]*|POST /member/update_cosmetic HTTP/2\.0|[0-9]*|application/json|200$' <<<"$seen" ||
    { echo "CHECK FAILED: no JSON POST in nginx's log"; failed=1; }

  echo "=== HTTPS without --trust-cert: the JDK's trust store does not know the certificate"
  run 1 --service "$tls" --mesh cube
  expect "^   FAILED: the exchange failed: javax\.net\.ssl\.SSLHandshakeException" \
    "^   FAILED: javax\.net\.ssl\.SSLHandshakeException" "^Done with [0-9]+ unexpected outcome"
  reject "^Done: all seven" "^   200 "
fi

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
run 2 --service "https://127.0.0.1:1" --trust-cert "$models/no-such.pem"
expect "^tessaly-demo: --trust-cert .*no-such\.pem: java\.nio\.file\.NoSuchFileException"
run 2 --service "https://127.0.0.1:1" --trust-cert "$models/cube.enc"   # a file that holds no certificate
expect "^tessaly-demo: --trust-cert .*cube\.enc: java\.security\.cert\.CertificateException"
run 0 --help
expect "^  --service URL"

exit $failed
