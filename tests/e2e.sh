#!/usr/bin/env bash
# End-to-end checks with real clients on loopback.
# Usage: e2e.sh SCENARIO SERVER EXAMPLE_DIR ARTEFACT_DIR
# SCENARIO: curl, python, wrk, activate, tcpserver, cgroup, linger, browser, or a
# deployment file: xinetd, tcpserver-run, socat-sh, tls, systemd, image.
set -uo pipefail
# Daemons such as xinetd live in sbin, which a normal user's PATH may lack.
PATH=$PATH:/usr/sbin:/sbin
scenario=$1 server=$(realpath "$2") example=$3 artefacts=$4
work=$(mktemp -d)
pids=()
undo=()  # commands that clean up what is not a process of ours
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for u in "${undo[@]}"; do eval "$u" >/dev/null 2>&1; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
. "$(dirname "$0")/check.sh"
own_lines=""  # lines of the activator's own log, kept out of the last check

cp -r "$example" "$work/site"
password=$(sed 's/[[:space:]]*$//' "$work/site/password.txt")
note=$(cat "$work/site/wwwroot/secret/note.txt")
index=$(cat "$work/site/wwwroot/index.html")

# Starts an activator on a free loopback port: the command's words, with PORT
# replaced by the port. Sets $port; the server's standard error goes to $work/err.
start() {
  for _ in 1 2 3 4 5; do
    # Below the kernel's ephemeral ports, which outgoing connections take.
    port=$((20000 + RANDOM % 12000))
    local said; said=$(stat -c %s "$work/err" 2>/dev/null || echo 0)
    (cd "$work/site" && exec "${@//PORT/$port}" 2>>"$work/err") &
    pids+=($!)
    for _ in $(seq 50); do
      # Its own listener: one that could not bind the port has ended by then.
      if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && sleep 0.1 &&
        kill -0 "${pids[-1]}" 2>/dev/null; then return 0; fi
      kill -0 "${pids[-1]}" 2>/dev/null || break
      sleep 0.1
    done
    truncate -s "$said" "$work/err"  # what a refused bind said is not the server's
  done
  echo "FAIL: could not start $1"; exit 1
}
# The shipped deployment files, run as they are: only the port (as @port@),
# the site folder, the binary, the user (nobody) and the certificate paths are
# put in. The binary and site sit where user nobody can reach them.
deploy_dir=$(cd "$(dirname "$0")/../deploy" && pwd)
as_deployed() {  # as_deployed FILE: prints the copy
  sed -e "s|/usr/sbin/stdhttpd|$work/bin/stdhttpd|g" -e "s|/var/www/stdhttpd|$work/site|g" \
      -e "s|/etc/stdhttpd/tls|$work/tls|g" -e 's/\b8080\b/@port@/g; s/\b8443\b/@port@/g' \
      -e 's/id -u stdhttpd/id -u nobody/; s/id -g stdhttpd/id -g nobody/; s/su=stdhttpd/su=nobody/' \
      -e 's/\(user *= \)stdhttpd/\1nobody/; s/\(group *= \)stdhttpd/\1nogroup/' "$1"
}
deployed_as_root() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: the deployment files switch to another user, which needs root"; exit 77
  fi
  id nobody >/dev/null && getent group nogroup >/dev/null || { echo "FAIL: no user nobody"; exit 1; }
  mkdir -p "$work/bin"
  cp "$server" "$work/bin/stdhttpd"
  # The recommended modes: the serving user reads the password, nobody else does.
  chgrp nogroup "$work/site/password.txt"
  chmod 0640 "$work/site/password.txt"
  chmod -R go+rX,go-w "$work/site" "$work/bin"
  chmod 0755 "$work"
}
# Starts a deployed copy of FILE, run by the words that follow, with the file's
# copy as their last word.
start_deployed() {  # start_deployed FILE WORDS...
  local file=$1; shift
  as_deployed "$file" > "$work/deployed"
  start sh -c 'sed "s/@port@/$1/g" "$2" > "$2.$1" && shift 2 && exec "$@" "$0"' \
    "$work/deployed.PORT" PORT "$work/deployed" "$@"
}
serves_example() {  # the index, and the secret note with the password
  check "$1: index" "$(curl -s "$2/")" "$index"
  check "$1: secret note" "$(curl -s -u "root:$password" "$2/secret/note.txt")" "$note"
  check "$1: no note without the password" "$(curl -s -o /dev/null -w '%{http_code}' "$2/secret/note.txt")" 401
}

