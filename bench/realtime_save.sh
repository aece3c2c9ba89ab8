#!/usr/bin/env bash
# The real-time path against plain curl, to the same local zemd, measured in
# the same run:
#   latency: 100 files of 100 KB copied into the documents folder, time until
#            the agent has all of them on the service  ÷  the time of
#            uploading the same files with curl one after the other
#            (goal ≤ 1.5)
#   burst:   2,000 small files written at once; then every file must be on
#            the service exactly once, the queue file empty, and the agent's
#            peak RSS (VmHWM) is reported (goal < 64 MiB)
# corvane runs with its poll cycle held off, so only the notifications, the
# queue and the workers move files. Needs root (FUSE) and /dev/fuse.
# Usage: bench/realtime_save.sh [BUILD_DIR] [FILES] [BURST_FILES]
#   (defaults: build/linux, 100, 2000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/linux}
files=${2:-100}
burst=${3:-2000}

cmake --build "$build" --target zemd corvane register keygate -j 2 >/dev/null
export ZEMD="$build/bin/zemd"
work=$(mktemp -d /tmp/zem-rt-bench.XXXXXX)
home="$work/home"
agent_pid=""
cleanup() {
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null && wait "$agent_pid" 2>/dev/null || true
  umount -l "$home/ZEM云盘" 2>/dev/null || true
  "$root/scripts/zemd-fixture" stop "$work/fx" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
"$root/scripts/zemd-fixture" start "$work/fx" >/dev/null
port=$(cat "$work/fx/port")
token=$(cat "$work/fx/token")
admin=$(cat "$work/fx/admin_key")
api="http://127.0.0.1:$port/zem/api/cloud-disk"

export HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share"
unset INVOCATION_ID DBUS_SESSION_BUS_ADDRESS
mkdir -p "$XDG_CONFIG_HOME/ZemCloudDisk"
printf '{"host":"127.0.0.1","port":%s}' "$port" >"$XDG_CONFIG_HOME/ZemCloudDisk/config.json"
"$build/bin/register" >/dev/null
"$build/bin/keygate" --token "$token" >/dev/null
log="$XDG_CONFIG_HOME/ZemCloudDisk/logs/provider.log"
queue="$XDG_CONFIG_HOME/ZemCloudDisk/upload_queue.txt"
docs="$home/ZEM云盘/我的文档"

now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc -l; }
count_ok() { grep -c "^\[RT-UPLOAD-OK\] $1" "$log" 2>/dev/null || true; }
wait_ok() {  # prefix, count, limit in seconds
  local end=$(( $(date +%s) + $3 ))
  while [ "$(count_ok "$1")" -lt "$2" ]; do
    [ "$(date +%s)" -lt "$end" ] || { echo "[bench] only $(count_ok "$1") of $2 '$1' files arrived" >&2; exit 1; }
    sleep 0.02
  done
}

echo "[bench] $files files of 100 KB"
mkdir -p "$work/src"
for i in $(seq 1 "$files"); do head -c 102400 /dev/urandom >"$work/src/lat-$i.bin"; done

# Baseline: curl, one file after the other, into the same folder.
t0=$(now)
for i in $(seq 1 "$files"); do
  curl -sS --fail --noproxy '*' -H "Authorization: $token" \
    -H "Content-Type: application/octet-stream" -H "Expect:" -o /dev/null \
    -X POST --data-binary "@$work/src/lat-$i.bin" \
    "$api/file/upload-simple?folder_id=0&owner_type=1&name=curl-$i.bin"
done
t1=$(now)
curl_t=$(elapsed "$t0" "$t1")

ZEM_POLL_INTERVAL_MS=3600000 "$build/bin/corvane" >/dev/null 2>&1 &
agent_pid=$!
for _ in $(seq 1 400); do grep -q '^\[OK\] upload workers started' "$log" 2>/dev/null && break; sleep 0.05; done
grep -q '^\[OK\] upload workers started' "$log" || { echo "[bench] corvane did not come up" >&2; exit 1; }

t0=$(now)
for i in $(seq 1 "$files"); do cp "$work/src/lat-$i.bin" "$docs/lat-$i.bin"; done
wait_ok "lat-" "$files" 120
t1=$(now)
agent_t=$(elapsed "$t0" "$t1")
printf '[bench] latency: curl %.3fs  agent %.3fs  ratio %.2f (goal <= 1.5)\n' \
  "$curl_t" "$agent_t" "$(echo "$agent_t / $curl_t" | bc -l)"

echo "[bench] burst of $burst small files"
t0=$(now)
for i in $(seq 1 "$burst"); do printf 'burst file %d\n' "$i" >"$docs/burst-$i.txt"; done
t1=$(now)
wait_ok "burst-" "$burst" 600
t2=$(now)
sleep 1  # idle
hwm_kb=$(sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$agent_pid/status")
tree=$(curl -sS --fail --noproxy '*' -H "X-Admin-Key: $admin" "http://127.0.0.1:$port/admin/tree?user=alice" || true)
on_service=$(printf '%s' "$tree" | grep -o '"name":"burst-[0-9]*\.txt"' | sort | uniq -c | awk '$1==1' | wc -l)
dups=$(printf '%s' "$tree" | grep -o '"name":"burst-[0-9]*\.txt"' | sort | uniq -d | wc -l)
enq=$(grep -c '^\[RT-ENQ\] burst-' "$log" || true)
uploads=$(count_ok "burst-")
printf '[bench] burst: written in %.2fs, all on the service %.2fs later\n' \
  "$(elapsed "$t0" "$t1")" "$(elapsed "$t1" "$t2")"
echo "[bench] burst: on the service once $on_service/$burst, duplicates $dups, queued $enq, uploaded $uploads, queue file $(wc -c <"$queue") bytes"
echo "[bench] burst: agent peak RSS $((hwm_kb / 1024)) MiB (${hwm_kb} kB; goal < 64 MiB)"
kill -TERM "$agent_pid"; wait "$agent_pid" || true; agent_pid=""
