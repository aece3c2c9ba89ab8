#!/usr/bin/env bash
# Builds the scanner fuzz target (clang, libFuzzer + AddressSanitizer) and runs
# it for a bounded time on the seed corpus.
#   fuzz/run-scanners.sh [SECONDS]   (default 60)
# Work files go to build/fuzz-scanners; new inputs found are kept there, the
# seeds in fuzz/corpus are not changed. Exits non-zero on a crash.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
out="$root/build/fuzz-scanners"
mkdir -p "$out/corpus"
cxx=${CXX_FUZZ:-clang++}
command -v "$cxx" >/dev/null || { echo "[fuzz] $cxx not found (install clang)" >&2; exit 1; }

# Only the pure scanner sources are needed; the text conversions come from
# the platform folder's portable part.
srcs=(
  "$root/fuzz/scanners_fuzz.cc"
  "$root/client/json_scan.cc"
  "$root/client/listing_scan.cc"
  "$root/client/service_id.cc"
  "$root/common/output.cc"
  "$root/platform/text.cc"
  "$root/platform/linux/console_linux.cc"
  "$root/platform/status.cc"
  "$root/platform/os_error.cc"
  "$root/platform/linux/os_error_linux.cc"
)
bin="$out/scanners_fuzz"
if [ ! -x "$bin" ] || [ -n "$(find "${srcs[@]}" "$root/client/json_scan.h" "$root/client/listing.h" -newer "$bin" 2>/dev/null)" ]; then
  echo "[fuzz] building $bin"
  "$cxx" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$root" "${srcs[@]}" -o "$bin"
fi
echo "[fuzz] running for ${seconds}s"
"$bin" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$out/" -print_final_stats=1 "$out/corpus" "$root/fuzz/corpus"