relay() { need socat; start socat -lf /dev/null TCP-LISTEN:PORT,bind=127.0.0.1,reuseaddr,fork "EXEC:$server"; }
url() { echo "http://127.0.0.1:$port$1"; }

case $scenario in
curl)
  need curl; relay
  check "index" "$(curl -s "$(url /)")" "$index"
  check "401 status and challenge" \
    "$(curl -s -i "$(url /secret/note.txt)" | tr -d '\r' | grep -E '^(HTTP|WWW-Authenticate)')" \
    $'HTTP/1.1 401 You shall not pass.\nWWW-Authenticate: Basic realm="secrets of qor"'
  check "right password" "$(curl -s -u "root:$password" "$(url /secret/note.txt)")" "$note"
  check "wrong password" "$(curl -s -o /dev/null -w '%{http_code}' -u root:guess "$(url /secret/note.txt)")" 401
  check "404" "$(curl -s -o /dev/null -w '%{http_code}' "$(url /nothing)")" 404
  # Several URLs on one kept-alive connection: only the first one connects.
  check "keep-alive" "$(curl -s -o /dev/null -o /dev/null -o /dev/null -w '%{http_code}:%{num_connects} ' \
    "$(url /)" "$(url /style.css)" "$(url /logo.png)")" "200:1 200:0 200:0 "
  ;;
python)
  need python3; relay
  check "twenty requests on one connection" "$(python3 - "$port" "$password" <<'PY'
import base64, http.client, sys
conn = http.client.HTTPConnection("127.0.0.1", int(sys.argv[1]), timeout=10)
auth = "Basic " + base64.b64encode(("root:" + sys.argv[2]).encode()).decode()
paths = ["/", "/style.css", "/logo.png", "/secret/note.txt", "/nothing"] * 4
seen, sockets = [], set()
for i, path in enumerate(paths):
    headers = {"Authorization": auth} if i % 2 else {}
    conn.request("GET", path, headers=headers)
    r = conn.getresponse()
    body = r.read()
    sockets.add(id(conn.sock))
    assert int(r.getheader("Content-Length")) == len(body)
    seen.append(r.status)
print(len(sockets), seen.count(200), seen.count(401), seen.count(404))
PY
)" "1 14 2 4"  # Pipelined: every request sent before any answer is read, a large file first.
  head -c 8000000 /dev/urandom > "$work/site/wwwroot/big.bin"
  check "pipelined answers in request order" "$(python3 - "$port" "$work/site/wwwroot" <<'PY'
import socket, sys
paths = ["/big.bin", "/style.css", "/logo.png", "/style.css", "/big.bin", "/logo.png", "/nothing"]
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=20)
s.sendall(b"".join(b"GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % p.encode() for p in paths))
f, right = s.makefile("rb"), 0
for p in paths:
    status = f.readline().split()[1]
    head = list(iter(f.readline, b"\r\n"))
    length = next(int(l.split(b":")[1]) for l in head if l.startswith(b"Content-Length"))
    body = f.read(length)
    try: right += body == open(sys.argv[2] + p, "rb").read()
    except FileNotFoundError: right += status == b"404" and body == b""
print(right, "of", len(paths))
PY
)" "7 of 7"
  ;;
wrk)
  need wrk; relay
  out=$(wrk -t1 -c2 -d1s "$(url /style.css)")
  echo "$out"
  check "no non-2xx answers" "$(grep -c 'Non-2xx' <<<"$out")" 0
  check "no time-outs" "$(grep -oE 'timeout [0-9]+' <<<"$out" || echo 'timeout 0')" "timeout 0"
  # How many is for make bench: a loaded machine may serve few in a second.
  check "answered" "$(awk '/requests in/ { print ($1 > 0) }' <<<"$out")" 1
  ;;
