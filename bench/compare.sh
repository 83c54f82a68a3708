#!/usr/bin/env bash
# Compares qev with the established compressors on four inputs, median of 3
# runs: archive size, ratio, compression and extraction speed and peak memory.
# Every extraction is checked byte for byte. The tables go to bench/RESULTS.md.
#
# Inputs: the test corpus in tests/data/corpus (small files); a text set of
# two files assembled from this machine, a tar of the C++ standard headers and
# 9 MiB of English text from /usr/share/doc and /usr/share/common-licenses;
# "one", that tar alone; and a large set of the two text files and a few ELF
# binaries. Each set gets a single-threaded table, ending with the extraction
# speed of qev's default method as a fraction of xz -d's, measured in the same
# run. Every set but the small one then gets an all-cores table: qev with its
# default worker count (all cores) and with -t1, and the multi-threaded peers,
# followed by speed and size ratios against the single-threaded peers of the
# first table and the multi-threaded ones of the second. The strong parse
# (qev a -u) is set against -m9, xz -9e -T1 and zstd --ultra -22 in the
# single-threaded table, with a line of size and speed ratios under it.
#
# Usage: bench/compare.sh [QEV_BINARY] [CORPUS_DIR]
# RUNS=n takes the median of n runs instead of 3; SETS="small text one large"
# (the default) chooses the inputs. The whole trees "system" and "smallfiles"
# (SETS="system smallfiles", or among the others) are measured by
# bench/trees.sh, against tar+xz, tar+zstd -19 and 7zz -mx=9 and -mx=5, in a
# section of their own.
set -euo pipefail
export LC_ALL=C  # a decimal point in the times, whatever the locale
here=$(cd "$(dirname "$0")" && pwd)
qev=$(readlink -f "${1:-$here/../build/qev}")
corpus=$(readlink -f "${2:-$here/../tests/data/corpus}")
results="$here/RESULTS.md"
work=$(mktemp -d /tmp/qev-compare-XXXXXX)
trap 'rm -rf "$work"' EXIT

missing=()
for pair in xz:xz-utils bzip2:bzip2 zstd:zstd brotli:brotli 7zz:7zip gzip:gzip \
            pbzip2:pbzip2 lbzip2:lbzip2 pigz:pigz; do
  command -v "${pair%%:*}" >/dev/null || missing+=("${pair#*:}")
