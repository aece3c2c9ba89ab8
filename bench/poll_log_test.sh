#!/usr/bin/env bash
# Checks the readers the poll-cycle benchmarks rely on (bench/poll_log.sh):
# following a log that grows while it is read, lines split across writes
# included; the per-cycle table of zemd's request log; the /proc figures of a
# process whose name holds ") ". Fast and mount-free: CTest runs it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/poll_log.sh
source "$here/poll_log.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/zem-poll-log-test.XXXXXX")
busy_pid=""
cleanup() {
  if [ -n "$busy_pid" ]; then kill -KILL "$busy_pid" 2>/dev/null || true; wait "$busy_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
expect() {  # expect WHAT ACTUAL EXPECTED
  if [ "$2" != "$3" ]; then
    echo "FAIL: $1: got '$2', expected '$3'"
    failures=$((failures + 1))
  fi
}

# ---- following the agent's log ----------------------------------------------
log="$work/provider.log"
: >"$log"
pe_open_log "$log"
seen=()
pe_on_line() { seen+=("$1"); }

printf '%s\n' "[SYNC] initial poll on 我的文档/ + 共享给我/ + ZEM 回收站/" \
  "[SYNC] cycle: 12 folders listed, 3 files hashed, 1 uploads, 456 ms" >>"$log"
pe_read_log
expect "cycles after the first" "$pe_cycles" 1
expect "fields of the first cycle" "$pe_c_folders/$pe_c_hashed/$pe_c_uploads/$pe_c_ms" "12/3/1/456"
expect "other lines after the first" "$pe_other_lines" 1

# A cycle line cut in two by the writer: nothing counted until it is whole.
printf '[SYNC] cycle: 7 folders li' >>"$log"
pe_read_log
expect "cycles with half a line" "$pe_cycles" 1
expect "fields with half a line" "$pe_c_ms" 456
printf '%s\n' "sted, 0 files hashed, 0 uploads, 89 ms" "[SYNC] poll start" \
  "[REASSERT] 5 placeholders marked IN_SYNC (0 failed)" "[UPLOAD] 报告.txt (size=3) to folder=0" \
  "[SYNC] poll done" >>"$log"
pe_read_log
expect "cycles once the line is whole" "$pe_cycles" 2
expect "fields of the joined line" "$pe_c_folders/$pe_c_hashed/$pe_c_uploads/$pe_c_ms" "7/0/0/89"
expect "poll starts" "$pe_poll_starts" 1
expect "in-sync walk reports" "$pe_reasserts" 1
expect "other lines" "$pe_other_lines" 2
pe_read_log  # nothing new: nothing changes
expect "cycles after an empty read" "$pe_cycles" 2
expect "lines handed to pe_on_line" "${#seen[@]}" 7
expect "the joined line handed over whole" "${seen[2]}" \
  "[SYNC] cycle: 7 folders listed, 0 files hashed, 0 uploads, 89 ms"
expect "a UTF-8 line handed over whole" "${seen[5]}" "[UPLOAD] 报告.txt (size=3) to folder=0"
unset -f pe_on_line

# Reopening starts again from the beginning with every count at 0.
pe_open_log "$log"
expect "cycles right after reopening" "$pe_cycles" 0
pe_read_log
expect "cycles after re-reading" "$pe_cycles" 2

# ---- waiting for an idle agent ------------------------------------------------
# A writer plays the agent's log line by line; a sleeping process stands in
# for the agent. Idle means: the in-sync walk reported three times, and a
# whole cycle ran that logged nothing of its own and hashed and uploaded
# nothing.
pe_log="$work/agent.log"
: >"$pe_log"
sleep 120 &
pe_agent_pid=$!
pe_open_log "$pe_log"
cyc() { echo "[SYNC] cycle: 4 folders listed, $1 files hashed, $2 uploads, 10 ms"; }
(
  w() { printf '%s\n' "$@" >>"$pe_log"; sleep 0.2; }
  w "[OK] sync provider running."
  w "$(cyc 5 0)"                                     # cycle 1: hashed
  w "[SVR-DEL] -x.txt in 我的文档"                    # work during cycle 2
  w "$(cyc 0 0)"                                     # cycle 2: not quiet
  w "[REASSERT] 9 placeholders marked IN_SYNC (0 failed)" \
    "[REASSERT] 0 placeholders marked IN_SYNC (0 failed)" \
    "[REASSERT] 0 placeholders marked IN_SYNC (0 failed)"
  w "[SYNC] poll start" "[SYNC] +1 in 我的文档" "[SYNC] poll done"  # work during cycle 3
  w "$(cyc 0 0)"                                     # cycle 3: not quiet
  w "[SYNC] poll start" "[SYNC] poll done"
  w "$(cyc 2 0)"                                     # cycle 4: quiet, but hashed
  w "[SYNC] poll start" "[SYNC] poll done"
  w "$(cyc 0 0)"                                     # cycle 5: idle
  sleep 1.5
  w "$(cyc 0 0)"                                     # cycle 6: too late to matter
) &
writer=$!
pe_wait_idle 30
expect "cycles when idle was seen" "$pe_cycles" 5
wait "$writer"
expect "the wait for cycle 6" "$( (pe_wait_cycles 6 5 && echo "$pe_cycles") 2>&1)" 6
if (pe_wait_cycles 7 1) 2>/dev/null; then
  echo "FAIL: a wait for a cycle that never comes returned"
  failures=$((failures + 1))
fi
kill "$pe_agent_pid"
wait "$pe_agent_pid" 2>/dev/null || true
t0=${EPOCHREALTIME%.*}
if (pe_wait_idle 30) 2>/dev/null || [ $(( ${EPOCHREALTIME%.*} - t0 )) -gt 5 ]; then
  echo "FAIL: the wait for idle did not fail at once with the agent gone"
  failures=$((failures + 1))
fi

# ---- zemd's requests split into cycles ---------------------------------------
t=$'\t'
{
  echo "1${t}POST${t}file/upload-simple${t}-${t}200"        # before any cycle: not counted
  echo "2${t}POST${t}folder/list${t}0${t}200"
  echo "3${t}POST${t}folder/list${t}11${t}200"
  echo "4${t}POST${t}folder/list${t}12${t}200"
  echo "5${t}POST${t}share/shared-to-me${t}-${t}200"
  echo "6${t}POST${t}file/list${t}-${t}200"
  echo "7${t}POST${t}folder/list${t}0${t}200"
  echo "8${t}POST${t}folder/list${t}11${t}200"
  echo "9${t}POST${t}folder/list${t}11${t}200"
  echo "10${t}GET${t}file/download${t}-${t}404"
  echo "11${t}POST${t}file/upload-simple${t}-${t}200"
  echo "12${t}POST${t}file/rename${t}-${t}200"
  echo "13${t}POST${t}share/shared-to-me${t}-${t}200"
  echo "14${t}POST${t}file/list${t}-${t}200"
} >"$work/requests.tsv"
table=$(pe_cycle_table "$work/requests.tsv")
expect "per-cycle request table" "$table" "3 3 0 1 1 0 0 0 0
3 2 1 1 1 1 1 1 1"
: >"$work/none.tsv"
expect "no cycle in an empty request log" "$(pe_cycle_table "$work/none.tsv")" ""

# ---- /proc figures ---------------------------------------------------------------
# A program whose name holds ") " burns CPU for a moment, then is stopped so
# its figures hold still while they are compared.
cp "$(command -v yes)" "$work/x) y"
"$work/x) y" >/dev/null &
busy_pid=$!
# Until the scheduler has counted 1 s on the CPU (at most 10 s).
for _ in $(seq 1 100); do
  read -r ran_ns _ </proc/"$busy_pid"/schedstat
  [ "$ran_ns" -ge 1000000000 ] && break
  sleep 0.1
done
kill -STOP "$busy_pid"
sleep 0.05
read -r ran_ns _ </proc/"$busy_pid"/schedstat
ticks=$(pe_cpu_ticks "$busy_pid")
tck=$(getconf CLK_TCK)
# Tick accounting and the scheduler's clock agree within a few ticks.
if ! awk -v t="$ticks" -v hz="$tck" -v ns="$ran_ns" \
    'BEGIN { d = t / hz - ns / 1e9; if (d < 0) d = -d; exit !(ns >= 1e9 && d <= 0.05 + 0.08 * ns / 1e9) }'; then
  echo "FAIL: CPU ticks of a busy process: $ticks at $tck/s, the scheduler counted $ran_ns ns"
  failures=$((failures + 1))
fi
while read -r key value _; do
  case $key in VmHWM:) hwm=$value ;; VmRSS:) rss=$value ;; esac
done </proc/"$busy_pid"/status
expect "VmHWM of a process" "$(pe_status_kb "$busy_pid" VmHWM)" "$hwm"
expect "VmRSS of a process" "$(pe_status_kb "$busy_pid" VmRSS)" "$rss"
expect "a key the status lacks" "$(pe_status_kb "$busy_pid" NoSuchKey)" 0

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "poll_log: all checks passed"
