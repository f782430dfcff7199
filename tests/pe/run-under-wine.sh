#!/usr/bin/env bash
# Loads the real voxenpci.sys in Wine's kernel-driver host, in a fresh Wine
# prefix, and opens its control device from user mode with voxenctl.exe.
set -u
sys=$1 ctl=$2
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
fail() { echo "FAIL: $*"; exit 1; }
[ -x "$wine" ] || fail "wine64 is not installed"

prefix=$(mktemp -d)
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap '"$wineserver" -k >/dev/null 2>&1; rm -rf "$prefix"' EXIT

timeout 300 "$wine" wineboot --init >/dev/null 2>&1 || fail "the Wine prefix could not be made"
# Let the first boot of the prefix finish: its service manager must start
# afresh to see a service created afterwards.
timeout 120 "$wineserver" -w || fail "the Wine prefix did not settle"
cp "$sys" "$ctl" "$prefix/drive_c/" || fail "cannot copy the binaries"

timeout 120 "$wine" sc create voxenpci type= kernel binpath= 'C:\voxenpci.sys' >/dev/null 2>&1 || fail "sc create"
started=$(timeout 120 "$wine" sc start voxenpci 2>&1)
grep -q "RUNNING" <<<"$started" || fail "the driver did not start: $started"
echo "voxenpci.sys: DriverEntry ran and the service is running"

status=$(timeout 120 "$wine" 'C:\voxenctl.exe' status 2>&1)
grep -q "control device is open" <<<"$status" || fail "voxenctl could not open the control device: $status"
echo "voxenctl.exe: $status"
