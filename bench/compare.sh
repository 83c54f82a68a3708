#!/usr/bin/env bash
# Compares qev with the established compressors on three inputs,
# single-threaded, median of 3 runs: archive size, ratio, compression and
# extraction speed and peak memory. Every extraction is checked byte for byte.
# The tables go to bench/RESULTS.md.
#
# Inputs: the test corpus in tests/data/corpus (small files); a text set of
# two files assembled from this machine, a tar of the C++ standard headers and
# 9 MiB of English text from /usr/share/doc and /usr/share/common-licenses;
# and a large set of those two and a few ELF binaries. Each table ends with
# the extraction speed of qev's default method as a fraction of xz -d's,
# measured in the same run.
#
# Usage: bench/compare.sh [QEV_BINARY] [CORPUS_DIR]
# RUNS=n takes the median of n runs instead of 3; SETS="small text large"
# (the default) chooses the inputs.
set -euo pipefail
export LC_ALL=C  # a decimal point in the times, whatever the locale
here=$(cd "$(dirname "$0")" && pwd)
qev=$(readlink -f "${1:-$here/../build/qev}")
corpus=$(readlink -f "${2:-$here/../tests/data/corpus}")
results="$here/RESULTS.md"
work=$(mktemp -d /tmp/qev-compare-XXXXXX)
trap 'rm -rf "$work"' EXIT

missing=()
for pair in xz:xz-utils bzip2:bzip2 zstd:zstd brotli:brotli 7zz:7zip gzip:gzip; do
  command -v "${pair%%:*}" >/dev/null || missing+=("${pair#*:}")
done
if [ ${#missing[@]} -gt 0 ] && [ "$(id -u)" = 0 ]; then
  apt-get install -y -qq "${missing[@]}" >/dev/null 2>&1 || apt-get update -qq >/dev/null 2>&1 &&
    apt-get install -y -qq "${missing[@]}" >/dev/null 2>&1 || true
fi

# --- inputs -------------------------------------------------------------------
runs=${RUNS:-3}
sets=${SETS:-small text large}
mkdir -p "$work/small" "$work/text" "$work/large/bin"
for f in "$corpus"/*; do
  case "$(basename "$f")" in README.md|SHA256SUMS) ;; *) cp "$f" "$work/small/" ;; esac
done
tar cf "$work/text/cxx-headers.tar" -C /usr/include c++ 2>/dev/null
# Licence and copyright texts: English prose, present on every Debian system.
(cat /usr/share/common-licenses/* /usr/share/doc/*/copyright 2>/dev/null || true) | head -c 9437184 > "$work/text/english.txt"
cp "$work/text/cxx-headers.tar" "$work/text/english.txt" "$work/large/"
for b in perl bash gdb python3; do
  p=$(command -v "$b" || true)
  [ -n "$p" ] && cp "$(readlink -f "$p")" "$work/large/bin/$b"
done

# --- measuring ----------------------------------------------------------------
# Runs a command $runs times; prints "median_seconds peak_kib" of the runs.
# The time is taken to the microsecond around the command (time's own is in
# hundredths, too coarse for the faster decoders); time gives the peak memory.
measure() {
  local times=() mems=() start end i
  for ((i = 0; i < runs; i++)); do
    start=$EPOCHREALTIME
    /usr/bin/time -o "$work/time.txt" -f '%M' bash -c "$1" >/dev/null 2>&1
    end=$EPOCHREALTIME
    times+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f", b - a }')")
    mems+=("$(tail -n 1 "$work/time.txt")")
  done
  local t m mid=$(((runs + 1) / 2))
  t=$(printf '%s\n' "${times[@]}" | sort -g | sed -n "${mid}p")
  m=$(printf '%s\n' "${mems[@]}" | sort -g | sed -n "${mid}p")
  echo "$t $m"
}

row() {  # name size input_bytes comp_s comp_kib ext_s ext_kib
  local name=$1 size=$2 bytes=$3
  awk -v n="$name" -v s="$size" -v b="$bytes" -v ct="$4" -v cm="$5" -v et="$6" -v em="$7" 'BEGIN {
    ct = (ct < 0.005) ? 0.005 : ct; et = (et < 0.005) ? 0.005 : et;
    printf "| %s | %d | %.3f | %.1f | %.1f | %.0f | %.0f |\n", n, s, b / s, b / ct / 1e6, b / et / 1e6, cm / 1024, em / 1024 }'
}

