#!/usr/bin/env bash
# The real voxenpci.sys through a whole power cycle under Wine's kernel-driver
# host, driven by the real voxenctl.exe. Wine builds no PCI device stacks, has
# no filter support and lacks some power services, so voxenharness.sys (test
# only: tests/wine/harness) plays the PCI bus driver, the bridge's ACPI filter
# and the Plug and Play manager, and loads voxenpci.sys itself. It is a boot
# driver: every new wineserver session is a new boot that loads both. The
# harness reports what it saw as values of its own service key and takes
# requests ("relations", "snapshot", "remove") left there as "Request".
set -u
sys=$1 ctl=$2 harness=$3
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
fail() {
    echo "FAIL: $*"
    [ -n "${events:-}" ] && echo "harness events:" && echo "$events"
    [ -n "${host_log:-}" ] && echo "the host's last lines:" && tail -40 "$host_log"
    exit 1
}
[ -x "$wine" ] || { echo "SKIP: wine64 is not installed"; exit 0; }

prefix=$(mktemp -d)
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap '"$wineserver" -k >/dev/null 2>&1; rm -rf "$prefix"' EXIT

voxen_key='HKLM\System\CurrentControlSet\Services\voxenpci'
harness_key='HKLM\System\CurrentControlSet\Services\voxenharness'
w() { timeout 120 "$wine" "$@" 2>&1 | tr -d '\r'; }
# A value as reg prints it (data only), or nothing when it is absent.
value() { w reg query "$1" /v "$2" | awk -v name="$2" '$1 == name {$1 = $2 = ""; print substr($0, 3)}'; }
harness_value() { value "$harness_key" "$1"; }
# The harness's events, one a line.
harness_events() { cat "$prefix/drive_c/voxenharness-events.txt" 2>/dev/null; }
ctl() { timeout 120 "$wine" 'C:\voxenctl.exe' "$@" 2>&1 | tr -d '\r'; }
# Leaves a request for the harness and prints its reply once it took it.
request() {
    w reg add "$harness_key" /v Request /t REG_SZ /d "$1" /f >/dev/null
    for _ in $(seq 100); do
        w reg query "$harness_key" /v Request | grep -q Request || { harness_value Reply | sed 's/\\0$//'; return; }
        sleep 0.2
    done
    fail "the harness did not take the request '$1'"
}
# The events up to now: a request makes the harness write them out.
fresh_events() { request report >/dev/null; harness_events; }
# A new boot: the wineserver session ends (the registry is saved) and the next
# one starts the boot drivers; the harness says it is ready with the number.
boot=0
reboot() {
    boot=$((boot + 1))
    w reg add "$harness_key" /v Boot /t REG_DWORD /d $boot /f >/dev/null
    "$wineserver" -k 2>/dev/null
    timeout 60 "$wineserver" -w
    # A server that stays up: otherwise the session, and with it the boot,
    # ends whenever no program runs, as between two polls of the test.
    "$wineserver" -p
    # The session's first process starts the service manager and so the
    # hosts: their debug output (the drivers' DbgPrint) goes to a log.
    host_log=$prefix/host-boot$boot.log
    WINEDEBUG=err+all,+debugstr,${1:-} timeout 100 "$wine" reg query "$harness_key" /v Boot >"$host_log" 2>&1
    for _ in $(seq 100); do
        [ "$(harness_value Ready)" = "$(printf '0x%x' $boot)" ] && return
        sleep 0.3
    done
    events=$(harness_events)
    fail "boot $boot: the harness did not report ready"
}

timeout 300 "$wine" wineboot --init >/dev/null 2>&1 || fail "the Wine prefix could not be made"
timeout 120 "$wineserver" -w || fail "the Wine prefix did not settle"
drivers=$prefix/drive_c/windows/system32/drivers
cp "$sys" "$harness" "$drivers/" && cp "$ctl" "$prefix/drive_c/" || fail "cannot copy the binaries"
# voxenpci is loaded by the harness (as the Plug and Play manager loads a
# filter for the first device that names it), never by the service manager.
w sc create voxenpci type= kernel start= demand error= normal binPath= 'C:\windows\system32\drivers\voxenpci.sys' >/dev/null
w sc create voxenharness type= kernel start= boot error= normal binPath= 'C:\windows\system32\drivers\voxenharness.sys' >/dev/null
[ "$(value "$voxen_key" Type)" = 0x1 ] && [ "$(value "$harness_key" Start)" = 0x0 ] || fail "the services were not created"

