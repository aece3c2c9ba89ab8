#!/usr/bin/env bash
# Transfer speed of the service client against curl, to the same local zemd,
# measured in the same run:
#   upload:   UploadSimple of the file  vs  curl -T file -X POST (curl's
#             streamed upload; --data-binary @file loads the file into memory
#             first and refuses files of 1 GiB or more)
#   download: the exchange into a file  vs  curl -o file
# plus the peak RSS of the uploading process. Prints speed ratios
# (curl time / client time; 1.0 = as fast as curl) of the best and of the
# median times, curl and client alternating round by round.
# Usage: bench/client_transfer.sh [BUILD_DIR] [SIZE_MIB] [ROUNDS]
#   (defaults: build/linux, 1024, 5; downloads run 3 x ROUNDS). Downloads are written to /dev/shm when
# it exists, so that disk write-back does not swamp the comparison.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/linux}
size_mib=${2:-1024}
rounds=${3:-5}

cmake --build "$build" --target zemd client_transfer_bench -j 2 >/dev/null
bench="$build/bin/client_transfer_bench"
export ZEMD="$build/bin/zemd"
work=$(mktemp -d /tmp/zem-client-bench.XXXXXX)
out_dir=$work
[ -d /dev/shm ] && out_dir=$(mktemp -d /dev/shm/zem-client-bench.XXXXXX)
cleanup() {
  "$root/scripts/zemd-fixture" stop "$work/fx" >/dev/null 2>&1 || true
  rm -rf "$work" "$out_dir"
}
trap cleanup EXIT
"$root/scripts/zemd-fixture" start "$work/fx" >/dev/null
port=$(cat "$work/fx/port")
token=$(cat "$work/fx/token")
api="http://127.0.0.1:$port/zem/api/cloud-disk"
# Every round stores another copy: lift the 10 GiB default quota.
curl -sS --fail --noproxy '*' -H "X-Admin-Key: $(cat "$work/fx/admin_key")" \
  -d '{"user":"alice","total":1125899906842624}' "http://127.0.0.1:$port/admin/quota" >/dev/null

echo "[bench] writing a ${size_mib} MiB file"
head -c $((size_mib * 1024 * 1024)) /dev/urandom >"$work/data.bin"

now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc -l; }
min() { if [ -z "$1" ] || [ "$(echo "$2 < $1" | bc -l)" = 1 ]; then echo "$2"; else echo "$1"; fi; }
median() { printf '%s\n' "$@" | sort -g | sed -n "$(( ($# + 1) / 2 ))p"; }

# One upload before the timed ones: the service stores the first copy of
# new content more cheaply than a repeat (it then has a blob to drop), and
# every timed upload should cost it the same.
curl -sS --fail --noproxy '*' -H "Authorization: $token" -H "Expect:" \
  -X POST -T "$work/data.bin" "$api/file/upload-simple?folder_id=0&owner_type=1&name=warm-up" >/dev/null

curl_up="" zem_up="" curl_down="" zem_down="" peak_kb=0 file_id=""
curl_up_all=() zem_up_all=() curl_down_all=() zem_down_all=()
for round in $(seq 1 "$rounds"); do
  t0=$(now)
  answer=$(curl -sS --fail --noproxy '*' -H "Authorization: $token" \
    -H "Content-Type: application/octet-stream" -H "Expect:" \
    -X POST -T "$work/data.bin" "$api/file/upload-simple?folder_id=0&owner_type=1&name=data.bin")
  t1=$(now)
  curl_up=$(min "$curl_up" "$(elapsed "$t0" "$t1")")
  curl_up_all+=("$(elapsed "$t0" "$t1")")
  file_id=$(printf '%s' "$answer" | sed -n 's/.*"file_id" *: *"\([^"]*\)".*/\1/p')

  t0=$(now)
  out=$("$bench" "$port" "$token" upload "$work/data.bin")
  t1=$(now)
  zem_up=$(min "$zem_up" "$(elapsed "$t0" "$t1")")
  zem_up_all+=("$(elapsed "$t0" "$t1")")
  kb=$(printf '%s' "$out" | sed -n 's/.*peak_rss_kb=\([0-9]*\).*/\1/p')
  [ "$kb" -gt "$peak_kb" ] && peak_kb=$kb

  echo "[bench] round $round done"
done

# Downloads are short and the machine is shared: three times as many rounds,
# alternating, best of each.
for round in $(seq 1 $((rounds * 3))); do
  t0=$(now)
  curl -sS --fail --noproxy '*' -H "Authorization: $token" -o "$out_dir/curl.out" \
    "$api/file/download?id=$file_id"
  t1=$(now)
  curl_down=$(min "$curl_down" "$(elapsed "$t0" "$t1")")
  curl_down_all+=("$(elapsed "$t0" "$t1")")

  t0=$(now)
  "$bench" "$port" "$token" download "$file_id" "$out_dir/zem.out" >/dev/null
  t1=$(now)
  zem_down=$(min "$zem_down" "$(elapsed "$t0" "$t1")")
  zem_down_all+=("$(elapsed "$t0" "$t1")")
  cmp -s "$out_dir/zem.out" "$work/data.bin" || { echo "[bench] downloaded bytes differ" >&2; exit 1; }
  rm -f "$out_dir/curl.out" "$out_dir/zem.out"
done

report() {  # name, curl best, client best, curl median, client median
  printf '[bench] %-8s %d MiB: best curl %.2fs client %.2fs ratio %.3f; median curl %.2fs client %.2fs ratio %.3f (goal >= 0.95)\n' \
    "$1" "$size_mib" "$2" "$3" "$(echo "$2 / $3" | bc -l)" "$4" "$5" "$(echo "$4 / $5" | bc -l)"
}
report upload "$curl_up" "$zem_up" "$(median "${curl_up_all[@]}")" "$(median "${zem_up_all[@]}")"
report download "$curl_down" "$zem_down" "$(median "${curl_down_all[@]}")" "$(median "${zem_down_all[@]}")"
printf '[bench] peak RSS of the uploading process: %.1f MiB (goal < 32)\n' \
  "$(echo "$peak_kb / 1024" | bc -l)"
