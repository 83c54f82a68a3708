#!/usr/bin/env bash
# Runs every fuzz target for the given number of seconds, one after the
# other, from seeds made by make_seeds.sh. Exits non-zero on any finding; a
# crashing input is left in OUT_DIR/findings.
# Usage: fuzz/run.sh BUILD_DIR SECONDS OUT_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(readlink -f "$1")
seconds=$2
out=$(mkdir -p "$3" && readlink -f "$3")
"$here/make_seeds.sh" "$build/qev" "$here/../tests/data/corpus" "$out/seeds" > /dev/null
mkdir -p "$out/findings"
status=0
for target in decode_entry archive_walk round_trip pack_stream; do
  mkdir -p "$out/corpus/$target"
  log="$out/$target.log"
  if ! "$build/fuzz_$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=3072 \
      -artifact_prefix="$out/findings/$target-" -print_final_stats=1 \
      "$out/corpus/$target" "$out/seeds/$target" > "$log" 2>&1; then
    echo "fuzz $target: FAILED (see $log)"
    tail -n 30 "$log"
    status=1
  else
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
    echo "fuzz $target: ${seconds}s, $runs runs, no finding"
  fi
done
exit $status