# --- Boot 1: no boot guard. The whole cycle. --------------------------------
reboot
events=$(harness_events)
for replaced in PoRequestPowerIrp IoGetDeviceProperty IoBuildDeviceIoControlRequest; do
    grep -q "^import $replaced of voxenpci.sys replaced" <<<"$events" || fail "$replaced was not replaced"
done
[ "$(harness_value BridgeFilter)" = voxenpci ] || fail "the bridge has no voxenpci filter"
[ "$(harness_value Child0Filter)/$(harness_value Child1Filter)" = voxenpci/voxenpci ] ||
    fail "the endpoint's functions are not filtered: $(harness_value Child0Filter)/$(harness_value Child1Filter)"
[ -z "$(value "$voxen_key" EnableDC)$(value "$voxen_key" DCState)" ] || fail "a load without EnableDC wrote the guard's values"
echo "boot 1 (no EnableDC): voxenpci loaded by the harness; bridge and both functions filtered; EnableDC and DCState not written"

list=$(ctl list)
expected=$'bridges: 1\nbridge 0: 8086:a110 bus 00, 2 child(ren)\n  child 0: 10de:1c8d bus 01\n  child 1: 10de:0fb9 bus 01\nSTATUS_SUCCESS (0x00000000)'
[ "$list" = "$expected" ] || fail "voxenctl list: $list"
echo "voxenctl list: $(echo $list)"
[ "$(request relations)" = 0x00000000 ] || fail "bus relations before the cycle failed"

# child-power: voxenctl prints the driver's status first.
step() {
    local out
    out=$(ctl child-power "$@")
    grep -q "^STATUS_SUCCESS (0x00000000)" <<<"$out" || fail "voxenctl child-power $*: $out"
    echo "voxenctl child-power $*: $(echo $out)"
}

step 01:00.0 D3 --irp
events=$(fresh_events)
grep -q "bus driver: set power D3 for 01:00.0" <<<"$events" || fail "no D3 power IRP reached 01:00.0"
relations=$(request relations)
[ "$relations" = 0xC000022D ] || fail "bus relations with 01:00.0 in D3: $relations, not STATUS_RETRY"
echo "  harness: a set-power D3 IRP reached 01:00.0's PDO; bus relations then answered $relations (STATUS_RETRY)"

step 01:00.0 D3 --platform
events=$(fresh_events)
grep -q "ACPI filter: _DSM function 3 argument 0" <<<"$events" || fail "the ACPI filter saw no _DSM function 3 argument 0"
[ "$(harness_value Powered)" = 0x0 ] || fail "the endpoint's power was not cut"
echo "  harness: _DSM function 3 argument 0, the endpoint's power cut (its registers read all ones)"