done
if [ ${#missing[@]} -gt 0 ] && [ "$(id -u)" = 0 ]; then
  apt-get install -y -qq "${missing[@]}" >/dev/null 2>&1 || apt-get update -qq >/dev/null 2>&1 &&
    apt-get install -y -qq "${missing[@]}" >/dev/null 2>&1 || true
fi

# --- inputs -------------------------------------------------------------------
runs=${RUNS:-3}
sets=${SETS:-small text one large}
mkdir -p "$work/small" "$work/text" "$work/one" "$work/large/bin"
for f in "$corpus"/*; do
  case "$(basename "$f")" in README.md|SHA256SUMS) ;; *) cp "$f" "$work/small/" ;; esac
done
tar cf "$work/text/cxx-headers.tar" -C /usr/include c++ 2>/dev/null
# Licence and copyright texts: English prose, present on every Debian system.
(cat /usr/share/common-licenses/* /usr/share/doc/*/copyright 2>/dev/null || true) | head -c 9437184 > "$work/text/english.txt"
cp "$work/text/cxx-headers.tar" "$work/one/"
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

# Times a peer on the tar of a set: compress, then decompress, check the round
# trip, print its row. Leaves the times and size in peer_ct, peer_et, peer_size.
peer_row() {  # name compress_cmd decompress_cmd tarball input_bytes
  local cm em
  read -r peer_ct cm < <(measure "$2 < '$4' > '$work/peer.out'")
  read -r peer_et em < <(measure "$3 < '$work/peer.out' > '$work/peer.tar'")
  cmp -s "$4" "$work/peer.tar" || { echo "$1: round trip differs" >&2; exit 1; }
  peer_size=$(stat -c %s "$work/peer.out")
  row "$1" "$peer_size" "$5" "$peer_ct" "$cm" "$peer_et" "$em"
}

# Times qev: archive the set with the given add switches, extract with the
# given extract switches, check the files, print the row. Leaves qev_ct,
# qev_et, qev_size.
qev_row() {  # name add_switches extract_switches dir input_bytes
  local dir=$4 arc="$work/out.qev" out="$work/out" cm em
  local name=$(basename "$dir") parent=$(dirname "$dir")
  read -r qev_ct cm < <(measure "rm -f '$arc'; cd '$parent' && '$qev' a -n -r $2 '$arc' '$name'")
  read -r qev_et em < <(measure "rm -rf '$out'; mkdir -p '$out' && cd '$out' && '$qev' x -n $3 '$arc'")
  diff -r "$dir" "$out/$name" >/dev/null || { echo "$1: extraction differs" >&2; exit 1; }
  qev_size=$(stat -c %s "$arc")
  row "$1" "$qev_size" "$5" "$qev_ct" "$cm" "$qev_et" "$em"
}

# Times 7-Zip on the folder of a set with the given thread switch (empty: its
# default, all cores). Leaves peer_ct, peer_et, peer_size.
sevenzip_row() {  # name thread_switch dir input_bytes
  local dir=$3 cm em
  local name=$(basename "$dir") parent=$(dirname "$dir")
  read -r peer_ct cm < <(measure "rm -f '$work/peer.7z'; cd '$parent' && '$sevenzip' a -mx=9 $2 '$work/peer.7z' '$name'")
  read -r peer_et em < <(measure "rm -rf '$work/x7'; '$sevenzip' x $2 -o'$work/x7' '$work/peer.7z'")
  diff -r "$dir" "$work/x7/$name" >/dev/null || { echo "$1: extraction differs" >&2; exit 1; }
  peer_size=$(stat -c %s "$work/peer.7z")
  row "$1" "$peer_size" "$4" "$peer_ct" "$cm" "$peer_et" "$em"
}
sevenzip=$(command -v 7z || command -v 7zz || true)

# Compress times of bzip2 -9 and xz -6 -T1 in the single-threaded table of the
# set being measured, for the ratios under its all-cores table.
st_bzip2_ct="" st_xz_ct=""

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
  st_bzip2_ct="" st_xz_ct=""
  local m9_size="" m9_et="" u_size="" u_ct="" u_et="" xz9e_size="" xz6_ct=""
  for sw in "-m0" "-m2" "-m5" "-m9" "-s -m2" "-u"; do
    qev_row "qev a $sw" "-t1 $sw" "-t1" "$dir" "$bytes"
    if [ "$sw" = "-m2" ]; then qev_default_et=$qev_et; fi
    if [ "$sw" = "-m9" ]; then m9_size=$qev_size m9_et=$qev_et; fi
    if [ "$sw" = "-u" ]; then u_size=$qev_size u_ct=$qev_ct u_et=$qev_et; fi
  done
  local tarball="$work/set.tar"
  tar cf "$tarball" -C "$parent" "$name"
  local peers=("gzip -9:gzip -9 -c:gzip -d -c" "bzip2 -9:bzip2 -9 -c:bzip2 -d -c"
               "xz -6 -T1:xz -6 -T1 -c:xz -d -T1 -c" "zstd -19 -T1:zstd -19 -T1 -q -c:zstd -d -q -c"
               "brotli -q 11:brotli -q 11 -c:brotli -d -c" "xz -9e -T1:xz -9e -T1 -c:xz -d -T1 -c"
               "zstd --ultra -22:zstd --ultra -22 -T1 -q -c:zstd -d -q -c")
  for p in "${peers[@]}"; do
    IFS=: read -r pname pcomp pdec <<< "$p"
    command -v "${pcomp%% *}" >/dev/null || continue
    peer_row "$pname" "$pcomp" "$pdec" "$tarball" "$bytes"
    if [ "$pname" = "xz -6 -T1" ]; then xz_et=$peer_et st_xz_ct=$peer_ct; fi
    if [ "$pname" = "xz -9e -T1" ]; then xz9e_size=$peer_size; fi
    if [ "$pname" = "bzip2 -9" ]; then st_bzip2_ct=$peer_ct; fi
  done
  if [ -n "$sevenzip" ]; then sevenzip_row "7z a -mx=9 -mmt=1" "-mmt=1" "$dir" "$bytes"; fi
  if [ -n "$qev_default_et" ] && [ -n "$xz_et" ]; then
    echo
    awk -v q="$qev_default_et" -v x="$xz_et" 'BEGIN {
      printf "Extraction speed of qev x (-m2) as a fraction of xz -d, same run: %.2f\n", x / q }'
  fi
  if [ -n "$u_size" ] && [ -n "$xz9e_size" ]; then
    awk -v u="$u_size" -v m="$m9_size" -v x="$xz9e_size" -v uc="$u_ct" -v xc="$st_xz_ct" -v ue="$u_et" -v me="$m9_et" 'BEGIN {
      printf "qev a -u: size %+.2f%% against -m9 and %+.2f%% against xz -9e -T1; compression speed %.2f of xz -6 -T1'"'"'s; extraction speed %.2f of the -m9 archive'"'"'s\n",
        (u / m - 1) * 100, (u / x - 1) * 100, xc / uc, me / ue }'
  fi
}

