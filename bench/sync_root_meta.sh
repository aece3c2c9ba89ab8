#!/usr/bin/env bash
# Metadata and read speed of the mounted sync root against the same folder
# unmounted, measured in the same run:
#   ls -l of a folder of N_LS file placeholders: mounted ÷ unmounted, for the
#     first listing after mounting and a repeated one (goals <= 3 and <= 1.5)
#   find -type f | xargs cat over N_CAT hydrated files of 100 KB: mounted ÷
#     unmounted (goal <= 2)
#   the CPU time of the process holding the mount during the first ls -l
# Each figure is the best of ROUNDS, the mount made afresh for every round.
# rclone's ratio is printed beside it when rclone is installed (a mount of
# the same local tree). Needs root (FUSE mount) and /dev/fuse.
# Usage: bench/sync_root_meta.sh [BUILD_DIR] [ROUNDS] [N_LS] [N_CAT]
#   (defaults: build/linux, 5, 10000, 1000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/linux}
rounds=${2:-5}
n_ls=${3:-10000}
n_cat=${4:-1000}

cmake --build "$build" --target sync_root_bench -j 2 >/dev/null
bench="$build/bin/sync_root_bench"
work=$(mktemp -d /tmp/zem-meta-bench.XXXXXX)
holder_pid=""
rclone_pid=""
cleanup() {
  [ -n "$holder_pid" ] && kill "$holder_pid" 2>/dev/null || true
  [ -n "$rclone_pid" ] && kill "$rclone_pid" 2>/dev/null || true
  umount -l "$work/ls" 2>/dev/null || true
  umount -l "$work/cat" 2>/dev/null || true
  umount -l "$work/peer" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local/share"
mkdir -p "$HOME" "$work/ls" "$work/cat" "$work/peer"
for d in ls cat; do setfattr -n user.zem.syncroot -v 'ZemCloudDisk!default!default' "$work/$d"; done
"$bench" "$work/ls" placeholders "$n_ls"
"$bench" "$work/cat" hydrated "$n_cat" 102400

now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc -l; }
min() { if [ -z "$1" ] || [ "$(echo "$2 < $1" | bc -l)" = 1 ]; then echo "$2"; else echo "$1"; fi; }
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
timed() { local t0 t1; t0=$(now); "$@" >/dev/null; t1=$(now); elapsed "$t0" "$t1"; }
list() { ls -l "$1" >/dev/null; }
catall() { (cd "$1" && find . -type f -print0 | xargs -0 cat >/dev/null); }

start_holder() {
  coproc HOLDER { exec "$bench" "$1" hold; }
  holder_pid=$HOLDER_PID
  read -r ready <&"${HOLDER[0]}"
  [ "$ready" = ready ] || { echo "[bench] the sync root did not come up" >&2; exit 1; }
}
stop_holder() {
  eval "exec ${HOLDER[1]}>&-"
  wait "$holder_pid" || true
  holder_pid=""
}

plain_ls1="" plain_ls2="" plain_cat="" zem_ls1="" zem_ls2="" zem_cat="" cpu=""
hz=$(getconf CLK_TCK)
for round in $(seq 1 "$rounds"); do
  plain_ls1=$(min "$plain_ls1" "$(timed list "$work/ls")")
  plain_ls2=$(min "$plain_ls2" "$(timed list "$work/ls")")
  catall "$work/cat"
  plain_cat=$(min "$plain_cat" "$(timed catall "$work/cat")")

  start_holder "$work/ls"
  c0=$(ticks "$holder_pid")
  t=$(timed list "$work/ls")
  c1=$(ticks "$holder_pid")
  zem_ls1=$(min "$zem_ls1" "$t")
  cpu=$(min "$cpu" "$(echo "($c1 - $c0) / $hz" | bc -l)")
  zem_ls2=$(min "$zem_ls2" "$(timed list "$work/ls")")
  [ "$(ls "$work/ls" | wc -l)" = "$n_ls" ] || { echo "[bench] listing incomplete" >&2; exit 1; }
  stop_holder

  start_holder "$work/cat"
  catall "$work/cat"
  zem_cat=$(min "$zem_cat" "$(timed catall "$work/cat")")
  stop_holder
done

ratio() { echo "$1 / $2" | bc -l; }
printf '[bench] ls -l of %d placeholders, first: unmounted %.3fs, mounted %.3fs, ratio %.2f (goal <= 3)\n' \
  "$n_ls" "$plain_ls1" "$zem_ls1" "$(ratio "$zem_ls1" "$plain_ls1")"
printf '[bench] ls -l of %d placeholders, repeated: unmounted %.3fs, mounted %.3fs, ratio %.2f (goal <= 1.5)\n' \
  "$n_ls" "$plain_ls2" "$zem_ls2" "$(ratio "$zem_ls2" "$plain_ls2")"
printf '[bench] agent CPU during the first ls -l: %.2fs\n' "$cpu"
printf '[bench] find | xargs cat of %d hydrated 100 KB files: unmounted %.3fs, mounted %.3fs, ratio %.2f (goal <= 2)\n' \
  "$n_cat" "$plain_cat" "$zem_cat" "$(ratio "$zem_cat" "$plain_cat")"

if command -v rclone >/dev/null; then
  rclone mount --read-only "$work/ls" "$work/peer" >/dev/null 2>&1 &
  rclone_pid=$!
  for _ in $(seq 1 100); do mountpoint -q "$work/peer" && break; sleep 0.1; done
  peer1=$(timed list "$work/peer"); peer2=$(timed list "$work/peer")
  printf '[bench] rclone mount of the same tree: ls -l first ratio %.2f, repeated %.2f\n' \
    "$(ratio "$peer1" "$plain_ls1")" "$(ratio "$peer2" "$plain_ls2")"
else
  echo "[bench] rclone not installed: no peer figure"
fi
