#!/usr/bin/env bash
# How long a change takes to cross over, with corvane polling the same tree
# as bench/idle_cycle.sh (1,000 folders, 50,000 files, populated, in sync):
#
#   web add      a file created on zemd shows in the folder
#   web rename   a file renamed on zemd shows under its new name (old name gone)
#   web recycle  a file recycled on zemd leaves the folder
#   local write  a file written into the folder is listed by zemd
#
# The changes are made in the folder listed last in a cycle (t<last>/s<last>)
# at random moments of the poll rhythm, ROUNDS times each. Each latency is
# printed beside the bound "one interval plus one cycle", the cycle time
# being the median of the cycles that ran meanwhile; PASS when the slowest
# of a kind is within the bound. Exits 0 either way unless the run
# itself failed.
#
# Usage: bench/change_latency.sh [--quick] [BUILD_DIR]   (default build/linux)
#   --quick   100 folders x 10 files (the full tree: 2 rounds, about 25 min)
# Environment: ZEM_BENCH_DATA (the seeded tree, shared with idle_cycle.sh),
# ZEM_BENCH_INTERVAL_MS (default 5000, the agent's default), ZEM_BENCH_ROUNDS.
# Needs /dev/fuse and the right to mount (root in our containers).
set -euo pipefail
quick=""
if [ "${1:-}" = --quick ]; then quick=1; shift; fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/linux}" && pwd)

if [ -n "$quick" ]; then
  TOP=3 SUB=32 FILES=10 ROUNDS=${ZEM_BENCH_ROUNDS:-2}
else
  TOP=9 SUB=110 FILES=50 ROUNDS=${ZEM_BENCH_ROUNDS:-2}
fi
INTERVAL_MS=${ZEM_BENCH_INTERVAL_MS:-5000}
LIMIT_S=600  # a change not seen within this long counts as lost

# shellcheck source=bench/poll_env.sh
source "$root/bench/poll_env.sh"

pe_seed_tree "$TOP" "$SUB" "$FILES"
pe_start_zemd
pe_setup_home
pe_populate
echo "[bench] starting corvane (poll interval $INTERVAL_MS ms) and waiting until it is idle"
pe_start_agent "$INTERVAL_MS"
pe_wait_idle 1800

# Every cycle's time is kept; the bound uses the median of the cycles that
# ran while the changes were made. Until then the last idle cycle stands in
# (it spreads the changes over the rhythm).
declare -a run_ms=()
pe_on_line() { case $1 in "[SYNC] cycle: "*) run_ms+=("$pe_c_ms") ;; esac; }
cycle_ms=$pe_c_ms
bound_ms=$((INTERVAL_MS + cycle_ms))
echo "[bench] idle; the last cycle took $cycle_ms ms"

tree=$(pe_admin GET "/admin/tree?user=bench")
top_id=$(printf '%s' "$tree" | jq -r --arg n "t$((TOP - 1))" '.folders[] | select(.parent_id == "0" and .name == $n) | .id')
folder_id=$(printf '%s' "$tree" | jq -r --arg p "$top_id" --arg n "s$((SUB - 1))" '.folders[] | select(.parent_id == $p and .name == $n) | .id')
[ -n "$folder_id" ] || { echo "[bench] the target folder is not on zemd" >&2; exit 1; }
local_dir="$pe_docs/t$((TOP - 1))/s$((SUB - 1))"
[ -d "$local_dir" ] || { echo "[bench] $local_dir is missing" >&2; exit 1; }
echo "[bench] changes in 我的文档/t$((TOP - 1))/s$((SUB - 1)) (folder id $folder_id)"

# Waits until CONDITION (a shell command) holds; sets lat to the
# milliseconds since T0 (an $EPOCHREALTIME), or to "lost" after LIMIT_S,
# and cycles_between to the number of cycles that ended meanwhile.
latency_until() {
  local t0=$1; shift
  local until=$(( ${t0%.*} + LIMIT_S ))
  pe_read_log
  local c0=$pe_cycles
  while ! "$@"; do
    pe_read_log
    pe_agent_alive
    if [ "${EPOCHREALTIME%.*}" -gt "$until" ]; then lat=lost; return; fi
    sleep 0.02
  done
  lat=$(pe_calc "($EPOCHREALTIME - $t0) * 1000" 0)
  pe_read_log
  cycles_between=$((pe_cycles - c0))
}
exists() { [ -e "$1" ]; }
missing() { [ ! -e "$1" ]; }
renamed() { [ -e "$1" ] && [ ! -e "$2" ]; }
on_service() {
  pe_api_post folder/list "{\"parent_id\":\"$folder_id\",\"owner_type\":1}" |
    jq -e --arg n "$1" 'any(.files[]; .name == $n)' >/dev/null
}

# A random moment of the rhythm: up to one interval plus one cycle.
random_pause() { sleep "$(pe_calc "($RANDOM % 1000) / 1000 * $bound_ms / 1000" 3)"; }

declare -A lat_of=()
record() {  # record KIND MS
  printf '[bench]   %-12s %6s ms (%d cycle(s) ended meanwhile)\n' "$1" "$2" "$cycles_between"
  lat_of[$1]+=" $2"
}

for r in $(seq 1 "$ROUNDS"); do
  echo "[bench] round $r"
  random_pause
  name="lat-add-$r.txt"
  t0=$EPOCHREALTIME
  id=$(pe_admin POST /admin/files "{\"user\":\"bench\",\"folder_id\":\"$folder_id\",\"name\":\"$name\",\"content\":\"added on the web in round $r\"}" | jq -r .id)
  latency_until "$t0" exists "$local_dir/$name"
  record "web add" "$lat"

  random_pause
  new="lat-renamed-$r.txt"
  t0=$EPOCHREALTIME
  pe_admin POST /admin/rename "{\"id\":\"$id\",\"name\":\"$new\"}" >/dev/null
  latency_until "$t0" renamed "$local_dir/$new" "$local_dir/$name"
  record "web rename" "$lat"

  random_pause
  t0=$EPOCHREALTIME
  pe_admin POST /admin/recycle "{\"id\":\"$id\"}" >/dev/null
  latency_until "$t0" missing "$local_dir/$new"
  record "web recycle" "$lat"

  random_pause
  name="lat-local-$r.txt"
  t0=$EPOCHREALTIME
  printf 'written locally in round %d\n' "$r" >"$local_dir/$name"
  latency_until "$t0" on_service "$name"
  record "local write" "$lat"
done

pe_read_log
cycle_ms=$(printf '%s\n' "${run_ms[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
bound_ms=$((INTERVAL_MS + cycle_ms))
echo
echo "[bench] change latency: $((1 + TOP + TOP * SUB)) folders, $((FILES * (1 + TOP + TOP * SUB))) files, $ROUNDS rounds"
echo "[bench] cycles during the run (ms): ${run_ms[*]}; median $cycle_ms"
for kind in "web add" "web rename" "web recycle" "local write"; do
  read -r -a all <<<"${lat_of[$kind]}"
  if [[ " ${all[*]} " == *" lost "* ]]; then
    printf '[bench] %-12s %s: one was not seen within %d s MISS\n' "$kind" "${all[*]}" "$LIMIT_S"
    continue
  fi
  worst=$(printf '%s\n' "${all[@]}" | sort -n | tail -1)
  printf '[bench] %-12s worst %6d ms of %s | bound: interval %d + cycle %d = %d ms %s\n' \
    "$kind" "$worst" "${all[*]}" "$INTERVAL_MS" "$cycle_ms" "$bound_ms" "$(pe_verdict "$worst <= $bound_ms")"
done
