#!/usr/bin/env bash
# Whole folder trees, with links, empty folders, modes and times, against the
# established tools. Two trees:
#   system:     copies (cp -a, links kept as links) of /usr/share/doc,
#               /usr/include and /etc;
#   smallfiles: 100,000 files of 1 to 300 bytes (about 11.5 MB) in a nested
#               tree of 300 folders, English text pieces and source-like lines,
#               with a few symbolic links, empty folders and unusual modes,
#               made by a seeded python3 script (the same tree on every run).
# Each tree is archived by tar | xz -6 -T0, tar | zstd -19 -T0, 7zz -mx=9 and
# -mx=5 (-snl: links as links; -snld on extraction lets links that climb
# with ../ be restored), and qev a -r with its defaults, -m9 -b4 and -u -b4
# (all cores; the switches come right after the a). Per row: archive size, size against tar+xz, add time,
# add and extraction speed against tar+xz (times faster), extraction time and
# peak memory.
#
# Every extraction is checked, without stopping the run: diff -r
# --no-dereference on the contents, then the type, permission bits and
# modification time (to the nanosecond) of every file, folder and link. A row's
# "check" column gives the number of paths that differ; the kinds of difference
# and the first few paths follow the table. tar's default format keeps whole
# seconds and 7z keeps 100 ns, so times that differ only below the second are
# counted apart.
#
# Usage: [RUNS=1] [TREES="system smallfiles"] [WORK=/dev/shm] [QEV_EXTRA=-l]
#        bench/trees.sh [QEV_BINARY]
# RUNS=n takes the median of n runs (default 1: the trees are large); TREES
# chooses the trees; WORK is where the trees and archives are made (a tmpfs
# keeps disk noise out; about 1 GB at most); QEV_EXTRA is added to every qev
# add (e.g. -l to store links as links). The tables go to the section
# "## Trees..." of bench/RESULTS.md (one for each QEV_EXTRA), which is
# replaced on each run; the other sections are kept.
set -euo pipefail
export LC_ALL=C  # a decimal point in the times, whatever the locale
here=$(cd "$(dirname "$0")" && pwd)
qev=$(readlink -f "${1:-$here/../build/qev}")
results="$here/RESULTS.md"
runs=${RUNS:-1}
trees=${TREES:-system smallfiles}
qev_extra=${QEV_EXTRA:-}
work=$(mktemp -d "${WORK:-/dev/shm}/qev-trees-XXXXXX")
trap 'rm -rf "$work"' EXIT
command="RUNS=$runs TREES=\"$trees\"${QEV_EXTRA:+ QEV_EXTRA=\"$qev_extra\"} bench/trees.sh ${1:-}"

[ -x "$qev" ] || { echo "no qev binary at $qev" >&2; exit 1; }
missing=()
for pair in xz:xz-utils zstd:zstd 7zz:7zip; do
  command -v "${pair%%:*}" >/dev/null || missing+=("${pair#*:}")
