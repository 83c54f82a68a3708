#!/usr/bin/env bash
# Stores a tree that holds what a Linux tree is made of (owners, set-id and
# sticky bits, hard links, a sparse file, attributes, a capability, ACLs, a
# FIFO, a device, links of every kind) with qev and with tar, restores both,
# and compares manifests of the two restored trees. Exit 77: cannot be run
# here (the reason on standard output).
set -euo pipefail
qev=$1
as_user=${2:-}  # a user name: the restores run as that user
[ "$(id -u)" = 0 ] || { echo "needs root to make owners, devices and capabilities"; exit 77; }
for tool in tar setfacl getfacl getfattr setfattr setcap mknod; do
  command -v "$tool" >/dev/null || { echo "needs $tool"; exit 77; }
done
if [ -n "$as_user" ]; then
  id "$as_user" >/dev/null 2>&1 || { echo "needs the user $as_user"; exit 77; }
  command -v setpriv >/dev/null || { echo "needs setpriv"; exit 77; }
fi
work=$(mktemp -d)
chmod 755 "$work"
trap 'chmod -R u+w "$work" 2>/dev/null; rm -rf "$work"' EXIT
# The program where another user can run it.
cp "$qev" "$work/qev"
qev=$work/qev
t=$work/tree
mkdir -p "$t/home/alice/docs" "$t/home/bob" "$t/shared" "$t/ro"
# An attribute store this filesystem refuses makes the comparison moot.
touch "$work/probe"
setfattr -n user.probe -v 1 "$work/probe" 2>/dev/null || { echo "the filesystem takes no user attributes"; exit 77; }
setfacl -m u:nobody:r "$work/probe" 2>/dev/null || { echo "the filesystem takes no ACLs"; exit 77; }

echo "alice's notes" > "$t/home/alice/docs/notes.txt"
head -c 300000 /dev/urandom > "$t/home/alice/docs/blob.bin"
echo "bob" > "$t/home/bob/plan"
chown -R nobody:nogroup "$t/home/alice"
chown 12345:54321 "$t/home/bob" "$t/home/bob/plan"   # numbers without names
cp /bin/true "$t/shared/tool"
chmod 4755 "$t/shared/tool"
cp /bin/true "$t/shared/ping"
setcap cap_net_raw+ep "$t/shared/ping"
echo gid > "$t/shared/setgid"; chmod 2750 "$t/shared/setgid"; chgrp nogroup "$t/shared/setgid"
mkdir "$t/shared/drop"; chmod 1777 "$t/shared/drop"
# Hard links within a folder and across folders.
echo "linked" > "$t/shared/one"
ln "$t/shared/one" "$t/shared/two"
ln "$t/shared/one" "$t/home/bob/three"
# A 1 GiB sparse file with three data runs.
truncate -s 1G "$t/shared/disk.img"
for at in 0 300 900; do
  head -c 1048576 /dev/urandom | dd of="$t/shared/disk.img" bs=1M seek=$at conv=notrunc status=none
done
setfattr -n user.comment -v "a comment" "$t/home/alice/docs/notes.txt"
setfattr -n user.binary -v 0x00ff10 "$t/shared/one"
setfacl -m u:nobody:rw,g:nogroup:r "$t/home/alice/docs/notes.txt"
setfacl -d -m u:nobody:rwx "$t/shared"
mkfifo "$t/shared/pipe"
mknod "$t/shared/null" c 1 3
ln -s alice/docs/notes.txt "$t/home/rel"
ln -s /etc/hostname "$t/home/abs"
ln -s missing "$t/home/dangling"
echo ro > "$t/ro/file"
chmod 555 "$t/ro"
touch -d '2001-02-03 04:05:06.789' "$t/home/alice/docs/notes.txt"
# Times last, folders deepest first.
touch -h -d '2002-01-01 00:00:00.5' "$t/home/rel"
find "$t" -depth -type d -exec touch -d '2003-03-03 03:03:03.123456789' {} +

(cd "$work" && "$qev" a -r -n q.qev tree > qev-add.log) || { cat "$work/qev-add.log"; exit 1; }
(cd "$work" && tar --xattrs --xattrs-include='*' --acls --sparse -cpf t.tar tree)

run() {  # as root, or as the user
  if [ -n "$as_user" ]; then setpriv --reuid="$as_user" --regid="$(id -g "$as_user")" --clear-groups "$@"; else "$@"; fi
}
mkdir "$work/by-qev" "$work/by-tar"
chown "${as_user:-root}" "$work/by-qev" "$work/by-tar"
chmod 644 "$work/q.qev" "$work/t.tar"
status=0
(cd "$work/by-qev" && run "$qev" x -n ../q.qev > ../qev-x.log 2>&1) || status=$?
if [ -n "$as_user" ]; then
  # An ordinary user gets no ACLs and no set-id or sticky bits back, which
  # is what tar gives without -p, under a umask that takes nothing away.
  (cd "$work/by-tar" && umask 0 && run tar --xattrs --xattrs-include='*' --no-acls --no-same-permissions -xf ../t.tar \
    2> ../tar-x.log) || true
else
  (cd "$work/by-tar" && run tar --xattrs --xattrs-include='*' --acls -xpf ../t.tar 2> ../tar-x.log) || true
fi
if [ -z "$as_user" ] && [ "$status" != 0 ]; then cat "$work/qev-x.log"; echo "qev x ended with $status"; exit 1; fi
if [ -n "$as_user" ] && [ "$status" != 1 ]; then cat "$work/qev-x.log"; echo "qev x as $as_user ended with $status, not 1 (the device)"; exit 1; fi

manifest() {
  (cd "$1/tree" && find . -print0 | LC_ALL=C sort -z | while IFS= read -r -d '' p; do
    # Type, mode, owner, size, blocks, mtime, link target, hard-link count;
    # a folder's size and blocks are the filesystem's business.
    if [ -d "$p" ] && [ ! -L "$p" ]; then
      stat -c '%n %F %a %u %g - - %.9Y' "$p"
    else
      stat -c '%n %F %a %u %g %s %b %.9Y %N %h' "$p"
    fi
    if [ -f "$p" ] && [ ! -L "$p" ] && [ "$(stat -c %h "$p")" -gt 1 ]; then
      echo "  group $(find . -samefile "$p" | LC_ALL=C sort | tr '\n' ' ')"
    fi
    getfattr -d -m - -h --absolute-names -e hex "$p" 2>/dev/null | grep -v '^#' | grep -v '^$' | sed 's/^/  /' || true
    if [ ! -L "$p" ]; then getfacl -cp "$p" 2>/dev/null | sed 's/^/  acl /' || true; fi
  done)
}
# An ordinary user restores no ACLs (tar does, for files the user owns).
no_acls() { if [ -n "$as_user" ]; then grep -v -e '^  acl ' -e '^  system.posix_acl_'; else cat; fi; }
manifest "$work/by-qev" | no_acls > "$work/qev.manifest"
manifest "$work/by-tar" | no_acls > "$work/tar.manifest"
if ! diff -u "$work/tar.manifest" "$work/qev.manifest"; then
  echo "--- qev x said:"; cat "$work/qev-x.log"
  exit 1
fi
# The sparse file takes no more blocks than its data (3 MiB) and a block
# for each hole.
blocks=$(stat -c %b "$work/by-qev/tree/shared/disk.img")
[ "$blocks" -le $(( (3 * 1048576 + 3 * 4096) / 512 )) ] || { echo "the sparse file takes $blocks blocks"; exit 1; }
chmod -R u+w "$work" 2>/dev/null || true
echo "the trees restored by qev and tar are the same"
