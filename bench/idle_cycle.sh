#!/usr/bin/env bash
# The idle poll cycle: a tree of 1,000 folders (the documents root and 999
# below it) and 50,000 files on zemd, populated, corvane running, everything
# in sync, nothing hydrated, nothing changing. Two phases once the agent has
# settled:
#
#  A. N idle cycles left alone. From zemd's request log: listings per cycle
#     (goal: exactly one folder/list per folder, each folder once, plus
#     shared-to-me and the recycle-bin file/list), downloads and uploads
#     (goal 0). From the agent's "[SYNC] cycle:" lines: files hashed (goal 0).
#     From the app-data folder: state files written (inode or mtime changed;
#     goal 0). From /proc/<pid>/stat: the agent's CPU time per cycle
#     (utime+stime over the N cycles / N; goal <= 1 s).
#  B. Wall time per cycle beside a baseline run in the gaps between cycles,
#     alternating: ONE keep-alive curl process fetching the same 1,002
#     listings with the client's request bodies, then a `find` stat walk of
#     the same local tree through the mount. Ratio of the medians (goal
#     <= 1.5). A baseline that overlapped a cycle is discarded.
#
# Then the agent's peak RSS (VmHWM; goal < 64 MiB). Prints every figure with
# PASS or MISS; exits 0 either way, non-zero only when the run itself failed.
#
# Usage: bench/idle_cycle.sh [--quick] [BUILD_DIR]   (default build/linux)
#   --quick   100 folders x 10 files, 3 cycles per phase (a minute or so)
# Environment: ZEM_BENCH_DATA=DIR keeps the seeded tree in DIR/poll-tree-*
# (seeding the full tree takes a few minutes; each run works on a copy).
# ZEM_BENCH_INTERVAL_MS must leave room for a baseline between two cycles:
# default 75000 for the full tree (its keep-alive curl alone can take most
# of a minute), 5000 (the agent's own default) with --quick; the interval
# changes nothing in the per-cycle figures. ZEM_BENCH_CYCLES sets N (3).
# Needs /dev/fuse and the right to mount (root in our containers).
set -euo pipefail
quick=""
if [ "${1:-}" = --quick ]; then quick=1; shift; fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/linux}" && pwd)

if [ -n "$quick" ]; then
  TOP=3 SUB=32 FILES=10 CYCLES=${ZEM_BENCH_CYCLES:-3} INTERVAL_MS=${ZEM_BENCH_INTERVAL_MS:-5000}
else
  TOP=9 SUB=110 FILES=50 CYCLES=${ZEM_BENCH_CYCLES:-3} INTERVAL_MS=${ZEM_BENCH_INTERVAL_MS:-75000}
fi
FOLDERS=$((1 + TOP + TOP * SUB))
GOAL_CPU_S=1 GOAL_RATIO=1.5 GOAL_RSS_MIB=64

# shellcheck source=bench/poll_env.sh
source "$root/bench/poll_env.sh"

median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
sum() { printf '%s\n' "$@" | awk '{ s += $1 } END { print s + 0 }'; }

pe_seed_tree "$TOP" "$SUB" "$FILES"
pe_start_zemd
pe_setup_home
pe_populate
# The same walk over the plain file system, before the folder is mounted:
# what the find part of the baseline costs without the mount in the way.
t0=$EPOCHREALTIME
find "$pe_root" -printf '%s\n' >/dev/null
plain_find_ms=$(pe_calc "($EPOCHREALTIME - $t0) * 1000" 0)

echo "[bench] starting corvane (poll interval $INTERVAL_MS ms) and waiting until it is idle"
t0=$(pe_now)
pe_start_agent "$INTERVAL_MS"
pe_wait_idle 1800
echo "[bench] idle after $(pe_calc "$(pe_now) - $t0" 1) s and $pe_cycles cycles (first placement, migration, in-sync walk)"
pid=$pe_agent_pid
files_total=$(find "$pe_docs" -type f | wc -l)
folders_total=$(( $(find "$pe_docs" -type d | wc -l) ))
echo "[bench] local tree: $folders_total folders, $files_total files under 我的文档"
[ "$folders_total" -eq "$FOLDERS" ] && [ "$files_total" -eq $((FOLDERS * FILES)) ] || {
  echo "[bench] the local tree is not the service's: expected $FOLDERS folders, $((FOLDERS * FILES)) files" >&2
  exit 1
}