activate)
  need systemd-socket-activate; need curl
  start env SYSTEMD_LOG_LEVEL=warning systemd-socket-activate -l 127.0.0.1:PORT --inetd -a "$server"
  check "index" "$(curl -s "$(url /)")" "$index"
  check "right password" "$(curl -s -u "root:$password" "$(url /secret/note.txt)")" "$note"
  ;;
tcpserver)
  need tcpserver; need curl
  start tcpserver -q 127.0.0.1 PORT "$server"
  check "index" "$(curl -s "$(url /)")" "$index"
  check "401 outside" "$(curl -s --path-as-is -o /dev/null -w '%{http_code}' "$(url /../password.txt)")" 401
  ;;
cgroup)
  # One group's limit over tcpserver and every server: each client sends its
  # requests for a 5 MiB file, waits 2 s, then reads; every answer arrives
  # whole and the kernel kills nothing.
  [ "$(id -u)" -eq 0 ] || { echo "SKIP: a memory cgroup of its own needs root"; exit 77; }
  need tcpserver; need python3
  own=$(awk -F: '$2 ~ /(^|,)memory(,|$)/ { print "/sys/fs/cgroup/memory" $3 }' /proc/self/cgroup)
  limit=memory.limit_in_bytes events=memory.oom_control
  [ -n "$own" ] || own=/sys/fs/cgroup$(awk -F: '$1 == 0 { print $3 }' /proc/self/cgroup) \
    limit=memory.max events=memory.events
  group=${own%/}/stdhttpd-e2e-$$
  mkdir "$group" 2>/dev/null && echo $((64 << 20)) 2>/dev/null > "$group/$limit" ||
    { rmdir "$group" 2>/dev/null; echo "SKIP: no memory cgroup with a limit can be made in $own"; exit 77; }
  undo+=("for _ in \$(seq 50); do rmdir $group && break; sleep 0.1; done")
  head -c $((5 << 20)) /dev/urandom > "$work/site/wwwroot/five.bin"
  start sh -c 'echo $$ > "$0/cgroup.procs" && exec tcpserver -c 64 -H -R -l 0 127.0.0.1 PORT "$1"' \
    "$group" "$server"
  for clients_each in "16 1" "32 1" "16 3"; do
    check "64 MiB group, $clients_each: whole answers" "$(python3 - "$port" $clients_each <<'PY'
import socket, sys, threading, time
port, clients, each = map(int, sys.argv[1:])
whole = []
def client():
    s = socket.create_connection(("127.0.0.1", port), timeout=120)
    s.sendall(b"GET /five.bin HTTP/1.1\r\nHost: x\r\n\r\n" * each)
    time.sleep(2)
    f = s.makefile("rb")
    for _ in range(each):
        if not f.readline().startswith(b"HTTP/1.1 200"): return
        head = list(iter(f.readline, b"\r\n"))
        length = next(int(l[15:]) for l in head if l.startswith(b"Content-Length"))
        if length == 5 << 20 and len(f.read(length)) == length: whole.append(1)
