#!/usr/bin/env bash
# Many small files: 10,000 files of 1 to 200 bytes in a nested tree of 100
# folders, added with -r and extracted, at the smallest and the largest table
# and ring sizes. Prints the times; the trees are compared byte for byte.
# Usage: [TMPDIR=/dev/shm] bench/many_files.sh [QEV_BINARY]   (a tmpfs keeps disk noise out)
set -euo pipefail
qev=$(readlink -f "${1:-$(dirname "$0")/../build/qev}")
work=$(mktemp -d "${TMPDIR:-/tmp}/qev-many-XXXXXX")
trap 'rm -rf "$work"' EXIT
python3 - "$work/src" <<'PY'
import os, random, sys
random.seed(1)
root = sys.argv[1]
os.mkdir(root)
dirs = [root]
for i in range(100):
    d = os.path.join(random.choice(dirs), "d%d" % i)
    os.mkdir(d)
    dirs.append(d)
text = open("/usr/share/common-licenses/GPL-3", "rb").read() if os.path.exists("/usr/share/common-licenses/GPL-3") else os.urandom(65536)
for i in range(10000):
    n = random.randint(1, 200)
    start = random.randrange(0, len(text) - n)
    data = text[start:start + n] if i % 4 else os.urandom(n)
    with open(os.path.join(random.choice(dirs[1:]), "f%d.txt" % i), "wb") as f:
        f.write(data)
PY
cd "$work"
for sw in "-h1 -b1" "-h4 -b2" "-h6 -b8"; do
  rm -rf a.qev out && mkdir out
  add=$( { /usr/bin/time -f '%e s, %M KiB' "$qev" a -r $sw a.qev src >/dev/null; } 2>&1 | tail -n 1)
  ext=$( { /usr/bin/time -f '%e s, %M KiB' sh -c "cd out && '$qev' x ../a.qev" >/dev/null; } 2>&1 | tail -n 1)
  diff -r src out/src >/dev/null || { echo "extraction differs for $sw" >&2; exit 1; }
  echo "$sw: add $add; extract $ext; archive $(stat -c %s a.qev) bytes"
done