# ---- phase A: idle cycles left alone -------------------------------------
# Everything is sampled right after a cycle ended, in the gap before the next.
pe_wait_cycles $((pe_cycles + 1)) 600
reqs="$pe_work/requests.tsv"
: >"$reqs"
seq_at=$(pe_last_seq)
# Appends zemd's requests since the last call as: seq, method, path tail,
# parent_id of a folder/list body, status.
fetch_requests() {
  local json
  json=$(pe_admin GET "/admin/requests?since=$seq_at")
  printf '%s' "$json" | jq -r '.requests[] | [.seq, .method,
      (.path | sub("^/zem/api/cloud-disk/"; "")),
      (if (.path | endswith("folder/list")) then ((.body // "{}") | fromjson | .parent_id // "?") else "-" end),
      .status] | @tsv' >>"$reqs"
  local last
  last=$(printf '%s' "$json" | jq '[.requests[].seq] | max // 0')
  [ "$last" -gt 0 ] && seq_at=$last
  return 0
}

start_cycle=$pe_cycles
cpu0=$(pe_cpu_ticks "$pid")
snap0=$(pe_state_snapshot)
starts0=$pe_poll_starts
other0=$pe_other_lines
declare -a a_ms=() a_hashed=() a_uploads=() a_folders=()
for ((k = 1; k <= CYCLES; k++)); do
  pe_wait_cycles $((start_cycle + k)) 600
  [ "$k" -eq "$CYCLES" ] && cpu1=$(pe_cpu_ticks "$pid")
  a_ms+=("$pe_c_ms") a_hashed+=("$pe_c_hashed") a_uploads+=("$pe_c_uploads") a_folders+=("$pe_c_folders")
  fetch_requests
  pe_read_log
  if [ "$pe_poll_starts" -gt $((starts0 + k)) ]; then
    echo "[bench] the request log was read while the next cycle ran; raise ZEM_BENCH_INTERVAL_MS" >&2
    exit 1
  fi
done
snap1=$(pe_state_snapshot)
other_a=$((pe_other_lines - other0))
ticks=$(getconf CLK_TCK)
cpu_per_cycle=$(pe_calc "($cpu1 - $cpu0) / $ticks / $CYCLES" 3)

cycle_table=$(pe_cycle_table "$reqs")
n_seen=$(printf '%s\n' "$cycle_table" | grep -c . || true)

echo
echo "[bench] idle cycle: $FOLDERS folders, $((FOLDERS * FILES)) files, interval $INTERVAL_MS ms"
echo "[bench] phase A, $CYCLES cycles left alone (ms): ${a_ms[*]}; agent lines other than the cycle's own: $other_a"
exp_lists=$FOLDERS
listing_ok=1
while read -r lists distinct dup shared recycle down up other bad; do
  printf '[bench]   requests of one cycle: folder/list %d (%d folders, %d listed twice), shared-to-me %d, recycle file/list %d, downloads %d, uploads %d, other %d, not 200: %d\n' \
    "$lists" "$distinct" "$dup" "$shared" "$recycle" "$down" "$up" "$other" "$bad"
  if [ "$lists" -ne "$exp_lists" ] || [ "$distinct" -ne "$exp_lists" ] || [ "$shared" -ne 1 ] ||
     [ "$recycle" -ne 1 ] || [ "$other" -ne 0 ] || [ "$bad" -ne 0 ]; then listing_ok=0; fi
done <<<"$cycle_table"
[ "$n_seen" -eq "$CYCLES" ] || listing_ok=0
read -r downloads uploads <<<"$(printf '%s\n' "$cycle_table" | awk '{ d += $6; u += $7 } END { print d + 0, u + 0 }')"
hashed=$(sum "${a_hashed[@]}")
agent_uploads=$(sum "${a_uploads[@]}")
state_writes=$(diff <(printf '%s\n' "$snap0") <(printf '%s\n' "$snap1") | grep -c '^>' || true)

printf '[bench] listings per cycle: %d cycles seen, each %s (goal: %d folder/list, each folder once, + shared-to-me + recycle = %d) %s\n' \
  "$n_seen" "$( [ "$listing_ok" = 1 ] && echo exact || echo 'NOT exact (see above)')" "$exp_lists" "$((exp_lists + 2))" \
  "$( [ "$listing_ok" = 1 ] && echo PASS || echo MISS)"
printf '[bench] downloads over %d cycles: %d (goal 0) %s\n' "$CYCLES" "$downloads" "$(pe_verdict "$downloads == 0")"
printf '[bench] uploads over %d cycles: %d on zemd, %d by the agent'"'"'s count (goal 0) %s\n' \
  "$CYCLES" "$uploads" "$agent_uploads" "$(pe_verdict "$uploads == 0 && $agent_uploads == 0")"
printf '[bench] files hashed over %d cycles: %d (goal 0) %s\n' "$CYCLES" "$hashed" "$(pe_verdict "$hashed == 0")"
printf '[bench] state-file writes over %d cycles: %d (goal 0) %s\n' "$CYCLES" "$state_writes" "$(pe_verdict "$state_writes == 0")"
if [ "$state_writes" -gt 0 ]; then
  diff <(printf '%s\n' "$snap0") <(printf '%s\n' "$snap1") | sed 's/^/[bench]   /' || true
fi
printf '[bench] agent CPU per idle cycle: %s s (utime+stime over %d cycles; goal <= %s s) %s\n' \
  "$cpu_per_cycle" "$CYCLES" "$GOAL_CPU_S" "$(pe_verdict "$cpu_per_cycle <= $GOAL_CPU_S")"
echo

# ---- phase B: wall time beside the baseline -------------------------------
pe_admin GET "/admin/tree?user=bench" | jq -r '.folders[].id' >"$pe_work/folder_ids"
echo 0 >>"$pe_work/folder_ids"
n_ids=$(wc -l <"$pe_work/folder_ids")
# One curl process for all the listings, the request bodies as the client
# sends them. Written twice: reusing one connection (keep-alive), and with
# "Connection: close", a new connection per request as the agent makes them.
write_curl_config() {  # write_curl_config EXTRA_HEADER
  local id first=1
  request() {
    [ -z "$first" ] && echo next
    first=""
    printf 'url = "%s/%s"\ndata = "%s"\n' "$pe_api" "$1" "$2"
    printf 'header = "Authorization: %s"\nheader = "Content-Type: application/json"\n' "$pe_token"
    if [ -n "$extra" ]; then printf 'header = "%s"\n' "$extra"; fi
    printf 'output = "/dev/null"\nwrite-out = "%%{http_code} %%{num_connects}\\n"\nnoproxy = "*"\n'
  }
  local extra=$1
  while read -r id; do
    request folder/list "{\\\"parent_id\\\":\\\"$id\\\",\\\"owner_type\\\":1}"
  done <"$pe_work/folder_ids"
  request share/shared-to-me '{}'
  request file/list '{\"owner_type\":1,\"owner_id\":0,\"status\":2,\"page\":1,\"pageSize\":500}'
}
write_curl_config "" >"$pe_work/keepalive.curl"
write_curl_config "Connection: close" >"$pe_work/close.curl"

# Runs one curl config; sets run_ms and run_connects, fails unless every
# listing was answered with 200.
run_curl() {
  local t0=$EPOCHREALTIME
  curl -sS --fail -K "$1" >"$pe_work/curl.out"
  run_ms=$(pe_calc "($EPOCHREALTIME - $t0) * 1000" 0)
  local answered
  answered=$(awk '$1 == 200' "$pe_work/curl.out" | wc -l)
  run_connects=$(awk '{ s += $2 } END { print s + 0 }' "$pe_work/curl.out")
  [ "$answered" -eq $((n_ids + 2)) ] || { echo "[bench] the baseline got $answered of $((n_ids + 2)) answers" >&2; exit 1; }
}

declare -a b_cycle=() b_keep=() b_close=() b_find=() b_total=()
discarded=0
start_cycle=$pe_cycles
for ((k = 1; k <= CYCLES + discarded && k <= 3 * CYCLES; k++)); do
  pe_wait_cycles $((start_cycle + k)) 600
  cycle_ms=$pe_c_ms
  starts_before=$pe_poll_starts
  run_curl "$pe_work/keepalive.curl"
  keep_ms=$run_ms keep_conn=$run_connects
  run_curl "$pe_work/close.curl"
  close_ms=$run_ms close_conn=$run_connects
  t1=$EPOCHREALTIME
  find "$pe_root" -printf '%s\n' >/dev/null
  find_ms=$(pe_calc "($EPOCHREALTIME - $t1) * 1000" 0)
  pe_read_log
  if [ "$pe_poll_starts" -ne "$starts_before" ]; then
    discarded=$((discarded + 1))
    echo "[bench] baseline $k overlapped a cycle; discarded"
    continue
  fi
  fastest=$(( keep_ms < close_ms ? keep_ms : close_ms ))
  b_cycle+=("$cycle_ms") b_keep+=("$keep_ms") b_close+=("$close_ms") b_find+=("$find_ms")
  b_total+=("$((fastest + find_ms))")
  printf '[bench] cycle %s ms | baseline %s ms = curl %s ms + find %s ms (curl keep-alive %s ms on %s connection(s), with Connection: close %s ms on %s)\n' \
    "$cycle_ms" "${b_total[-1]}" "$fastest" "$find_ms" "$keep_ms" "$keep_conn" "$close_ms" "$close_conn"
done
[ "${#b_total[@]}" -gt 0 ] || { echo "[bench] every baseline overlapped a cycle; raise ZEM_BENCH_INTERVAL_MS" >&2; exit 1; }

hwm_kb=$(pe_status_kb "$pid" VmHWM)
rss_kb=$(pe_status_kb "$pid" VmRSS)

# ---- report ----------------------------------------------------------------

echo
echo "[bench] phase B, $CYCLES cycles beside the baseline"
m_cycle=$(median "${b_cycle[@]}")
m_base=$(median "${b_total[@]}")
ratio=$(pe_calc "$m_cycle / $m_base" 2)
printf '[bench] wall time per cycle: agent %s ms | baseline %s ms (the faster curl + find); median of %d, %d discarded\n' \
  "$m_cycle" "$m_base" "${#b_total[@]}" "$discarded"
printf '[bench]   baseline parts (medians): %d listings by one curl process: keep-alive %s ms, one connection each %s ms; find over the tree through the mount %s ms\n' \
  "$((n_ids + 2))" "$(median "${b_keep[@]}")" "$(median "${b_close[@]}")" "$(median "${b_find[@]}")"
printf '[bench]   (the same find before mounting, over the plain file system: %s ms)\n' "$plain_find_ms"
printf '[bench] agent / baseline: %s (goal <= %s) %s\n' "$ratio" "$GOAL_RATIO" "$(pe_verdict "$ratio <= $GOAL_RATIO")"
keep_base=$(( $(median "${b_keep[@]}" | cut -d. -f1) + $(median "${b_find[@]}" | cut -d. -f1) ))
printf '[bench]   (against keep-alive curl + find alone, %s ms: %s)\n' "$keep_base" "$(pe_calc "$m_cycle / $keep_base" 2)"
printf '[bench] agent peak RSS (VmHWM): %s MiB, now %s MiB (goal < %s MiB) %s\n' \
  "$(pe_calc "$hwm_kb / 1024" 1)" "$(pe_calc "$rss_kb / 1024" 1)" "$GOAL_RSS_MIB" \
  "$(pe_verdict "$hwm_kb < $GOAL_RSS_MIB * 1024")"
