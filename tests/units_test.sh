#!/bin/sh
# The systemd units as the install puts them: BUILD's install into a scratch
# root, with the machine's own units and kill beside them, must pass
# systemd-analyze verify without a word (no running systemd is needed).
set -eu
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR=$root cmake --install "$build" >/dev/null
[ -n "$(find "$root" -path '*/systemd/system/corvane.socket')" ] || { echo "no units installed"; exit 1; }
mkdir -p "$root/usr/lib/systemd" "$root/usr/bin"
cp -R /usr/lib/systemd/system "$root/usr/lib/systemd/"
rm -f "$root"/usr/lib/systemd/system/corvane.*
cp /bin/kill "$root/usr/bin/" && ln -s usr/bin "$root/bin"
out=$(systemd-analyze verify --man=no --root="$root" corvane.socket corvane.service 2>&1) && [ -z "$out" ] ||
    { echo "$out"; exit 1; }