threads = [threading.Thread(target=client) for _ in range(clients)]
for t in threads: t.start()
for t in threads: t.join()
print(len(whole))
PY
)" "$((${clients_each% *} * ${clients_each#* }))"
  done
  check "64 MiB group: no process killed" "$(awk '$1 == "oom_kill" { print $2 }' "$group/$events")" 0
  ;;
xinetd)
  deployed_as_root; need xinetd; need curl
  start_deployed "$deploy_dir/xinetd/stdhttpd" sh -c \
    'sed "s|SYSLOG daemon info|FILE $0.log|" "$0" > "$0.conf" && exec xinetd -dontfork -f "$0.conf"'
  serves_example xinetd "$(url '')"
  sleep 0.5
  log=$(cat "$work"/deployed.*.log)
  echo "$log" | head -2
  # Three requests, and the probe that saw the port open.
  check "xinetd logs the peer" "$(grep -c 'START: stdhttpd from=.*127.0.0.1$' <<<"$log")" 4
  # A burst that xinetd's default rate limit would answer by switching off.
  # It comes from four clients (loopback answers all of 127/8), 25 each, so
  # that the per-client limit refuses none of it, however long each lasts.
  burst=()
  for i in $(seq 100); do
    curl -s --interface "127.0.0.$((i % 4 + 1))" -o /dev/null -w '%{http_code}\n' "$(url /)" &
    burst+=($!)
  done > "$work/burst"
  wait "${burst[@]}"
  check "a burst of 100 connections" "$(grep -c '^200$' "$work/burst")" 100
  check "answers after the burst" "$(curl -s "$(url /)")" "$index"
  > "$work/err"  # xinetd's own notices
  ;;
tcpserver-run)
  deployed_as_root; need tcpserver; need curl
  start_deployed "$deploy_dir/tcpserver/run" sh
  serves_example "tcpserver/run" "$(url '')"
  log=$(cat "$work/err")
  echo "$log" | head -3
  check "tcpserver -v logs the peer" "$(grep -c '^tcpserver: pid [0-9]* from 127.0.0.1$' <<<"$log")" 4
  check "tcpserver logs only its own lines" "$(grep -vc '^tcpserver: ' <<<"$log")" 0
  # A client whose ident port accepts and never answers is served at once.
  # The client has an address of its own, so that the other scenarios'
  # activators, which ask for ident, do not meet its silent port.
  (exec socat TCP-LISTEN:113,bind=127.0.0.9,reuseaddr,fork SYSTEM:'sleep 60' 2>/dev/null) &
  pids+=($!)
  sleep 0.3
  check "a silent ident port holds no client" \
    "$(curl -s --interface 127.0.0.9 --max-time 5 -o /dev/null -w '%{http_code}' "$(url '')")" 200
  # One client's 64 connections that send half a request line hold no slot
  # that the next client needs.
  for _ in $(seq 64); do exec {silent}<>"/dev/tcp/127.0.0.1/$port"; printf 'GET /ind' >&"$silent"; done
  check "64 silent connections from one client" \
    "$(curl -s --max-time 5 -o /dev/null -w '%{http_code}' "$(url '')")" 200
  # Its log goes on as connections end, so only its own lines are let through below.
  own_lines='^tcpserver: '
  ;;
socat-sh)
  deployed_as_root; need socat; need curl
  start_deployed "$deploy_dir/socat.sh" sh
  serves_example "socat.sh" "$(url '')"
  exec 3<>"/dev/tcp/127.0.0.1/$port"  # a connection held open, to see who serves it
  # Its server starts after a fork, a su and a shell: wait for it, however slow.
  for _ in $(seq 100); do served=$(pgrep -d, -f "^$work/bin/stdhttpd\$") && break; sleep 0.1; done
  users=$(ps -o user= -p "$served" | sort -u)
  echo "socat.sh: the server runs as $users"
  check "socat.sh serves as the unprivileged user" "$users" nobody
  exec 3>&-
  ;;
tls)
  deployed_as_root; need socat; need curl; need openssl
  mkdir -p "$work/tls"
  openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost \
    -addext subjectAltName=DNS:localhost,IP:127.0.0.1 \
    -keyout "$work/tls/key.pem" -out "$work/tls/cert.pem" 2>/dev/null
  start_deployed "$deploy_dir/tls/socat-tls.sh" sh
  tls_url="https://127.0.0.1:$port"
  check "TLS: index" "$(curl -s --cacert "$work/tls/cert.pem" "$tls_url/")" "$index"
  check "TLS: secret note" \
    "$(curl -s --cacert "$work/tls/cert.pem" -u "root:$password" "$tls_url/secret/note.txt")" "$note"
  check "plain text gets no answer" "$(curl -s -m 5 "http://127.0.0.1:$port/")" ""
  > "$work/err"  # socat's notes on the plain-text attempt
  ;;
systemd)
  need systemd-analyze
  mkdir -p "$work/units"
  for unit in stdhttpd.socket stdhttpd@.service; do
    sed "s|/usr/sbin/stdhttpd|$server|" "$deploy_dir/systemd/$unit" > "$work/units/$unit"
  done
  out=$(cd "$work/units" && systemd-analyze verify --man=no ./stdhttpd.socket ./stdhttpd@.service 2>&1; echo "status $?")
  check "systemd-analyze verify" "$out" "status 0"
  ;;
