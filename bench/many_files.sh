#!/usr/bin/env bash
# Many small files, two cases:
#   tree: 10,000 files of 1 to 200 bytes in a nested tree of 100 folders,
#         added with -r and extracted, at the smallest and the largest table
#         and ring sizes;
#   args: 30,000 files of 1 to 200 bytes in one folder, each named on the
#         command line (`qev a many.qev m/*`), added and extracted.
# Prints the times; the trees are compared byte for byte.
# Usage: [TMPDIR=/dev/shm] bench/many_files.sh [QEV_BINARY] [tree|args|all]   (a tmpfs keeps disk noise out)
set -euo pipefail
qev=$(readlink -f "${1:-$(dirname "$0")/../build/qev}")
cases=${2:-all}
work=$(mktemp -d "${TMPDIR:-/tmp}/qev-many-XXXXXX")
trap 'rm -rf "$work"' EXIT
python3 - "$work" <<'PY'
import os, random, sys
random.seed(1)
work = sys.argv[1]
text = open("/usr/share/common-licenses/GPL-3", "rb").read() if os.path.exists("/usr/share/common-licenses/GPL-3") else os.urandom(65536)
def piece(i):
    n = random.randint(1, 200)
    start = random.randrange(0, len(text) - n)
    return text[start:start + n] if i % 4 else os.urandom(n)
root = os.path.join(work, "src")
os.mkdir(root)
dirs = [root]
for i in range(100):
    d = os.path.join(random.choice(dirs), "d%d" % i)
    os.mkdir(d)
    dirs.append(d)
for i in range(10000):
    data = piece(i)
    with open(os.path.join(random.choice(dirs[1:]), "f%d.txt" % i), "wb") as f:
        f.write(data)
flat = os.path.join(work, "m")
os.mkdir(flat)
for i in range(30000):
    data = piece(i)
    with open(os.path.join(flat, "f%05d.txt" % i), "wb") as f:
        f.write(data)
PY
cd "$work"
timed() { { /usr/bin/time -f '%e s, %M KiB' "$@" >/dev/null; } 2>&1 | tail -n 1; }
if [ "$cases" = all ] || [ "$cases" = tree ]; then
  for sw in "-h1 -b1" "-h4 -b2" "-h6 -b8"; do
    rm -rf a.qev out && mkdir out
    add=$(timed "$qev" a -r $sw a.qev src)
    ext=$(timed sh -c "cd out && '$qev' x ../a.qev")
    diff -r src out/src >/dev/null || { echo "extraction differs for $sw" >&2; exit 1; }
    echo "tree, -r $sw: add $add; extract $ext; archive $(stat -c %s a.qev) bytes"
  done
fi
if [ "$cases" = all ] || [ "$cases" = args ]; then
  rm -rf many.qev out && mkdir out
  add=$(timed "$qev" a -h1 -b1 many.qev m/*)
  ext=$(timed sh -c "cd out && '$qev' x ../many.qev")
  diff -r m out/m >/dev/null || { echo "extraction differs for m/*" >&2; exit 1; }
  echo "args, 30000 x m/f*.txt, -h1 -b1: add $add; extract $ext; archive $(stat -c %s many.qev) bytes"
fi
