#!/usr/bin/env bash
# A 1 GiB hydrated file changed locally: the poll cycle must hash it and
# upload it as the new version, streaming (one 64 KiB buffer), so the
# agent's peak RSS stays under 32 MiB.
#
# zemd holds big.bin (random bytes); populate, corvane idle; big.bin is read
# once through the mount (hydrated), the agent's peak-RSS mark is reset
# (/proc/<pid>/clear_refs, 5), then 1 MiB in the middle of the file is
# overwritten through the mount. Measured: the cycle that hashes and uploads
# it, the agent's VmHWM over that cycle (goal < 32 MiB), and that zemd then
# holds exactly the local bytes. Beside it, for scale, the same work done by
# `sha256sum` plus one curl upload of the file, measured in the same run.
# Prints PASS or MISS; exits 0 either way unless the run itself failed.
#
# Usage: bench/hash_rss.sh [--quick] [BUILD_DIR]   (default build/linux)
#   --quick   a 64 MiB file
# The file, the service's copies and the sync root live under TMPDIR (or
# /tmp): about 4x the file size of free space. ZEM_BENCH_INTERVAL_MS
# (default 5000) sets the poll interval.
# Needs /dev/fuse and the right to mount (root in our containers).
set -euo pipefail
quick=""
if [ "${1:-}" = --quick ]; then quick=1; shift; fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/linux}" && pwd)
SIZE_MIB=1024
[ -n "$quick" ] && SIZE_MIB=64
INTERVAL_MS=${ZEM_BENCH_INTERVAL_MS:-5000}
GOAL_RSS_MIB=32

# shellcheck source=bench/poll_env.sh
source "$root/bench/poll_env.sh"
command -v sha256sum >/dev/null || { echo "missing sha256sum" >&2; exit 1; }

free_mib=$(df -Pm "$pe_work" | awk 'NR == 2 { print $4 }')
[ "$free_mib" -gt $((SIZE_MIB * 4 + 512)) ] || {
  echo "[bench] $free_mib MiB free under $pe_work; need about $((SIZE_MIB * 4 + 512))" >&2; exit 1; }

pe_fresh_service
pe_start_zemd
echo "[bench] putting a $SIZE_MIB MiB file of random bytes on zemd"
head -c $((SIZE_MIB * 1024 * 1024)) /dev/urandom >"$pe_work/big.src"
curl -sS --fail --noproxy '*' -H "X-Admin-Key: $pe_admin_key" -H "Expect:" -X POST \
  -T "$pe_work/big.src" "$pe_base/admin/files/raw?user=bench&folder_id=0&name=big.bin" >/dev/null
pe_setup_home
pe_populate
echo "[bench] starting corvane (poll interval $INTERVAL_MS ms) and waiting until it is idle"
pe_start_agent "$INTERVAL_MS"
pe_wait_idle 600
pid=$pe_agent_pid
big="$pe_docs/big.bin"
[ -f "$big" ] || { echo "[bench] $big is missing" >&2; exit 1; }

t0=$EPOCHREALTIME
dd if="$big" of=/dev/null bs=1M status=none
hydrate_s=$(pe_calc "$EPOCHREALTIME - $t0" 2)
cmp -s "$big" "$pe_work/big.src" || { echo "[bench] the hydrated bytes differ from the service's" >&2; exit 1; }
hwm_hydrate=$(pe_status_kb "$pid" VmHWM)
echo "[bench] hydrated in $hydrate_s s; agent VmHWM so far $(pe_calc "$hwm_hydrate / 1024" 1) MiB"

# Settle into the rhythm, then reset the peak mark right after a cycle.
pe_wait_cycles $((pe_cycles + 1)) 600
echo 5 >/proc/"$pid"/clear_refs
hwm_reset=$(pe_status_kb "$pid" VmHWM)
cycles0=$pe_cycles
modify_ok="" modify_cycle=-1 upload_cycle_ms=""
# The "[MODIFY-OK]" line comes before the line of the cycle that uploaded.
pe_on_line() {
  case $1 in
    "[MODIFY-OK] big.bin"*) modify_ok=$1 modify_cycle=$((pe_cycles + 1)) ;;
    "[SYNC] cycle: "*)
      if [ "$pe_cycles" -eq "$modify_cycle" ]; then
        upload_cycle_ms=$pe_c_ms hashed=$pe_c_hashed uploads=$pe_c_uploads
      fi ;;
  esac
}

