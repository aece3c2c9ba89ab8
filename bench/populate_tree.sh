#!/usr/bin/env bash
# Benchmark of populate: a remote tree of 100,000 entries (10 folders of 9
# folders of 1,110 empty files each) seeded into a fresh zemd, then one
# populate run into a registered sync root in a throw-away home.
#
# Prints populate's placeholders per second against the goal of 20,000/s and
# against a baseline measured in the same run: the same number of empty files
# with the same extended attributes made by a plain loop (populate_baseline).
#
# Usage: bench/populate_tree.sh [BUILD_DIR]   (default build/linux; needs
# populate, register, keygate, zemd and populate_baseline built there)
# Seeding takes minutes; with ZEM_BENCH_DATA=DIR the seeded data folder is
# kept in DIR and reused by later runs. TMPDIR picks the disk the sync root
# and the baseline are made on.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/linux}" && pwd)
bin=$build/bin
TOP=10 SUB=9 FILES=1110
GOAL=20000

for p in populate register keygate zemd populate_baseline; do
  [ -x "$bin/$p" ] || { echo "missing $bin/$p (build it first)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/zem-bench-populate.XXXXXX")
zemd_pid=""
cleanup() {
  if [ -n "$zemd_pid" ]; then kill -TERM "$zemd_pid" 2>/dev/null || true; wait "$zemd_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }
sum_field() { grep -oE "$1=[0-9]+" "$2" | cut -d= -f2 | awk '{ s += $1 } END { print s + 0 }'; }

data=${ZEM_BENCH_DATA:-$work/data}
entries=$((TOP + TOP * SUB + TOP * SUB * FILES))
if [ -f "$data/zemd.db" ] && [ -f "$data/bench-token" ]; then
  echo "[bench] reusing the seeded data in $data"
  token=$(cat "$data/bench-token")
elif [ -e "$data/zemd.db" ]; then
  echo "[bench] $data holds a zemd database without bench-token (an interrupted seed?); remove it" >&2
  exit 1
else
  echo "[bench] building the local tree to import ($TOP x $SUB x $FILES files)"
  for t in $(seq 0 $((TOP - 1))); do
    for s in $(seq 0 $((SUB - 1))); do
      d="$work/tree/t$t/s$s"
      mkdir -p "$d"
      (cd "$d" && eval "touch f{0..$((FILES - 1))}.txt")
    done
  done
  token="bench-$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')"
  t0=$(now)
  "$bin/zemd" seed --data "$data" --token "$token" --user bench --import "$work/tree" >/dev/null
  printf '%s\n' "$token" >"$data/bench-token"
  echo "[bench] seeded $entries entries in $(calc "$(now) - $t0") s"
  rm -rf "$work/tree"
fi

"$bin/zemd" --data "$data" --port 0 --port-file "$work/port" >"$work/zemd.log" 2>&1 &
zemd_pid=$!
for _ in $(seq 1 200); do [ -s "$work/port" ] && break; sleep 0.05; done
[ -s "$work/port" ] || { echo "zemd did not start" >&2; cat "$work/zemd.log" >&2; exit 1; }
port=$(cat "$work/port")

export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local/share"
mkdir -p "$XDG_CONFIG_HOME/ZemCloudDisk"
printf '{"host":"127.0.0.1","port":%s}\n' "$port" >"$XDG_CONFIG_HOME/ZemCloudDisk/config.json"
"$bin/keygate" --token "$token" >/dev/null
"$bin/register" >/dev/null

t0=$(now)
"$bin/populate" >"$work/populate.out" 2>"$work/populate.err" || {
  echo "populate failed:" >&2; cat "$work/populate.err" >&2; exit 1; }
t1=$(now)
pop_secs=$(calc "$t1 - $t0")
created=$(sum_field created "$work/populate.out")
skipped=$(sum_field skipped "$work/populate.out")
made=$(find "$HOME/ZEM云盘" -mindepth 1 | wc -l)

base_line=$("$bin/populate_baseline" "$work/baseline" $TOP $SUB $FILES)
base_secs=${base_line#baseline_seconds=}
base_secs=${base_secs%% *}

rate=$(calc "$entries / $pop_secs")
base_rate=$(calc "$entries / $base_secs")
printf '[bench] populate: %d entries (%d placeholders created, %d skipped as existing folders, %d on disk) in %.2f s\n' \
  "$entries" "$created" "$skipped" "$made" "$pop_secs"
printf '[bench] populate rate: %.0f entries/s; goal %d/s; ratio to goal %.2f\n' \
  "$rate" "$GOAL" "$(calc "$rate / $GOAL")"
printf '[bench] baseline (plain loop, same files and xattrs, no service): %.2f s, %.0f entries/s\n' \
  "$base_secs" "$base_rate"
printf '[bench] populate / baseline rate: %.2f\n' "$(calc "$rate / $base_rate")"
[ "$made" -eq "$entries" ] || { echo "[bench] tree incomplete: $made of $entries" >&2; exit 1; }
