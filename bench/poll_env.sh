# Shared set-up of the poll-cycle benchmarks (idle_cycle.sh,
# change_latency.sh, hash_rss.sh); sourced, not run.
#
# What it provides: a work folder removed at exit; a zemd with an admin key on
# a free port, over either a fresh data folder or a copy of a seeded tree
# (seeded once and kept under ZEM_BENCH_DATA); a throw-away home with the
# configuration, the token and the registered folder; populate; corvane in
# the background with a chosen poll interval; and a reader of the agent's
# log that follows it without re-reading it (bash `read` on an open file
# descriptor), so waiting for cycles costs the machine next to nothing.
#
# The caller sets `build` (the Linux build folder) before sourcing.

set -euo pipefail

# shellcheck source=bench/poll_log.sh
source "$(dirname "${BASH_SOURCE[0]}")/poll_log.sh"

pe_bin=$build/bin
for p in corvane populate register keygate zemd; do
  [ -x "$pe_bin/$p" ] || { echo "missing $pe_bin/$p (build it first)" >&2; exit 1; }
done
for p in curl jq find setfattr; do
  command -v "$p" >/dev/null || { echo "missing the program $p" >&2; exit 1; }
done

pe_work=$(mktemp -d "${TMPDIR:-/tmp}/zem-bench-poll.XXXXXX")
pe_zemd_pid="" pe_agent_pid=""
pe_admin_key="key-$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')"
pe_root="$pe_work/home/ZEM云盘"
pe_docs="$pe_root/我的文档"

pe_is_mounted() { grep -qF " $1 fuse" /proc/mounts 2>/dev/null; }

pe_stop_agent() {
  if [ -n "$pe_agent_pid" ]; then
    kill -TERM "$pe_agent_pid" 2>/dev/null || true
    local i
    for i in $(seq 1 200); do kill -0 "$pe_agent_pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$pe_agent_pid" 2>/dev/null; then
      echo "[bench] corvane did not stop within 20 s; killing it" >&2
      kill -KILL "$pe_agent_pid" 2>/dev/null || true
    fi
    wait "$pe_agent_pid" 2>/dev/null || true
    pe_agent_pid=""
  fi
  # A mount left by an agent that died would keep the folder busy.
  if pe_is_mounted "$pe_root"; then
    fusermount3 -u -z "$pe_root" 2>/dev/null || umount -l "$pe_root" 2>/dev/null || true
  fi
}

pe_cleanup() {
  local rc=$?
  pe_stop_agent
  if [ -n "$pe_zemd_pid" ]; then
    kill -TERM "$pe_zemd_pid" 2>/dev/null || true
    wait "$pe_zemd_pid" 2>/dev/null || true
  fi
  if pe_is_mounted "$pe_root"; then
    echo "[bench] $pe_root is still mounted; leaving $pe_work in place" >&2
  elif [ -n "${ZEM_BENCH_KEEP_WORK:-}" ]; then
    echo "[bench] work folder kept: $pe_work" >&2
  else
    rm -rf "$pe_work"
  fi
  exit "$rc"
}
trap pe_cleanup EXIT
trap 'exit 130' INT TERM

pe_now() { echo "$EPOCHREALTIME"; }
pe_calc() { awk "BEGIN { printf \"%.${2:-3}f\", $1 }"; }

# Seeds (once) a tree of 1 + TOP + TOP*SUB folders holding FILES files each
# (the documents root counts as one of them) and copies it to the work
# folder, so every run starts from the same service state whatever the last
# run changed. Sets pe_data and pe_token. Without ZEM_BENCH_DATA the seed
# lives in the work folder and is removed at exit.
pe_seed_tree() {
  local top=$1 sub=$2 files=$3
  local shape="poll-tree-${top}x${sub}x${files}"
  local keep=${ZEM_BENCH_DATA:-$pe_work/seed}/$shape
  if [ -f "$keep/zemd.db" ] && [ -f "$keep/bench-token" ]; then
    echo "[bench] reusing the seeded tree in $keep"
  elif [ -e "$keep/zemd.db" ]; then
    echo "[bench] $keep holds a zemd database without bench-token (an interrupted seed?); remove it" >&2
    exit 1
  else
    echo "[bench] seeding $((1 + top + top * sub)) folders x $files files into $keep (once)"
    local tree="$pe_work/tree" t s i d t0
    t0=$(pe_now)
    mkdir -p "$tree"
    pe_fill_folder "$tree" root "$files"
    for t in $(seq 0 $((top - 1))); do
      pe_fill_folder "$tree/t$t" "t$t" "$files"
      for s in $(seq 0 $((sub - 1))); do pe_fill_folder "$tree/t$t/s$s" "t$t-s$s" "$files"; done
    done
    local token="bench-$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')"
    mkdir -p "$keep"
    "$pe_bin/zemd" seed --data "$keep" --token "$token" --user bench --import "$tree" >/dev/null
    printf '%s\n' "$token" >"$keep/bench-token"
    rm -rf "$tree"
    echo "[bench] seeded in $(pe_calc "$(pe_now) - $t0" 1) s"
  fi
  pe_data="$pe_work/data"
  cp -a "$keep" "$pe_data"
  pe_token=$(cat "$pe_data/bench-token")
}