t_mod=$EPOCHREALTIME
dd if=/dev/urandom of="$big" bs=1M count=1 seek=$((SIZE_MIB / 2)) conv=notrunc status=none
echo "[bench] overwrote 1 MiB at offset $((SIZE_MIB / 2)) MiB through the mount; waiting for the upload"
max_rss=0
until [ -n "$modify_ok" ]; do
  pe_read_log
  pe_agent_alive
  rss=$(pe_status_kb "$pid" VmRSS)
  [ "$rss" -gt "$max_rss" ] && max_rss=$rss
  if [ "$(pe_calc "$EPOCHREALTIME - $t_mod" 0)" -gt 900 ]; then
    echo "[bench] no [MODIFY-OK] within 900 s; the end of the log:" >&2; tail -n 20 "$pe_log" >&2; exit 1
  fi
  sleep 0.05
done
latency_s=$(pe_calc "$EPOCHREALTIME - $t_mod" 2)
pe_wait_cycles "$modify_cycle" 900  # the cycle that uploaded it ends
hwm=$(pe_status_kb "$pid" VmHWM)

# What zemd holds now must be the local bytes.
t0=$EPOCHREALTIME
local_sha=$(sha256sum "$big" | cut -d' ' -f1)
sha_s=$(pe_calc "$EPOCHREALTIME - $t0" 2)
service_sha=$(pe_admin GET "/admin/tree?user=bench" |
  jq -r '[.files[] | select(.folder_id == "0" and .name == "big.bin" and .status == 1)] | last | .sha256 // ""')
[ "$local_sha" = "$service_sha" ] || {
  echo "[bench] zemd's big.bin ($service_sha) is not the local file ($local_sha)" >&2; exit 1; }

# The same work by plain tools: hash the file, upload it once.
t0=$EPOCHREALTIME
curl -sS --fail --noproxy '*' -H "Authorization: $pe_token" -H "Content-Type: application/octet-stream" \
  -H "Expect:" -X POST -T "$big" "$pe_api/file/upload-simple?folder_id=0&owner_type=1&name=baseline.bin" >/dev/null
curl_s=$(pe_calc "$EPOCHREALTIME - $t0" 2)
base_s=$(pe_calc "$sha_s + $curl_s" 2)

echo
echo "[bench] hash and upload of a modified $SIZE_MIB MiB hydrated file"
printf '[bench] the uploading cycle: %d file(s) hashed, %d upload(s), %s ms; from the write to "[MODIFY-OK]" %s s (%d cycle(s))\n' \
  "$hashed" "$uploads" "$upload_cycle_ms" "$latency_s" "$((pe_cycles - cycles0))"
printf '[bench] zemd holds the local bytes: sha256 %s...\n' "${local_sha:0:16}"
printf '[bench] baseline: sha256sum %s s + curl upload %s s = %s s; cycle / baseline %s\n' \
  "$sha_s" "$curl_s" "$base_s" "$(pe_calc "$upload_cycle_ms / 1000 / $base_s" 2)"
printf '[bench] agent peak RSS while hashing and uploading (VmHWM after a reset at %s MiB): %s MiB; highest VmRSS sampled %s MiB (goal < %d MiB) %s\n' \
  "$(pe_calc "$hwm_reset / 1024" 1)" "$(pe_calc "$hwm / 1024" 1)" "$(pe_calc "$max_rss / 1024" 1)" \
  "$GOAL_RSS_MIB" "$(pe_verdict "$hwm < $GOAL_RSS_MIB * 1024")"
printf '[bench] (agent peak RSS during hydration, before the reset: %s MiB)\n' "$(pe_calc "$hwm_hydrate / 1024" 1)"