# The all-cores table of a set: qev with its default worker count (all cores)
# and with -t1, and the multi-threaded peers; then ratios of speed and size,
# against the single-threaded bzip2 and xz times of the set's first table.
bench_threads() {
  local label=$1 dir=$2 bytes
  bytes=$(find "$dir" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
  echo
  echo "#### $label, all cores ($(nproc) threads), median of $runs runs"
  echo
  echo "| program | archive bytes | ratio | compress MB/s | extract MB/s | compress peak MiB | extract peak MiB |"
  echo "|---|---:|---:|---:|---:|---:|---:|"
  local mt_ct mt_et mt_size t1_ct t1_et
  qev_row "qev a -m2, x (all cores)" "-m2" "" "$dir" "$bytes"
  mt_ct=$qev_ct mt_et=$qev_et mt_size=$qev_size
  qev_row "qev a -m2 -t1, x -t1" "-m2 -t1" "-t1" "$dir" "$bytes"
  t1_ct=$qev_ct t1_et=$qev_et
  qev_row "qev a -m9, x (all cores)" "-m9" "" "$dir" "$bytes"
  local tarball="$work/set.tar" name=$(basename "$dir") parent=$(dirname "$dir")
  tar cf "$tarball" -C "$parent" "$name"
  # name:compress:decompress; the decompressors use all cores where they can.
  local peers=("xz -6 -T0:xz -6 -T0 -c:xz -d -T0 -c" "zstd -19 -T0:zstd -19 -T0 -q -c:zstd -d -q -c"
               "pbzip2 -9:pbzip2 -9 -c:pbzip2 -d -c" "lbzip2 -9:lbzip2 -9 -c:lbzip2 -d -c"
               "pigz -9:pigz -9 -c:pigz -d -c")
  local vs=() p pname pcomp pdec
  for p in "${peers[@]}"; do
    IFS=: read -r pname pcomp pdec <<< "$p"
    command -v "${pcomp%% *}" >/dev/null || continue
    peer_row "$pname" "$pcomp" "$pdec" "$tarball" "$bytes"
    vs+=("$pname:$peer_ct:$peer_et:$peer_size")
  done
  if [ -n "$sevenzip" ]; then
    sevenzip_row "7z a -mx=9 (all threads)" "" "$dir" "$bytes"
    vs+=("7z a -mx=9:$peer_ct:$peer_et:$peer_size")
  fi
  echo
  awk -v mc="$mt_ct" -v me="$mt_et" -v tc="$t1_ct" -v te="$t1_et" -v bz="$st_bzip2_ct" -v xz="$st_xz_ct" 'BEGIN {
    printf "- qev a -m2, all cores / -t1, add speed: %.2f\n", tc / mc
    printf "- qev x, all cores / -t1, extraction speed (the -m2 archives): %.2f\n", te / me
    if (bz != "") printf "- qev a -m2 all cores / bzip2 -9 (single thread, table above), add speed: %.2f\n", bz / mc
    if (xz != "") printf "- qev a -m2 all cores / xz -6 -T1 (single thread, table above), add speed: %.2f\n", xz / mc }'
  local v n c e z
  for v in "${vs[@]}"; do
    IFS=: read -r n c e z <<< "$v"
    awk -v n="$n" -v mc="$mt_ct" -v me="$mt_et" -v ms="$mt_size" -v c="$c" -v e="$e" -v z="$z" 'BEGIN {
      printf "- qev -m2 all cores / %s: add speed %.2f, extraction speed %.2f, archive size %.3f\n", n, c / mc, e / me, ms / z }'
  done
}

both_tables() {  # label dir
  bench_set "$1" "$2"
  bench_threads "$1" "$2"
}

# Notes written by hand below the tables (from a heading "## Notes" on) are
# kept when the tables are made anew.
notes=""
if [ -f "$results" ]; then notes=$(sed -n '/^## Notes/,$p' "$results"); fi
classic=0
tree_sets=""
for s in $sets; do
  case $s in
    small|text|one|large) classic=1 ;;
    system|smallfiles) tree_sets="$tree_sets $s" ;;
  esac
done

[ "$classic" = 0 ] || {
  echo "# Benchmark: qev against the established compressors"
  echo
  echo "Made by \`bench/compare.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores,"
  echo "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(free -g | awk '/Mem:/ {print $2}') GiB."
  echo "Median of $runs runs. Speeds are input bytes per second; the peers compress a tar of the"
  echo "same files, qev archives the folder with -r. Every extraction was compared byte for byte."
  echo "Each set has a single-threaded table (qev with -t1); every set but the small one then has an"
  echo "all-cores table, where qev runs with its default worker count and the peers with all threads."
  echo "Ratios above 1 favour qev for speed, below 1 for size."
  case " $sets " in *" small "*) bench_set "Small files (test corpus)" "$work/small" ;; esac
  case " $sets " in *" text "*) both_tables "Text set (C++ headers, English text)" "$work/text" ;; esac
  case " $sets " in *" one "*) both_tables "One file (the tar of the C++ headers alone)" "$work/one" ;; esac
  case " $sets " in *" large "*) both_tables "Large set (C++ headers, English text, ELF binaries)" "$work/large" ;; esac
  if [ -n "$notes" ]; then
    echo
    printf '%s\n' "$notes"
  fi
} | tee "$results"
if [ -n "$tree_sets" ]; then TREES="${tree_sets# }" RUNS=${RUNS:-1} bash "$here/trees.sh" "$qev"; fi
