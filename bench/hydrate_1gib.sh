#!/usr/bin/env bash
# Hydration through the mounted sync root against a plain download, to the
# same local zemd and into the same folder, measured in the same run:
#   curl -o <folder>/copy.bin   vs   reading <folder>/big.bin (a placeholder)
#                                    through the mount with dd
# plus the peak RSS of the process that holds the mount and hydrates. Prints
# the speed ratio (curl time / hydration time; 1.0 = as fast as curl), for
# the best and the median of ROUNDS each. Needs root (FUSE mount) and
# /dev/fuse.
# Usage: bench/hydrate_1gib.sh [BUILD_DIR] [SIZE_MIB] [ROUNDS]
#   (defaults: build/linux, 1024, 5)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/linux}
size_mib=${2:-1024}
rounds=${3:-5}

cmake --build "$build" --target zemd hydrate_bench -j 2 >/dev/null
bench="$build/bin/hydrate_bench"
export ZEMD="$build/bin/zemd"
work=$(mktemp -d /tmp/zem-hydrate-bench.XXXXXX)
folder="$work/ZEM云盘"
holder_pid=""
cleanup() {
  [ -n "$holder_pid" ] && kill "$holder_pid" 2>/dev/null || true
  umount -l "$folder" 2>/dev/null || true
  "$root/scripts/zemd-fixture" stop "$work/fx" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
"$root/scripts/zemd-fixture" start "$work/fx" >/dev/null
port=$(cat "$work/fx/port")
token=$(cat "$work/fx/token")
api="http://127.0.0.1:$port/zem/api/cloud-disk"
mkdir -p "$folder"
setfattr -n user.zem.syncroot -v 'ZemCloudDisk!default!default' "$folder"

echo "[bench] uploading a ${size_mib} MiB file to zemd"
head -c $((size_mib * 1024 * 1024)) /dev/urandom >"$work/data.bin"
answer=$(curl -sS --fail --noproxy '*' -H "Authorization: $token" \
  -H "Content-Type: application/octet-stream" -H "Expect:" \
  -X POST -T "$work/data.bin" "$api/file/upload-simple?folder_id=0&owner_type=1&name=big.bin")
file_id=$(printf '%s' "$answer" | sed -n 's/.*"file_id" *: *"\([^"]*\)".*/\1/p')
size=$((size_mib * 1024 * 1024))
# Warm the service's copy into the page cache, so both runs read it alike.
curl -sS --fail --noproxy '*' -H "Authorization: $token" -o /dev/null "$api/file/download?id=$file_id"

now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc -l; }
min() { if [ -z "$1" ] || [ "$(echo "$2 < $1" | bc -l)" = 1 ]; then echo "$2"; else echo "$1"; fi; }

curl_t="" zem_t="" peak_kb=0 curl_all="" zem_all=""
median() { printf '%s\n' $1 | sort -g | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }
for round in $(seq 1 "$rounds"); do
  sync
  t0=$(now)
  curl -sS --fail --noproxy '*' -H "Authorization: $token" -o "$folder/copy.bin" \
    "$api/file/download?id=$file_id"
  t1=$(now)
  curl_t=$(min "$curl_t" "$(elapsed "$t0" "$t1")")
  curl_all="$curl_all $(elapsed "$t0" "$t1")"
  rm -f "$folder/copy.bin"
  sync

  coproc HOLDER { "$bench" "$folder" "$port" "$token" "$file_id" "$size" big.bin; }
  holder_pid=$HOLDER_PID
  read -r ready <&"${HOLDER[0]}"
  [ "$ready" = ready ] || { echo "[bench] the sync root did not come up" >&2; exit 1; }
  t0=$(now)
  dd if="$folder/big.bin" of=/dev/null bs=1M status=none
  t1=$(now)
  if [ -n "${ZEM_BENCH_SECOND_READ:-}" ]; then
    t2=$(now); dd if="$folder/big.bin" of=/dev/null bs=1M status=none; t3=$(now)
    echo "[bench] second read (hydrated) $(elapsed "$t2" "$t3")s"
  fi
  zem_t=$(min "$zem_t" "$(elapsed "$t0" "$t1")")
  zem_all="$zem_all $(elapsed "$t0" "$t1")"
  cmp -s "$folder/big.bin" "$work/data.bin" || { echo "[bench] hydrated bytes differ" >&2; exit 1; }
  eval "exec ${HOLDER[1]}>&-"  # end of input: the holder disconnects
  out=$(cat <&"${HOLDER[0]}")
  wait "$holder_pid" || true
  holder_pid=""
  kb=$(printf '%s' "$out" | sed -n 's/.*peak_rss_kb=\([0-9]*\).*/\1/p')
  [ -n "$kb" ] && [ "$kb" -gt "$peak_kb" ] && peak_kb=$kb
  rm -f "$folder/big.bin"
  echo "[bench] round $round: hydration $(elapsed "$t0" "$t1")s"
done

printf '[bench] hydrate %d MiB, best of %d: curl -o %.2fs, read through the mount %.2fs, ratio %.3f (goal >= 0.9)\n' \
  "$size_mib" "$rounds" "$curl_t" "$zem_t" "$(echo "$curl_t / $zem_t" | bc -l)"
curl_med=$(median "$curl_all") zem_med=$(median "$zem_all")
printf '[bench] hydrate %d MiB, median of %d: curl -o %.2fs, read through the mount %.2fs, ratio %.3f\n' \
  "$size_mib" "$rounds" "$curl_med" "$zem_med" "$(echo "$curl_med / $zem_med" | bc -l)"
printf '[bench] peak RSS of the hydrating process: %.1f MiB (goal < 32)\n' \
  "$(echo "$peak_kb / 1024" | bc -l)"
