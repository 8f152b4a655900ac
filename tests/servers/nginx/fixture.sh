#!/usr/bin/env bash
# Starts and stops the suite's nginx: HTTPS with HTTP/2 on a free port of
# 127.0.0.1, with a self-signed certificate made here for IP:127.0.0.1, all
# its files under DIR (a folder of the build tree). Nothing system-wide.
#
#   fixture.sh start DIR [MODELS_DIR]   copies the configuration of this
#       folder to DIR/conf, makes DIR/conf/tls/server.{pem,key}, copies the
#       mesh files of MODELS_DIR to DIR/www/models/, starts nginx and writes
#       its base URL (https://127.0.0.1:PORT) to DIR/base-url
#   fixture.sh stop DIR                   stops the nginx of DIR by its PID
#
# DIR/logs/access.log has one line per request (see nginx.conf). A start
# first stops an nginx that an interrupted run left behind in DIR. The
# environment variable TESSALY_NGINX names the program (default: nginx on
# PATH; nginx itself reads NGINX).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cmd=${1:?usage: fixture.sh start|stop DIR [MODELS_DIR]}
dir=${2:?usage: fixture.sh start|stop DIR [MODELS_DIR]}
models=${3:-}
nginx=${TESSALY_NGINX:-nginx}

stop() {  # stops the nginx whose pid file is in $dir, if it is still running from there
  local pid
  pid=$(cat "$dir/nginx.pid" 2>/dev/null) || return 0
  rm -f "$dir/nginx.pid"
  # Only an nginx started with this folder as its prefix, never another process that took the PID.
  if [ -n "$pid" ] && ps -o command= -p "$pid" 2>/dev/null | grep -qF -- "-p $dir/ "; then
    kill -TERM "$pid"
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
    echo "fixture: nginx $pid did not stop on TERM; killing it" >&2
    kill -KILL "$pid" 2>/dev/null || true
  fi
}

case "$cmd" in
  stop)
    stop
    echo "fixture: nginx of $dir stopped"
    ;;
  start)
    command -v "$nginx" >/dev/null || { echo "fixture: nginx is not installed (build-support/install-deps.sh test)" >&2; exit 1; }
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    stop
    rm -rf "$dir/conf" "$dir/www" "$dir/logs" "$dir/temp" "$dir/base-url"
    mkdir -p "$dir/conf/tls" "$dir/www/models" "$dir/logs" "$dir/temp"
    cp "$here/nginx.conf" "$here/tessaly-site.conf" "$here/account-routes.conf" "$dir/conf/"
    # The JDK's HttpClient checks the address it connects to against the subjectAltName.
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 7 \
        -subj "/CN=127.0.0.1" -addext "subjectAltName=IP:127.0.0.1" \
        -keyout "$dir/conf/tls/server.key" -out "$dir/conf/tls/server.pem" 2>"$dir/logs/openssl.log" ||
      { cat "$dir/logs/openssl.log" >&2; exit 1; }
    [ -z "$models" ] || [ ! -d "$models" ] || cp -R "$models/." "$dir/www/models/"
    # A random port, again while another program holds it.
    for _ in $(seq 30); do
      port=$(( 20000 + RANDOM % 40000 ))
      echo "listen 127.0.0.1:$port ssl http2;" >"$dir/conf/listen.conf"
      # nginx binds before it detaches: status 0 means it listens.
      if "$nginx" -p "$dir/" -c conf/nginx.conf </dev/null >"$dir/logs/start.log" 2>&1; then
        for _ in $(seq 50); do [ -s "$dir/nginx.pid" ] && break; sleep 0.1; done
        [ -s "$dir/nginx.pid" ] || { echo "fixture: nginx wrote no pid file" >&2; cat "$dir/logs/error.log" >&2; exit 1; }
        echo "https://127.0.0.1:$port" >"$dir/base-url"
        echo "fixture: nginx $(cat "$dir/nginx.pid") serving https://127.0.0.1:$port from $dir"
        exit 0
      fi
      grep -q "Address already in use" "$dir/logs/start.log" "$dir/logs/error.log" 2>/dev/null || break
    done
    echo "fixture: nginx did not start:" >&2
    cat "$dir/logs/start.log" "$dir/logs/error.log" >&2 2>/dev/null || true
    exit 1
    ;;
  *) echo "usage: fixture.sh start|stop DIR [MODELS_DIR]" >&2; exit 2 ;;
esac
