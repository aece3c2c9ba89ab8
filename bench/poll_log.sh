# The readers of the poll-cycle benchmarks that need no mount
# (bench/poll_env.sh sources this; bench/poll_log_test.sh tests it): the
# follower of the agent's log and the waits built on it, the per-cycle table
# of zemd's request log, and the /proc figures of a process.

pe_log_fd="" pe_tail=""

# Opens LOG for pe_read_log, from its beginning, with every count at 0.
pe_open_log() {
  [ -n "$pe_log_fd" ] && exec {pe_log_fd}<&-
  exec {pe_log_fd}<"$1"
  pe_tail=""
  pe_cycles=0 pe_reasserts=0 pe_poll_starts=0 pe_other_lines=0
  pe_c_folders="" pe_c_hashed="" pe_c_uploads="" pe_c_ms="" pe_c_seen=""
}

# Reads the lines the agent logged since the last call. Keeps counts of
# finished cycles (pe_cycles), poll starts (pe_poll_starts), "[REASSERT]"
# lines and lines that are none of the cycle's own (pe_other_lines: work the
# cycle found to do), and the fields of the latest "[SYNC] cycle:" line
# (pe_c_folders, pe_c_hashed, pe_c_uploads, pe_c_ms) with the time it was
# seen (pe_c_seen). Every line read goes to pe_on_line when that is defined.
pe_read_log() {
  local line
  while :; do
    if ! IFS= read -r line <&"$pe_log_fd"; then
      pe_tail+=$line  # a line still being written: completed next time
      return 0
    fi
    line=$pe_tail$line
    pe_tail=""
    case $line in
      "[SYNC] cycle: "*)
        pe_c_seen=$EPOCHREALTIME
        pe_cycles=$((pe_cycles + 1))
        local rest=${line#"[SYNC] cycle: "}
        pe_c_folders=${rest%% folders listed*}
        rest=${rest#*folders listed, }
        pe_c_hashed=${rest%% files hashed*}
        rest=${rest#*files hashed, }
        pe_c_uploads=${rest%% uploads*}
        rest=${rest#*uploads, }
        pe_c_ms=${rest%% ms*}
        ;;
      "[SYNC] poll start"*) pe_poll_starts=$((pe_poll_starts + 1)) ;;
      "[SYNC] poll done"*) ;;
      "[REASSERT] "*) pe_reasserts=$((pe_reasserts + 1)) ;;
      *) pe_other_lines=$((pe_other_lines + 1)) ;;
    esac
    if declare -F pe_on_line >/dev/null; then pe_on_line "$line"; fi
  done
}

# The waits below need pe_agent_pid (the agent) and pe_log (its log file).
pe_agent_alive() {
  kill -0 "$pe_agent_pid" 2>/dev/null && return 0
  echo "[bench] corvane exited; the end of its log:" >&2
  tail -n 30 "$pe_log" >&2
  exit 1
}

# Waits until pe_cycles reaches TARGET (at most SECONDS, default 600).
pe_wait_cycles() {
  local target=$1 until=$(( ${EPOCHREALTIME%.*} + ${2:-600} ))
  while pe_read_log; [ "$pe_cycles" -lt "$target" ]; do
    pe_agent_alive
    [ "${EPOCHREALTIME%.*}" -gt "$until" ] && { echo "[bench] no cycle $target within ${2:-600} s" >&2; exit 1; }
    sleep 0.02
  done
}

# Waits until the agent is idle: the placeholders' in-sync walk has reported
# for its three areas and a whole cycle ran that hashed nothing, uploaded
# nothing and logged nothing besides its own lines.
pe_wait_idle() {
  local until=$(( ${EPOCHREALTIME%.*} + ${1:-1800} )) quiet_from=-1 other_at=-1
  while :; do
    pe_read_log
    pe_agent_alive
    [ "${EPOCHREALTIME%.*}" -gt "$until" ] && { echo "[bench] the agent did not settle" >&2; tail -n 20 "$pe_log" >&2; exit 1; }
    if [ "$pe_other_lines" -ne "$other_at" ]; then
      other_at=$pe_other_lines
      quiet_from=$pe_cycles  # activity: count quiet cycles from here
    fi
    if [ "$pe_reasserts" -ge 3 ] && [ "$pe_cycles" -ge $((quiet_from + 2)) ] &&
       [ "${pe_c_hashed:-1}" = 0 ] && [ "${pe_c_uploads:-1}" = 0 ]; then
      return 0
    fi
    sleep 0.05
  done
}

# The requests of each cycle, from lines "seq<TAB>method<TAB>path below
# /zem/api/cloud-disk/<TAB>parent_id of a folder/list (else -)<TAB>status":
# a cycle starts with the listing of the documents root ("0"); requests
# before the first one are not counted. One output line per cycle:
#   folder/list  distinct-folders  folders-listed-twice-or-more  shared-to-me
#   recycle-file/list  downloads  uploads  other  not-200
pe_cycle_table() {
  awk -F'\t' '
    function flush() {
      if (!open) return
      distinct = 0; dup = 0
      for (p in seen) { distinct++; if (seen[p] > 1) dup++ }
      printf "%d %d %d %d %d %d %d %d %d\n", lists, distinct, dup, shared, recycle, down, up, other, bad
      delete seen; lists = shared = recycle = down = up = other = bad = 0
    }
    $3 == "folder/list" && $4 == "0" { flush(); open = 1 }
    !open { next }
    {
      if ($5 != 200) bad++
      if ($3 == "folder/list") { lists++; seen[$4]++ }
      else if ($3 == "share/shared-to-me") shared++
      else if ($3 == "file/list") recycle++
      else if ($3 ~ /^file\/download/) down++
      else if ($3 ~ /^file\/upload/) up++
      else other++
    }
    END { flush() }' "$1"
}

# utime + stime of a process in clock ticks.
pe_cpu_ticks() {
  local stat
  read -r stat </proc/"$1"/stat
  stat=${stat##*) }  # past the command name
  local -a f
  read -r -a f <<<"$stat"
  # Fields 14 and 15 of the whole line are 12 and 13 after the name.
  echo $((f[11] + f[12]))
}

# A line of /proc/PID/status in kB, e.g. pe_status_kb PID VmHWM
pe_status_kb() {
  local key value unit
  while read -r key value unit; do
    [ "$key" = "$2:" ] && { echo "$value"; return; }
  done </proc/"$1"/status
  echo 0
}

