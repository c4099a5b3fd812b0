#!/usr/bin/env bash
# Download benchmark: a 200 MB file served on 127.0.0.1, fetched in turns by
# `curl -s -o FILE URL` and by the program's own download path (the download
# tool: the front end's start task and callbacks, progress bar and text
# included). Prints each run's wall time, the medians and their ratio.
#
#   bash bench/download.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
rounds=${2:-5}
tool="$build/download"
[ -x "$tool" ] || { echo "download.sh: $tool missing; build first (cmake --build $build --target download)" >&2; exit 1; }
command -v curl > /dev/null || { echo "download.sh: curl missing" >&2; exit 1; }

work=$(mktemp -d)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

head -c $((200 * 1024 * 1024)) /dev/urandom > "$work/payload.bin"

# A threaded HTTP server that hands the file to the kernel with sendfile, so
# the server is not what limits either client.
cat > "$work/serve.py" << 'EOF'
import http.server, os, sys
path = sys.argv[1]
class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def do_GET(self):
        size = os.path.getsize(path)
        self.send_response(200)
        self.send_header("Content-Type", "application/x-gzip")
        self.send_header("Content-Length", str(size))
        self.end_headers()
        with open(path, "rb") as f:
            self.wfile.flush()
            self.connection.sendfile(f)
    def log_message(self, *args):
        pass
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
EOF
python3 "$work/serve.py" "$work/payload.bin" > "$work/port" &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
url="http://127.0.0.1:$(cat "$work/port")/payload.bin"

now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc -l; }
median() { sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }

curl_times=()
tool_times=()
for round in $(seq "$rounds"); do
  rm -f "$work/curl.out" "$work/tool.out"
  start=$(now)
  curl -s -o "$work/curl.out" "$url"
  curl_times+=("$(elapsed "$start" "$(now)")")
  start=$(now)
  summary=$("$tool" "$url" "$work/tool.out")
  tool_times+=("$(elapsed "$start" "$(now)")")
  cmp -s "$work/payload.bin" "$work/tool.out" || { echo "download.sh: the tool's file differs" >&2; exit 1; }
  printf 'round %d: curl %.3f s, program %.3f s (%s)\n' "$round" "${curl_times[-1]}" "${tool_times[-1]}" "$summary"
done

curl_median=$(printf '%s\n' "${curl_times[@]}" | median)
tool_median=$(printf '%s\n' "${tool_times[@]}" | median)
printf 'median: curl %.3f s (%.0f MB/s), program %.3f s (%.0f MB/s)\n' \
  "$curl_median" "$(echo "200 / $curl_median" | bc -l)" "$tool_median" "$(echo "200 / $tool_median" | bc -l)"
printf 'ratio program/curl: %.3f\n' "$(echo "$tool_median / $curl_median" | bc -l)"