step 01:00.0 D0 --platform
request snapshot >/dev/null
events=$(harness_events)
grep -q "ACPI filter: _DSM function 3 argument 1" <<<"$events" || fail "the ACPI filter saw no _DSM function 3 argument 1"
[ "$(harness_value Powered)" = 0x1 ] || fail "the endpoint's power was not restored"
silent=$(harness_value SilentReads0)
[ $((silent)) -gt 0 ] || fail "the driver never read 01:00.0 while it did not answer yet: it did not wait"
for fn in 0 1; do
    before=$(harness_value ConfigBefore$fn) after=$(harness_value ConfigAfter$fn) reset=$(harness_value ConfigAtPowerOn$fn)
    [ ${#before} = 8192 ] || fail "01:00.$fn: no configuration space reported before the cycle"
    [ "$before" != "$reset" ] || fail "01:00.$fn: the power loss changed nothing; the test would prove nothing"
    [ "$before" = "$after" ] || fail "01:00.$fn: configuration space not restored"
done
echo "  harness: _DSM function 3 argument 1, power back; the driver read 01:00.0 $((silent)) time(s) before it answered"
echo "  harness: 01:00.0 and 01:00.1: the 4096 bytes after equal those before; the power loss had reset them"

relations=$(request relations)
[ "$relations" = 0xC000022D ] || fail "bus relations with 01:00.0 still in D3 by power IRPs: $relations"
step 01:00.0 D0 --irp
grep -q "bus driver: set power D0 for 01:00.0" <<<"$(fresh_events)" || fail "no D0 power IRP reached 01:00.0"
relations=$(request relations)
[ "$relations" = 0x00000000 ] || fail "bus relations after D0: $relations"
echo "  harness: a set-power D0 IRP reached 01:00.0's PDO; bus relations pass again ($relations)"

# A request for a device nobody knows is refused, and 69 s later the driver
# invalidates the bridge's bus relations: Wine's Plug and Play manager then
# sends the bridge a query the harness did not send. Nothing comes early.
others_before=$(( $(harness_value OtherRelationsQueries) ))
asked=$SECONDS
absent=$(ctl child-power 05:00.0 D3 --irp)
grep -q "^STATUS_INVALID_PARAMETER (0xC000000D)" <<<"$absent" || fail "voxenctl child-power of an absent device: $absent"
echo "voxenctl child-power 05:00.0 D3 --irp: $(echo $absent)"
for _ in $(seq 120); do
    request report >/dev/null
    [ $(( $(harness_value OtherRelationsQueries) )) -gt $others_before ] && break
    sleep 1
done
waited=$((SECONDS - asked))
events=$(harness_events)
[ $(( $(harness_value OtherRelationsQueries) )) -gt $others_before ] ||
    fail "no bus-relations query followed the absent device within ${waited} s"
[ $waited -ge 60 ] || fail "the rescan came after ${waited} s, before its 69 s"
echo "  harness: ${waited} s later a bus-relations query it did not send reached the bridge (the driver's rescan)"

removed=$(request remove)
grep -q "^removed 0x00000000 0x00000000 0x00000000; left above the PDOs: nothing nothing nothing$" <<<"$removed" ||
    fail "removal: $removed"
echo "  harness: $removed"

armed=$(ctl arm-guard)
grep -q "^STATUS_SUCCESS (0x00000000)" <<<"$armed" || fail "voxenctl arm-guard: $armed"
[ "$(value "$voxen_key" EnableDC)/$(value "$voxen_key" DCState)" = 0x7aade22/0x80ea2 ] ||
    fail "arm-guard wrote EnableDC $(value "$voxen_key" EnableDC), DCState $(value "$voxen_key" DCState)"
echo "voxenctl arm-guard: EnableDC 0x7aade22, DCState 0x80ea2"

# --- Boot 2: the guard armed by the boot before. ------------------------------
reboot
[ "$(value "$voxen_key" DCState)" = 0x0 ] || fail "boot 2: DCState is $(value "$voxen_key" DCState), not reset to 0"
[ "$(harness_value BridgeFilter)" = voxenpci ] || fail "boot 2, armed: the bridge has no filter"
[ "$(ctl list | head -1)" = "bridges: 1" ] || fail "boot 2: voxenctl list: $(ctl list)"
echo "boot 2 (armed): DCState reset to 0; the bridge filtered; voxenctl list: bridges: 1"

# --- Boot 3: the guard enabled, not armed. ------------------------------------
# The registry's trace shows which values the driver reads.
reboot trace+reg
[ "$(harness_value BridgeFilter)" = none ] || fail "boot 3, not armed: the bridge got a filter"
[ "$(ctl list)" = $'bridges: 0\nSTATUS_SUCCESS (0x00000000)' ] || fail "boot 3: voxenctl list: $(ctl list)"
[ "$(value "$voxen_key" DCState)" = 0x0 ] || fail "boot 3: DCState is $(value "$voxen_key" DCState)"
grep -q "voxenpci AddDevice for the bridge: 0x00000000, no filter" <<<"$(harness_events)" || fail "boot 3: AddDevice did not decline"
for flag in EnableCfgRestore EnablePolling EnablePollingPostACPI; do
    grep -q "NtQueryValueKey.*L\"$flag\"" "$host_log" || fail "boot 3: the driver did not read $flag"
done
echo "boot 3 (enabled, not armed): AddDevice declined the bridge (no filter); voxenctl list: bridges: 0; the driver still read EnableCfgRestore, EnablePolling and EnablePollingPostACPI"
