#!/usr/bin/env bash
# Builds seed corpora for the fuzz targets from small real archives: the
# first kilobytes of some corpus files, stored at several levels.
# Usage: fuzz/make_seeds.sh QEV_BINARY CORPUS_DIR OUT_DIR
set -euo pipefail
qev=$(readlink -f "$1")
corpus=$(readlink -f "$2")
out=$(mkdir -p "$3" && readlink -f "$3")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out/archive_walk" "$out/decode_entry" "$out/round_trip" "$out/pack_stream"
cd "$work"
for f in alice29.txt html geo.protodata kppkn.gtb paper-100k.pdf fireworks.jpeg; do
  head -c 3000 "$corpus/$f" > "$f"
done
n=0
for level in 0 3 9; do
  for f in alice29.txt html geo.protodata kppkn.gtb paper-100k.pdf fireworks.jpeg; do
    rm -f one.qev
    "$qev" a -m$level -b1 -h1 one.qev "$f" > /dev/null
    cp one.qev "$out/archive_walk/$f.m$level.qev"
    # decode_entry: 12 bytes of settings (plain LZ, two blocks), then the stream.
    hdr=$((39 + ${#f} + 1 + 1))
    { printf '\002\000\000\001\002\000\000\000\267\013\000\000'; tail -c +$((hdr + 1)) one.qev; } \
      > "$out/decode_entry/$f.m$level"
    # round_trip: level, solid/file-count bits, cut points, then the data.
    { printf "\\$(printf '%03o' $level)\\003\\033"; cat "$f"; } > "$out/round_trip/$f.m$level"
    n=$((n + 1))
  done
done
rm -f two.qev
"$qev" a -s -m2 -b1 -h1 two.qev alice29.txt html kppkn.gtb > /dev/null
cp two.qev "$out/archive_walk/solid.qev"
# pack_stream: pax and ustar streams of a few members of every kind.
mkdir -p tree/sub
cp alice29.txt html tree/
cp kppkn.gtb tree/sub/
ln -s ../html tree/sub/link
for format in pax ustar gnu; do
  tar --format=$format -cf "$out/pack_stream/tree.$format" tree 2>/dev/null || true
done
# Members of the other kinds: a file with holes, a hard link, a FIFO, and
# attributes where the filesystem takes them.
mkdir -p kinds
printf 'data' > kinds/holes
truncate -s 1M kinds/holes
printf 'more' | dd of=kinds/holes bs=1 seek=600000 conv=notrunc status=none
cp alice29.txt kinds/one
ln kinds/one kinds/two
mkfifo kinds/fifo 2>/dev/null || true
setfattr -n user.seed -v value kinds/one 2>/dev/null || true
tar --format=pax --sparse --xattrs -cf "$out/pack_stream/kinds.pax" kinds 2>/dev/null || true
tar --format=pax -cf "$out/pack_stream/long.pax" -C tree --transform 's|^|a-long-folder-name/that-goes-on/and-on/for-more-than-a-hundred-bytes/so-that-it-needs/an-extended-header/|' . 2>/dev/null || true
echo "seeds: $n archives in $out"
