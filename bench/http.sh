#!/usr/bin/env bash
# Requests per second and p99 latency of "/api/pestana" with wrk on 127.0.0.1
# (bounded: 2 threads, 16 connections, 5 seconds, three runs taken in turns
# with the reference, the median kept: a shared machine's load comes and goes).
# Reference: Python's threading HTTP server answering the same JSON with the
# same close-per-request replies. Prints "NAME ours=X reference=Y ratio=Z"
# (lower is better).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
serve="${CORVANE_BUILD_DIR:-$here/build/release}/apps/corvane/http_serve"
[ -x "$serve" ] || { echo "falta $serve (compila el preset release)" >&2; exit 1; }
command -v wrk >/dev/null || { echo "falta wrk" >&2; exit 1; }

work="$(mktemp -d)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

token="$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')"

wait_port() {  # file -> port once written
  for _ in $(seq 1 100); do
    if [ -s "$1" ]; then head -n1 "$1"; return 0; fi
    sleep 0.1
  done
  echo "el servidor no arrancó" >&2; exit 1
}

# wrk output -> "requests_per_second p99_ms p50_ms"
measure() {
  local port="$1"
  wrk -t2 -c16 -d5s --timeout 5s --latency -H "X-CRVN-Clave: $token" \
      "http://127.0.0.1:$port/api/pestana" > "$work/wrk.txt"
  python3 - "$work/wrk.txt" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
rps = float(re.search(r"Requests/sec:\s+([0-9.]+)", text).group(1))
def ms(pct):
    m = re.search(r"^\s+" + pct + r"%\s+([0-9.]+)(us|ms|s)\s*$", text, re.M)
    return float(m.group(1)) * {"us": 0.001, "ms": 1.0, "s": 1000.0}[m.group(2)]
print(rps, ms("99"), ms("50"))
PY
}

# Ours: it serves until its standard input (a pipe from this script) closes.
coproc OURS { exec "$serve" "$token" 120; }
pids+=("$OURS_PID")
read -r ours_port <&"${OURS[0]}"

cat > "$work/ref.py" <<'PY'
import http.server, sys, threading
class H(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def log_message(self, *a): pass
    def do_GET(self):
        body = b'{"pestana":null,"clips":3}'
        self.send_response(200)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)
        self.close_connection = True
class Server(http.server.ThreadingHTTPServer):
    request_queue_size = 128  # the same backlog as ours
    def handle_error(self, request, client_address): pass  # wrk hangs up at the end
s = Server(("127.0.0.1", 0), H)
s.daemon_threads = True
print(s.server_address[1], flush=True)
threading.Timer(120, s.shutdown).start()
s.serve_forever()
PY
python3 "$work/ref.py" > "$work/ref.port" &
pids+=($!)
ref_port="$(wait_port "$work/ref.port")"

runs_ours=() runs_ref=()
for _ in 1 2 3; do
  runs_ours+=("$(measure "$ours_port")")
  runs_ref+=("$(measure "$ref_port")")
done

python3 - "${runs_ours[@]}" "${runs_ref[@]}" <<'PY'
import statistics, sys
runs = [tuple(map(float, r.split())) for r in sys.argv[1:]]
ours, ref = runs[:3], runs[3:]
o_rps = statistics.median(r[0] for r in ours)
r_rps = statistics.median(r[0] for r in ref)
o_p99 = statistics.median(r[1] for r in ours)
r_p99 = statistics.median(r[1] for r in ref)
o_us, r_us = 1e6 / o_rps, 1e6 / r_rps
print(f"http_pestana_us_per_request ours={o_us:.2f} reference={r_us:.2f} ratio={o_us / r_us:.3f}")
o_p50 = statistics.median(r[2] for r in ours)
r_p50 = statistics.median(r[2] for r in ref)
print(f"http_pestana_p50_ms ours={o_p50:.3f} reference={r_p50:.3f} ratio={o_p50 / r_p50:.3f}")
print(f"http_pestana_p99_ms ours={o_p99:.3f} reference={r_p99:.3f} ratio={o_p99 / r_p99:.3f}")
PY