linger)
  # A 2 MB answer, then a request line that stops the service with a body
  # behind it: the client must get the whole answer and a clean end, not a reset.
  need tcpserver; need python3
  head -c 2000000 /dev/urandom > "$work/site/wwwroot/big.bin"
  start tcpserver -q 127.0.0.1 PORT "$server"
  for run in 1 2 3; do
    check "whole answer and clean close, run $run" "$(python3 - "$port" <<'PY'
import socket, sys, time
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=20)
body = b"x" * 100000
s.sendall(b"GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n"
          b"POST /upload HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n" + body)
time.sleep(0.3)  # the server is done and exits while the client has read nothing
got = b""
try:
    while chunk := s.recv(1 << 16):
        got += chunk
    print(len(got), "clean")
except ConnectionResetError:
    print(len(got), "reset")
PY
)" "2000052 clean"
  done
  # A client that keeps sending after the stop is cut after 1 MiB (and the
  # sockets' buffers), however fast or slow the machine: counted in bytes.
  check "what is drained is bounded" "$(python3 - "$port" <<'PY'
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=20)
s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\nPOST / HTTP/1.1\r\n\r\n")
sent = 0
try:
    while sent < 256 << 20:
        s.sendall(b"x" * 65536)
        sent += 65536
except OSError:
    pass
print("cut" if sent < 64 << 20 else "held")
PY
)" cut
  ;;
browser)
  need chromium; relay
  # Scripts served without a type: a classic one runs, a module one does not.
  echo 'window.classicRan = true;' > "$work/site/wwwroot/classic.js"
  echo 'window.moduleRan = true;' > "$work/site/wwwroot/module.js"
  cat > "$work/site/wwwroot/check.html" <<'HTML'
<!DOCTYPE html><html><body><pre id="result">pending</pre><iframe id="page" src="/"></iframe>
<script src="/classic.js"></script>
<script type="module" src="/module.js" onerror="window.moduleRefused = true"></script>
<script>
// The window loads once the frame, its image and every script have loaded or failed.
window.addEventListener('load', () => {
  const d = document.getElementById('page').contentDocument;
  const h1 = d.querySelector('h1'), img = d.querySelector('img');
  document.getElementById('result').textContent = [
    'title=' + d.title, 'h1=' + (h1 && h1.textContent),
    'color=' + (h1 && getComputedStyle(h1).color),
    'image=' + (img && img.naturalWidth + 'x' + img.naturalHeight),
    'classic=' + !!window.classicRan, 'module=' + (window.moduleRefused ? 'refused' : !!window.moduleRan)].join(';');
});
</script></body></html>
HTML
  mkdir -p "$artefacts"
  browse() {
    timeout 60 chromium --headless --no-sandbox --disable-gpu --disable-background-networking \
      --disable-component-update --disable-sync --disable-quic --no-first-run \
      --user-data-dir="$work/profile" --virtual-time-budget=10000 "$@" 2>/dev/null
  }
  dom=$(browse --dump-dom "$(url /check.html)")
  check "rendered page" "$(grep -oE '<pre id="result">[^<]*' <<<"$dom")" \
    '<pre id="result">title=stdhttpd example;h1=It works;color=rgb(42, 111, 79);image=64x64;classic=true;module=refused'
  browse --window-size=800,600 --screenshot="$artefacts/example.png" "$(url /)" >/dev/null
  check "screenshot saved" "$(test -s "$artefacts/example.png" && echo yes)" yes
  ;;
