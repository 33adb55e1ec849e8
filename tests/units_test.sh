#!/bin/sh
# The systemd units as the install puts them: BUILD's install into a scratch
# root, with the machine's own units and kill beside them, must pass
# systemd-analyze verify without a word (no running systemd is needed).
set -eu
root=$(mktemp -d) && trap 'rm -rf "$root"' EXIT
DESTDIR=$root cmake --install "$1" >/dev/null
[ -n "$(find "$root" -path '*/systemd/system/corvane.socket')" ] || { echo "no units installed"; exit 1; }
mkdir -p "$root/usr/lib/systemd" "$root/usr/bin" && ln -s usr/bin "$root/bin" && cp /bin/kill "$root/bin/"
cp -R /usr/lib/systemd/system "$root/usr/lib/systemd/" && rm -f "$root"/usr/lib/systemd/system/corvane.*
out=$(systemd-analyze verify --man=no --root="$root" corvane.socket corvane.service 2>&1) && [ -z "$out" ] ||
    { echo "$out"; exit 1; }
