#!/usr/bin/env bash
# Upload and download throughput of zemd on loopback, with curl as the
# client, and zemd's peak resident memory (VmHWM).
# Usage: bench/zemd_transfer.sh [SIZE_MIB] (default 1024)
# The zemd binary: $ZEMD, else build/linux/bin/zemd, else the newest
# build/*/bin/zemd. Goals: >= 500 MB/s both ways, peak RSS < 64 MiB.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
size_mib=${1:-1024}

zemd=${ZEMD:-}
if [ -z "$zemd" ]; then
  if [ -x "$root/build/linux/bin/zemd" ]; then zemd=$root/build/linux/bin/zemd
  else zemd=$(ls -t "$root"/build/*/bin/zemd 2>/dev/null | head -1 || true); fi
fi
[ -x "$zemd" ] || { echo "zemd_transfer: no zemd binary (build it or set ZEMD)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/zemd-bench.XXXXXX")
pid=""
cleanup() {
  [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

token=bench-token
"$zemd" seed --data "$work/data" --token "$token" >/dev/null
"$zemd" --data "$work/data" --port 0 --port-file "$work/port" --admin-key bench \
  >"$work/zemd.log" 2>&1 &
pid=$!
for _ in $(seq 1 100); do [ -s "$work/port" ] && break; sleep 0.05; done
port=$(cat "$work/port")
base="http://127.0.0.1:$port/zem/api/cloud-disk"

echo "[bench] creating a ${size_mib} MiB file of random bytes"
head -c "$((size_mib * 1024 * 1024))" /dev/urandom >"$work/src.bin"
bytes=$(stat -c %s "$work/src.bin")
rss_start=$(awk '/VmHWM/ {print $2}' "/proc/$pid/status")

# zemd's CPU time so far (user + system) in seconds: the load-independent
# cost of a transfer, next to its wall-clock rate on a shared machine.
cpu_s() { awk -v hz="$(getconf CLK_TCK)" '{ printf "%.2f", ($14 + $15) / hz }' "/proc/$pid/stat"; }
delta() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

mbps() { awk -v b="$1" -v t="$2" 'BEGIN { printf "%.0f", (t > 0 ? b / t / 1e6 : 0) }'; }

cpu0=$(cpu_s)
# Upload: the client streams the file (curl reads it in pieces, never whole).
read -r up_time up_code < <(curl -s -o "$work/up.json" -w '%{time_total} %{http_code}\n' \
  -H "Authorization: $token" -H 'Content-Type: application/octet-stream' \
  -H 'Expect:' -T "$work/src.bin" -X POST \
  "$base/file/upload-simple?folder_id=0&owner_type=1&name=bench.bin")
[ "$up_code" = 200 ] || { echo "upload failed: HTTP $up_code $(cat "$work/up.json")" >&2; exit 1; }
id=$(sed -n 's/.*"file_id":"\([^"]*\)".*/\1/p' "$work/up.json")
[ -n "$id" ] || { echo "upload answer has no file_id: $(cat "$work/up.json")" >&2; exit 1; }

cpu1=$(cpu_s)
# Download to /dev/null (the sink is not what is measured), then once more
# to a file to check the bytes.
read -r down_time down_code down_bytes < <(curl -s -o /dev/null \
  -w '%{time_total} %{http_code} %{size_download}\n' -H "Authorization: $token" \
  "$base/file/download?id=$id")
[ "$down_code" = 200 ] && [ "$down_bytes" = "$bytes" ] ||
  { echo "download failed: HTTP $down_code, $down_bytes bytes" >&2; exit 1; }
cpu2=$(cpu_s)
curl -s -o "$work/back.bin" -H "Authorization: $token" "$base/file/download?id=$id"
cmp -s "$work/src.bin" "$work/back.bin" && same=yes || same=NO

peak_kib=$(awk '/VmHWM/ {print $2}' "/proc/$pid/status")
echo "[bench] zemd_transfer size=${size_mib}MiB"
echo "upload:   $(mbps "$bytes" "$up_time") MB/s (${up_time}s; zemd CPU $(delta "$cpu0" "$cpu1")s)"
echo "download: $(mbps "$bytes" "$down_time") MB/s (${down_time}s; zemd CPU $(delta "$cpu1" "$cpu2")s)"
echo "machine load average: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) CPUs"
echo "content identical after round trip: $same"
echo "zemd peak RSS (VmHWM): $((peak_kib / 1024)) MiB (at start: $((rss_start / 1024)) MiB)"
[ "$same" = yes ]