# FILES small files of distinct content (a few dozen bytes each).
pe_fill_folder() {
  local dir=$1 tag=$2 n=$3 i
  mkdir -p "$dir"
  for ((i = 0; i < n; i++)); do
    printf 'bench file %s/%d: the poll cycle must never read me\n' "$tag" "$i" >"$dir/f$i.txt"
  done
}

# A fresh, empty service (user "bench"); sets pe_data and pe_token.
pe_fresh_service() {
  pe_data="$pe_work/data"
  pe_token="bench-$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')"
  "$pe_bin/zemd" seed --data "$pe_data" --token "$pe_token" --user bench >/dev/null
}

pe_start_zemd() {
  "$pe_bin/zemd" --data "$pe_data" --port 0 --port-file "$pe_work/port" \
    --admin-key "$pe_admin_key" >"$pe_work/zemd.log" 2>&1 </dev/null &
  pe_zemd_pid=$!
  local i
  for i in $(seq 1 400); do [ -s "$pe_work/port" ] && break; sleep 0.05; done
  [ -s "$pe_work/port" ] || { echo "zemd did not start" >&2; cat "$pe_work/zemd.log" >&2; exit 1; }
  pe_port=$(cat "$pe_work/port")
  pe_base="http://127.0.0.1:$pe_port"
  pe_api="$pe_base/zem/api/cloud-disk"
}

# One admin call: pe_admin METHOD PATH [JSON]
pe_admin() {
  if [ $# -ge 3 ]; then
    curl -sS --fail --noproxy '*' -H "X-Admin-Key: $pe_admin_key" -X "$1" \
      -H 'Content-Type: application/json' --data-binary "$3" "$pe_base$2"
  else
    curl -sS --fail --noproxy '*' -H "X-Admin-Key: $pe_admin_key" -X "$1" "$pe_base$2"
  fi
}

# One client call with the user's token: pe_api_post PATH JSON
pe_api_post() {
  curl -sS --fail --noproxy '*' -H "Authorization: $pe_token" \
    -H 'Content-Type: application/json' --data-binary "$2" "$pe_api/$1"
}

# The last request sequence number zemd logged (0 when none).
pe_last_seq() {
  pe_admin GET "/admin/requests?since=${1:-0}" | jq '[.requests[].seq] | max // 0'
}

pe_setup_home() {
  export HOME="$pe_work/home" XDG_CONFIG_HOME="$pe_work/home/.config"
  export XDG_DATA_HOME="$pe_work/home/.local/share"
  unset INVOCATION_ID
  pe_app="$XDG_CONFIG_HOME/ZemCloudDisk"
  pe_log="$pe_app/logs/provider.log"
  mkdir -p "$pe_app"
  printf '{"host":"127.0.0.1","port":%s}\n' "$pe_port" >"$pe_app/config.json"
  "$pe_bin/keygate" --token "$pe_token" >/dev/null
  "$pe_bin/register" >/dev/null
}

pe_populate() {
  local t0
  t0=$(pe_now)
  "$pe_bin/populate" >"$pe_work/populate.out" 2>"$pe_work/populate.err" || {
    echo "populate failed:" >&2; cat "$pe_work/populate.err" >&2; exit 1; }
  echo "[bench] populate: $(pe_calc "$(pe_now) - $t0" 2) s"
}

# Starts corvane with the poll interval INTERVAL_MS and opens its log for
# reading. A log of an earlier agent in this home is moved aside first, so
# the reader sees this agent's lines only.
pe_start_agent() {
  local interval=$1
  [ -f "$pe_log" ] && mv "$pe_log" "$pe_log.before-$EPOCHSECONDS"
  ZEM_POLL_INTERVAL_MS=$interval "$pe_bin/corvane" >"$pe_work/corvane.out" 2>&1 </dev/null &
  pe_agent_pid=$!
  local i
  for i in $(seq 1 200); do [ -f "$pe_log" ] && break; sleep 0.05; done
  [ -f "$pe_log" ] || { echo "corvane wrote no log" >&2; cat "$pe_work/corvane.out" >&2; exit 1; }
  [ -n "$pe_log_fd" ] && exec {pe_log_fd}<&-
  pe_open_log "$pe_log"
}

# name inode mtime of every file the agent keeps in its app-data folder
# (the log excepted): two snapshots differ when a file was written.
pe_state_snapshot() {
  find "$pe_app" -path "$pe_app/logs" -prune -o -type f -printf '%P %i %T@ %s\n' | sort
}

pe_verdict() {  # pe_verdict CONDITION_AS_AWK_EXPR
  if awk "BEGIN { exit !($1) }"; then echo PASS; else echo MISS; fi
}
