#!/usr/bin/env bash
# Checks that a .sys file is what Windows loads as a kernel-mode driver:
# PE32+, native subsystem, entry point DriverEntry, and imports only from
# ntoskrnl.exe, hal.dll and hidparse.sys (no C or C++ runtime).
set -u
objdump=$1 nm=$2 image=$3
fail() { echo "FAIL: $image: $*"; exit 1; }

headers=$("$objdump" -p "$image") || fail "objdump cannot read it"
grep -Eq '^Magic[[:space:]]+020b' <<<"$headers" || fail "not PE32+ (optional header magic is not 0x20b)"
grep -Eq '^Subsystem[[:space:]]+00000001' <<<"$headers" || fail "subsystem is not native (1)"

base=$(awk '/^ImageBase/ {print $2}' <<<"$headers")
entry=$(awk '/^AddressOfEntryPoint/ {print $2}' <<<"$headers")
symbol=$("$nm" "$image" | awk '$3 == "DriverEntry" {print $1}')
[ -n "$symbol" ] || fail "no DriverEntry symbol"
[ $((16#$base + 16#$entry)) -eq $((16#$symbol)) ] || fail "entry point 0x$entry is not DriverEntry (0x$symbol)"

dlls=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$headers" | sort -u)
[ -n "$dlls" ] || fail "imports nothing"
for dll in $dlls; do
    case "$dll" in
    ntoskrnl.exe | hal.dll | hidparse.sys) ;;
    *) fail "imports from $dll" ;;
    esac
done
if grep -Eq '__cxa_|__gxx_|_Unwind_|msvcrt|ucrt|libstdc|libgcc' <<<"$headers"; then
    fail "refers to a C or C++ runtime"
fi
echo "ok: $image imports only from: $(echo $dlls)"