image)
  # The container image around this server, run as a cluster runs it:
  # read-only, without capabilities or new privileges, as its own user.
  [ "$(id -u)" -eq 0 ] || { echo "SKIP: podman's containers here need root"; exit 77; }
  command -v podman >/dev/null || { echo "SKIP: podman is not installed"; exit 77; }
  need curl; need python3
  tag=localhost/stdhttpd:e2e-$$ arches="amd64${STDHTTPD_ARM64:+ arm64}"
  undo+=("podman manifest rm $tag" "podman rmi -f $(printf "$tag-%s " $arches)")
  make -s -C "$deploy_dir/.." image-from SERVER="$server" IMAGE="$tag" IMAGE_BUILD="$work/image" \
    ${STDHTTPD_ARM64:+SERVER_ARM64="$STDHTTPD_ARM64/stdhttpd"} >/dev/null ||
    { echo "FAIL: the image did not build"; exit 1; }
  check "one image for each architecture" \
    "$(podman manifest inspect "$tag" | grep -oP '"architecture": "\K[^"]+' | tr '\n' ' ')" "$arches "
  # crun fails on a hybrid cgroup layout; the host's limits may be lower than podman's defaults.
  runtime=(); command -v runc >/dev/null && runtime=(--runtime runc)
  chmod 0755 "$work"; chmod -R go+rX,go-w "$work/site"
  # A Secret as kubelet mounts it: the file leads through ..data to a dated folder.
  mkdir -p "$work/secret/..v1"
  cp "$work/site/password.txt" "$work/secret/..v1/password.txt"
  ln -s ..v1 "$work/secret/..data"; ln -s ..data/password.txt "$work/secret/password.txt"
  chmod -R go+rX "$work/secret"
  truncate -s 100M "$work/site/wwwroot/hundred.bin"
  container() {  # container NAME PODMAN-RUN-OPTIONS...: runs the image on $port
    local name=$1; shift
    undo+=("podman rm -f $name")
    start podman "${runtime[@]}" run --rm --name "$name" --read-only --cap-drop all \
      --security-opt no-new-privileges --ulimit nofile=4096:4096 --ulimit nproc=4096:4096 \
      -p 127.0.0.1:PORT:8080 -v "$work/site/wwwroot:/srv/wwwroot:ro" \
      -v "$work/secret:/etc/stdhttpd:ro" "$@" "$tag"
    # The port is bound before the server listens behind it.
    for _ in $(seq 50); do curl -s -o /dev/null "$(url /)" && return; sleep 0.1; done
  }
  container "stdhttpd-e2e-$$"
  serves_example image "$(url '')"
  check "runs as user 65534" "$(podman top "stdhttpd-e2e-$$" user | tail -n +2 | sort -u)" 65534
  check "Secret rotated on a kept-alive connection" "$(python3 - "$port" "$password" "$work/secret" <<'PY'
import base64, http.client, os, sys
conn = http.client.HTTPConnection("127.0.0.1", int(sys.argv[1]), timeout=10)
def status(password):
    auth = "Basic " + base64.b64encode(("root:" + password).encode()).decode()
    conn.request("GET", "/secret/note.txt", headers={"Authorization": auth})
    r = conn.getresponse(); r.read()
    return r.status
seen = [status(sys.argv[2])]
d = sys.argv[3]  # kubelet's swap: a new dated folder, then ..data replaced at once
os.mkdir(d + "/..v2", 0o755)
with open(d + "/..v2/password.txt", "w") as f: f.write("rotated\n")
os.chmod(d + "/..v2/password.txt", 0o644)
os.symlink("..v2", d + "/..data_tmp"); os.rename(d + "/..data_tmp", d + "/..data")
seen += [status("rotated"), status(sys.argv[2])]
print(*seen)
PY
)" "200 200 401"
  podman stop -t 10 "stdhttpd-e2e-$$" >/dev/null
  container "stdhttpd-e2e-mem-$$" --memory 64m
  check "under 64 MiB: 100 MiB file, then the index" \
    "$(curl -s -o /dev/null -o /dev/null -w '%{http_code}:%{num_connects} ' "$(url /hundred.bin)" "$(url /)")" "404:1 200:0 "
  check "stops at once on SIGTERM" "$( { time -p podman stop -t 10 "stdhttpd-e2e-mem-$$"; } 2>&1 |
    awk '/^real/ { print ($2 < 5) }')" 1
  > "$work/err"  # podman's and tcpserver's own lines
  ;;
*) echo "unknown scenario $scenario"; exit 2 ;;
esac

check "nothing on the server's standard error" \
  "$(grep -vE "${own_lines:-^$}" "$work/err" 2>/dev/null)" ""
summary "$scenario"