bench_set() {
  local label=$1 dir=$2 bytes
  bytes=$(find "$dir" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
  echo
  echo "### $label: $(find "$dir" -type f | wc -l) files, $bytes bytes"
  echo
  echo "| program | archive bytes | ratio | compress MB/s | extract MB/s | compress peak MiB | extract peak MiB |"
  echo "|---|---:|---:|---:|---:|---:|---:|"
  local name=$(basename "$dir") parent=$(dirname "$dir")
  local qev_default_et="" xz_et=""
  for sw in "-m0" "-m2" "-m5" "-m9" "-s -m2"; do
    local arc="$work/out.qev" out="$work/out"
    rm -f "$arc"
    read -r ct cm < <(measure "rm -f '$arc'; cd '$parent' && '$qev' a -t1 -n -r $sw '$arc' '$name'")
    read -r et em < <(measure "rm -rf '$out'; mkdir -p '$out' && cd '$out' && '$qev' x -t1 -n '$arc'")
    diff -r "$dir" "$out/$name" >/dev/null || { echo "qev $sw: extraction differs" >&2; exit 1; }
    row "qev a $sw" "$(stat -c %s "$arc")" "$bytes" "$ct" "$cm" "$et" "$em"
    if [ "$sw" = "-m2" ]; then qev_default_et=$et; fi
  done
  local tarball="$work/set.tar"
  tar cf "$tarball" -C "$parent" "$name"
  local peers=("gzip -9:gzip -9 -c:gzip -d -c" "bzip2 -9:bzip2 -9 -c:bzip2 -d -c"
               "xz -6 -T1:xz -6 -T1 -c:xz -d -T1 -c" "zstd -19 -T1:zstd -19 -T1 -q -c:zstd -d -q -c"
               "brotli -q 11:brotli -q 11 -c:brotli -d -c")
  for p in "${peers[@]}"; do
    IFS=: read -r pname pcomp pdec <<< "$p"
    command -v "${pcomp%% *}" >/dev/null || continue
    read -r ct cm < <(measure "$pcomp < '$tarball' > '$work/peer.out'")
    read -r et em < <(measure "$pdec < '$work/peer.out' > '$work/peer.tar'")
    cmp -s "$tarball" "$work/peer.tar" || { echo "$pname: round trip differs" >&2; exit 1; }
    row "$pname" "$(stat -c %s "$work/peer.out")" "$bytes" "$ct" "$cm" "$et" "$em"
    if [ "$pname" = "xz -6 -T1" ]; then xz_et=$et; fi
  done
  local sevenzip
  sevenzip=$(command -v 7z || command -v 7zz || true)
  if [ -n "$sevenzip" ]; then
    read -r ct cm < <(measure "rm -f '$work/peer.7z'; cd '$parent' && '$sevenzip' a -mx=9 -mmt=1 '$work/peer.7z' '$name'")
    read -r et em < <(measure "rm -rf '$work/x7'; '$sevenzip' x -mmt=1 -o'$work/x7' '$work/peer.7z'")
    diff -r "$dir" "$work/x7/$name" >/dev/null || { echo "7z: extraction differs" >&2; exit 1; }
    row "7z a -mx=9 -mmt=1" "$(stat -c %s "$work/peer.7z")" "$bytes" "$ct" "$cm" "$et" "$em"
  fi
  if [ -n "$qev_default_et" ] && [ -n "$xz_et" ]; then
    echo
    awk -v q="$qev_default_et" -v x="$xz_et" 'BEGIN {
      printf "Extraction speed of qev x (-m2) as a fraction of xz -d, same run: %.2f\n", x / q }'
  fi
}

# Notes written by hand below the tables (from a heading "## Notes" on) are
# kept when the tables are made anew.
notes=""
if [ -f "$results" ]; then notes=$(sed -n '/^## Notes/,$p' "$results"); fi

{
  echo "# Benchmark: qev against the established compressors"
  echo
  echo "Made by \`bench/compare.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores,"
  echo "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(free -g | awk '/Mem:/ {print $2}') GiB."
  echo "Single-threaded, median of $runs runs. Speeds are input bytes per second; the peers compress a tar"
  echo "of the same files, qev archives the folder with -r. Every extraction was compared byte for byte."
  case " $sets " in *" small "*) bench_set "Small files (test corpus)" "$work/small" ;; esac
  case " $sets " in *" text "*) bench_set "Text set (C++ headers, English text)" "$work/text" ;; esac
  case " $sets " in *" large "*) bench_set "Large set (C++ headers, English text, ELF binaries)" "$work/large" ;; esac
  if [ -n "$notes" ]; then
    echo
    printf '%s\n' "$notes"
  fi
} | tee "$results"