done
if [ ${#missing[@]} -gt 0 ] && [ "$(id -u)" = 0 ]; then
  apt-get install -y -qq "${missing[@]}" >/dev/null 2>&1 || apt-get update -qq >/dev/null 2>&1 &&
    apt-get install -y -qq "${missing[@]}" >/dev/null 2>&1 || true
fi
for c in xz zstd 7zz python3 /usr/bin/time; do
  command -v "$c" >/dev/null || { echo "$c is needed" >&2; exit 1; }
done

# --- trees ----------------------------------------------------------------------
make_system() {  # dest
  local keep=()
  [ "$(id -u)" = 0 ] || keep=(--no-preserve=ownership)
  mkdir -p "$1"
  # What cannot be read is left out.
  cp -a "${keep[@]}" /usr/share/doc "$1/doc" 2>/dev/null || true
  cp -a "${keep[@]}" /usr/include "$1/include" 2>/dev/null || true
  cp -a "${keep[@]}" /etc "$1/etc" 2>/dev/null || true
}

make_smallfiles() {  # dest
  python3 - "$1" <<'PY'
import os, random, re, sys
random.seed(20261209)
root = sys.argv[1]
# English text: the licence texts, then the copyright files, in name order.
text = b""
for d in ("/usr/share/common-licenses",):
    if os.path.isdir(d):
        for n in sorted(os.listdir(d)):
            p = os.path.join(d, n)
            if os.path.isfile(p):
                text += open(p, "rb").read()
if len(text) < 400000 and os.path.isdir("/usr/share/doc"):
    for n in sorted(os.listdir("/usr/share/doc")):
        p = os.path.join("/usr/share/doc", n, "copyright")
        if os.path.isfile(p):
            text += open(p, "rb").read()
        if len(text) >= 400000:
            break
words = sorted(set(w.lower() for w in re.findall(rb"[A-Za-z]{3,12}", text))) or [b"word", b"data", b"item"]
idents = [random.choice(words) + (b"_" + random.choice(words) if random.random() < 0.5 else b"")
          for _ in range(400)]
if len(text) < 1000:
    text = b" ".join(random.choice(words) for _ in range(100000))
types = [b"int", b"size_t", b"char", b"const char *", b"uint32_t", b"double", b"bool", b"struct node *"]
ops = [b"==", b"!=", b"<", b">=", b"+", b"-", b"&&"]
def ident(): return random.choice(idents)
def num(): return b"%d" % random.choice([0, 1, 2, 8, 16, 64, 255, 1024, random.randint(0, 99999)])
def code_line():
    k = random.randrange(9)
    if k == 0: return b"#include <%s/%s.h>" % (ident(), ident())
    if k == 1: return b"    %s %s = %s(%s, %s);" % (random.choice(types), ident(), ident(), ident(), num())
    if k == 2: return b"    if (%s %s %s) {" % (ident(), random.choice(ops), num())
    if k == 3: return b"        return %s->%s;" % (ident(), ident())
    if k == 4: return b"    }"
    if k == 5:
        s = random.randrange(0, len(text) - 60)
        return b"    // " + b" ".join(text[s:s + random.randint(10, 60)].split())
    if k == 6: return b"static %s %s(const %s *%s, size_t %s);" % (random.choice(types), ident(), random.choice(types).replace(b"const ", b"").rstrip(b" *"), ident(), ident())
    if k == 7: return b"    for (size_t %s = 0; %s < %s; ++%s)" % ((ident(),) * 2 + (num(),) + (ident(),))
    return b"    %s[%s] = %s %s %s;" % (ident(), num(), ident(), random.choice(ops), num())
def content(kind, n):
    if kind == "text":
        s = random.randrange(0, len(text) - n)
        return text[s:s + n]
    out = b""
    while len(out) < n:
        out += code_line() + b"\n"
    return out[:n]
os.mkdir(root)
dirs = [root]
for i in range(300):
    d = os.path.join(random.choice(dirs), "%s%d" % (random.choice(idents).decode(), i))
    os.mkdir(d)
    dirs.append(d)
files = []
exts = {"text": ["txt", "md", "rst"], "code": ["c", "h", "cpp", "py"]}
for i in range(100000):
    kind = "text" if random.random() < 0.5 else "code"
    n = int(random.triangular(1, 300, 40))
    p = os.path.join(random.choice(dirs), "%s_%d.%s" % (random.choice(idents).decode(), i, random.choice(exts[kind])))
    with open(p, "wb") as f:
        f.write(content(kind, n))
    r = random.random()
    os.chmod(p, 0o755 if r < 0.05 else 0o600 if r < 0.07 else 0o644)
    files.append(p)
empties = []
for i in range(8):
    d = os.path.join(random.choice(dirs), "empty%d" % i)
    os.mkdir(d)
    empties.append(d)
links = []
for i in range(12):
    target = random.choice(files) if i < 10 else random.choice(dirs[1:])
    where = random.choice(dirs)
    l = os.path.join(where, "link%d" % i)
    os.symlink(os.path.relpath(target, where), l)
    links.append(l)
# Times to the nanosecond, the same on every run; folders last, deepest first.
base = 1_700_000_000 * 10**9
for p in files + links:
    t = base + random.randrange(0, 63_072_000 * 10**9)
    os.utime(p, ns=(t, t), follow_symlinks=False)
for d in dirs[1:]:
    if random.random() < 0.03:
        os.chmod(d, 0o700)
for d in sorted(dirs + empties, key=lambda d: -d.count(os.sep)):
    t = base + random.randrange(0, 63_072_000 * 10**9)
    os.utime(d, ns=(t, t))
PY
}

# --- checking -------------------------------------------------------------------
# Compares an extracted tree with the original: contents with diff -r
# --no-dereference, then type, permission bits and modification time of every
# path. Prints one line, "ok" or "N differ", for the table; writes the details
# (kinds of difference, first paths) to $work/check.txt.
check_tree() {  # orig restored
  diff -r --no-dereference "$1" "$2" > "$work/diff.txt" 2>&1 || true
  python3 - "$1" "$2" "$work/diff.txt" > "$work/check.txt" <<'PY'
import os, stat, sys
orig, rest, difffile = sys.argv[1:4]
def scan(top):
    out = {}
    if not os.path.lexists(top):
        return out
    def add(p):
        st = os.lstat(p)
        m = st.st_mode
        t = "l" if stat.S_ISLNK(m) else "d" if stat.S_ISDIR(m) else "f" if stat.S_ISREG(m) else "o"
        out[os.path.relpath(p, top)] = (t, stat.S_IMODE(m), st.st_mtime_ns)
    add(top)
    for d, subdirs, names in os.walk(top):
        for n in subdirs + names:
            add(os.path.join(d, n))
    return out
a, b = scan(orig), scan(rest)
kinds = {}
bad = {}
def note(kind, path, what):
    kinds[kind] = kinds.get(kind, 0) + 1
    bad.setdefault(path, []).append(what)
for p in sorted(set(a) | set(b)):
    if p not in b: note("missing", p, "missing"); continue
    if p not in a: note("extra", p, "extra"); continue
    (ta, ma, na), (tb, mb, nb) = a[p], b[p]
    if ta != tb: note("type", p, "type %s, restored %s" % (ta, tb)); continue
    if ma != mb: note("mode", p, "mode %o, restored %o" % (ma, mb))
    if na != nb:
        if na // 10**9 != nb // 10**9:
            note("mtime", p, "mtime %d.%09d, restored %d.%09d" % (na // 10**9, na % 10**9, nb // 10**9, nb % 10**9))
        else:
            note("mtime below the second", p, "mtime .%09d, restored .%09d" % (na % 10**9, nb % 10**9))
diffs = [l.rstrip("\n") for l in open(difffile, errors="replace")]
n = len(bad)
summary = ("ok" if n == 0 and not diffs else
           "%d differ" % n + (" (%s)" % ", ".join("%s %d" % kv for kv in sorted(kinds.items())) if n else "")
           + ("; diff -r: %d lines" % len(diffs) if diffs else ""))
print(summary)
if n or diffs:
    print("  %d of %d paths differ (%s)" % (n, len(a), ", ".join("%s %d" % kv for kv in sorted(kinds.items()))) if n else
          "  metadata of all %d paths ok" % len(a))
    for p in list(bad)[:5]:
        print("  - %s: %s" % (p, "; ".join(bad[p])))
    if diffs:
        print("  diff -r --no-dereference: %d lines, first:" % len(diffs))
        for l in diffs[:3]:
            print("  - " + l.replace(orig, "ORIG").replace(rest, "RESTORED"))
PY
  head -n 1 "$work/check.txt"
}

# --- measuring ------------------------------------------------------------------
# Runs a command $runs times; prints "median_seconds peak_kib exit_status" of
# the runs (the status of the last). The time is taken to the microsecond
# around the command; time gives the peak memory (of the largest process).
measure() {
  local times=() mems=() start end i rc=0
  for ((i = 0; i < runs; i++)); do
    start=$EPOCHREALTIME
    rc=0
    /usr/bin/time -o "$work/time.txt" -f '%M' bash -c "$1" >/dev/null 2>"$work/stderr.txt" || rc=$?
    end=$EPOCHREALTIME
    times+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f", b - a }')")
    mems+=("$(tail -n 1 "$work/time.txt")")
  done
  local t m mid=$(((runs + 1) / 2))
  t=$(printf '%s\n' "${times[@]}" | sort -g | sed -n "${mid}p")
  m=$(printf '%s\n' "${mems[@]}" | sort -g | sed -n "${mid}p")
  echo "$t $m $rc"
}

row() {  # name size add_s add_kib ext_s ext_kib check
  awk -v n="$1" -v s="$2" -v ct="$3" -v cm="$4" -v et="$5" -v em="$6" -v ck="$7" \
      -v xs="$xz_size" -v xc="$xz_ct" -v xe="$xz_et" 'BEGIN {
    printf "| %s | %d | %.3f | %.2f | %.2f | %.2f | %.2f | %.0f | %.0f | %s |\n",
      n, s, s / xs, ct, xc / ct, et, xe / et, cm / 1024, em / 1024, ck }'
}

details=""
# Times one program on the tree: add, extract, check, print the row.
# add_cmd and ext_cmd run in $work; the tree is src/$name, the archive
# $work/$arc, the extraction goes to restored/ and must hold restored/$name.
bench_row() {  # label archive_file add_cmd ext_cmd
  local label=$1 arc=$2 ct cm crc et em erc ck size
  read -r ct cm crc < <(measure "cd '$work/src' && rm -f '$work/$arc' && $3")
  local add_err; add_err=$(head -c 300 "$work/stderr.txt")
  read -r et em erc < <(measure "cd '$work' && rm -rf restored && mkdir restored && $4")
  local ext_err; ext_err=$(head -c 300 "$work/stderr.txt")
  size=$(stat -c %s "$work/$arc" 2>/dev/null || echo 0)
  ck=$(check_tree "$work/src/$name" "$work/restored/$name")
  [ "$erc" = 0 ] || ck="extract exit $erc; $ck"
  [ "$crc" = 0 ] || ck="add exit $crc; $ck"
  if [ "$label" = "tar + xz -6 -T0" ]; then xz_size=$size xz_ct=$ct xz_et=$et; fi
  row "$label" "$size" "$ct" "$cm" "$et" "$em" "$ck"
  if [ "$ck" != ok ]; then
    details+="- $label: $(head -n 1 "$work/check.txt")"$'\n'"$(tail -n +2 "$work/check.txt")"$'\n'
    [ "$crc" = 0 ] || details+="  add stderr: ${add_err//$'\n'/ | }"$'\n'
    [ "$erc" = 0 ] || details+="  extract stderr: ${ext_err//$'\n'/ | }"$'\n'
  fi
  rm -rf "$work/restored" "$work/$arc"
}

bench_tree() {  # label name
  local label=$1
  name=$2
  local dir="$work/src/$name" bytes nf nd nl
  bytes=$(find "$dir" -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')
  nf=$(find "$dir" -type f | wc -l) nd=$(find "$dir" -type d | wc -l) nl=$(find "$dir" -type l | wc -l)
  echo "$label: $bytes bytes in $nf files, $nd folders, $nl links" >&2
  echo
  echo "### $label: $bytes bytes; $nf files, $nd folders, $nl links"
  echo
  echo "| program | archive bytes | size / tar+xz | add s | add speed × tar+xz | extract s | extract speed × tar+xz | add peak MiB | extract peak MiB | check |"
  echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---|"
  details=""
  xz_size=1 xz_ct=1 xz_et=1
  local x=$qev_extra
  bench_row "tar + xz -6 -T0" out.tar.xz "tar cf - '$name' | xz -6 -T0 > '$work/out.tar.xz'" \
    "xz -d -T0 -c out.tar.xz | tar xf - -C restored"
  bench_row "tar + zstd -19 -T0" out.tar.zst "tar cf - '$name' | zstd -19 -T0 -q > '$work/out.tar.zst'" \
    "zstd -d -q -c out.tar.zst | tar xf - -C restored"
  bench_row "7zz a -mx=9 -snl" out.7z "7zz a -mx=9 -snl '$work/out.7z' '$name'" "7zz x -snl -snld -orestored out.7z"
  bench_row "7zz a -mx=5 -snl" out.7z "7zz a -mx=5 -snl '$work/out.7z' '$name'" "7zz x -snl -snld -orestored out.7z"
  bench_row "qev a${x:+ $x}" out.qev "'$qev' a -r -n $x '$work/out.qev' '$name'" "'$qev' x -n out.qev restored/"
  bench_row "qev a -m9 -b4${x:+ $x}" out.qev "'$qev' a -r -n -m9 -b4 $x '$work/out.qev' '$name'" "'$qev' x -n out.qev restored/"
  bench_row "qev a -u -b4${x:+ $x}" out.qev "'$qev' a -r -n -u -b4 $x '$work/out.qev' '$name'" "'$qev' x -n out.qev restored/"
  if [ -n "$details" ]; then
    echo
    echo "Mismatches found by the checks:"
    echo
    printf '%s' "$details"
  fi
}

mkdir -p "$work/src"
heading="## Trees: whole folders with links, modes and times${qev_extra:+ (qev with $qev_extra)}"
{
  echo "$heading"
  echo
  echo "Made by \`$command\` on $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores,"
  echo "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(free -g | awk '/Mem:/ {print $2}') GiB;"
  echo "Sources at $(git -C "$here" rev-parse --short HEAD 2>/dev/null || echo '?'), binary ${1:-build/qev}. Median of $runs run(s), all cores for every program."
  echo "The peers archive a tar of the folder (tar's default format) or the folder itself (7zz);"
  echo "qev archives the folder with -r. Speed ratios are how many times faster than tar + xz;"
  echo "size ratios below 1 are smaller than tar + xz. Every extraction was checked: diff -r"
  echo "--no-dereference, then the type, permission bits and modification time (nanoseconds) of"
  echo "every file, folder and link; \"check\" gives the number of paths that differ."
  for t in $trees; do
    case $t in
      system)
        make_system "$work/src/system"
        bench_tree "system (copies of /usr/share/doc, /usr/include, /etc)" system ;;
      smallfiles)
        make_smallfiles "$work/src/smallfiles"
        bench_tree "smallfiles (100,000 generated files, seeded)" smallfiles ;;
      *) echo "unknown tree $t" >&2; exit 1 ;;
    esac
    rm -rf "${work:?}/src/$t"
  done
} | tee "$work/section.md"

# The section replaces an earlier one of the same heading (up to the next
# "## " heading; each QEV_EXTRA has its own) and goes at the end of the file,
# after the notes that compare.sh keeps when it writes its tables anew.
if [ -f "$results" ]; then
  awk -v h="$heading" '/^## / { skip = ($0 == h) } !skip' "$results" > "$work/results.md"
else
  : > "$work/results.md"
fi
{
  printf '%s\n' "$(cat "$work/results.md")"  # without its trailing blank lines
  echo
  cat "$work/section.md"
} > "$work/new.md"
mv "$work/new.md" "$results"
