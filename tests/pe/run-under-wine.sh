#!/usr/bin/env bash
# Installs the real voxenpci.sys through its INF in Wine, in a fresh Wine
# prefix, as an administrator would on Windows: the install section copies the
# driver and registers its service and the System class's upper filter. Then
# starts the service (Wine builds no PCI device stacks, so nothing would load
# it otherwise), opens the control device with voxenctl.exe, uninstalls
# through the INF and checks that the filter and the service are gone.
set -u
sys=$1 ctl=$2 inf=$3
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
fail() { echo "FAIL: $*"; exit 1; }
[ -x "$wine" ] || fail "wine64 is not installed"

prefix=$(mktemp -d)
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap '"$wineserver" -k >/dev/null 2>&1; rm -rf "$prefix"' EXIT

service_key='HKLM\System\CurrentControlSet\Services\voxenpci'
class_key='HKLM\System\CurrentControlSet\Control\Class\{4d36e97d-e325-11ce-bfc1-08002be10318}'
w() { timeout 120 "$wine" "$@" 2>&1 | tr -d '\r'; }
# The value of NAME in the service key, as reg prints it.
service_value() { w reg query "$service_key" /v "$1" | awk -v name="$1" '$1 == name {print $3}'; }
# The class's upper filters, one a line.
upper_filters() { w reg query "$class_key" /v UpperFilters | awk '$1 == "UpperFilters" {print $3}' | sed 's/\\0/\n/g'; }
inf_section() { timeout 120 "$wine" rundll32.exe setupapi.dll,InstallHinfSection "$1" 128 'C:\voxenpci\voxenpci.inf' >/dev/null 2>&1; }

timeout 300 "$wine" wineboot --init >/dev/null 2>&1 || fail "the Wine prefix could not be made"
# Let the first boot of the prefix finish: its service manager must start
# afresh to see a service created afterwards.
timeout 120 "$wineserver" -w || fail "the Wine prefix did not settle"

# The driver package as it is shipped: the INF beside the driver.
package=$prefix/drive_c/voxenpci
mkdir -p "$package" && cp "$sys" "$inf" "$ctl" "$package/" || fail "cannot copy the driver package"

inf_section DefaultInstall.NTamd64 || fail "the INF's install section failed"
installed=$prefix/drive_c/windows/system32/drivers/voxenpci.sys
cmp -s "$sys" "$installed" || fail "the install did not copy voxenpci.sys to system32\\drivers"
[ "$(service_value Type)" = 0x1 ] || fail "the service is not a kernel driver: Type $(service_value Type)"
[ "$(service_value Start)" = 0x0 ] || fail "the service does not start with the boot drivers: Start $(service_value Start)"
[ "$(service_value ErrorControl)" = 0x1 ] || fail "ErrorControl is $(service_value ErrorControl), not 0x1"
image=$(service_value ImagePath)
grep -qi 'system32\\drivers\\voxenpci\.sys$' <<<"$image" || fail "ImagePath is '$image'"
filters=$(upper_filters)
grep -qx voxenpci <<<"$filters" || fail "the System class's UpperFilters do not name voxenpci: '$filters'"
echo "installed: service voxenpci (kernel driver, boot start, $image); System class upper filters: $(echo $filters)"

# A second install adds nothing: the filter is appended only when missing.
inf_section DefaultInstall.NTamd64 || fail "the INF's install section failed the second time"
[ "$(upper_filters | grep -cx voxenpci)" = 1 ] || fail "a second install named voxenpci twice: $(echo $(upper_filters))"

started=$(w sc start voxenpci)
grep -q "RUNNING" <<<"$started" || fail "the driver did not start: $started"
echo "voxenpci.sys: DriverEntry ran and the service is running"

status=$(w 'C:\voxenpci\voxenctl.exe' status)
grep -q "control device is open" <<<"$status" || fail "voxenctl could not open the control device: $status"
echo "voxenctl status: $status"
# Wine builds no PCI device stacks, so the driver filters no bridge: the
# count comes from the driver's own control dispatch, with its status.
list=$(w 'C:\voxenpci\voxenctl.exe' list)
[ "$(printf '%s\n' "$list" | tr -d '\r')" = "$(printf 'bridges: 0\nSTATUS_SUCCESS (0x00000000)')" ] ||
    fail "voxenctl list: $list"
echo "voxenctl list: $(echo $list)"
# Arming the boot guard writes both values into the service key.
armed=$(w 'C:\voxenpci\voxenctl.exe' arm-guard)
grep -q "^STATUS_SUCCESS (0x00000000)" <<<"$armed" || fail "voxenctl arm-guard: $armed"
[ "$(service_value EnableDC)" = 0x7aade22 ] || fail "arm-guard left EnableDC at '$(service_value EnableDC)'"
[ "$(service_value DCState)" = 0x80ea2 ] || fail "arm-guard left DCState at '$(service_value DCState)'"
echo "voxenctl arm-guard: $(echo $armed); EnableDC and DCState written"
# An unknown request is refused by the driver, and voxenctl says so with exit 1.
# A child power request for a device the driver does not know: refused, a
# rescan scheduled on the driver's own thread.
child=$(timeout 120 "$wine" 'C:\voxenpci\voxenctl.exe' child-power 05:00.0 D3 --irp 2>&1)
childExit=$?
grep -q "STATUS_INVALID_PARAMETER (0xC000000D)" <<<"$child" && [ "$childExit" = 1 ] ||
    fail "voxenctl child-power of an unknown device: exit $childExit, $child"
echo "voxenctl child-power 05:00.0 D3 --irp: $(echo $child | tr -d '\r'), exit 1"
raw=$(timeout 120 "$wine" 'C:\voxenpci\voxenctl.exe' raw 0x80000024 2>&1)
rawExit=$?
grep -q "STATUS_INVALID_DEVICE_REQUEST (0xC0000010)" <<<"$raw" && [ "$rawExit" = 1 ] ||
    fail "voxenctl raw of an unknown code: exit $rawExit, $raw"

inf_section DefaultUninstall.NTamd64 || fail "the INF's uninstall section failed"
filters=$(upper_filters)
! grep -qx voxenpci <<<"$filters" || fail "the System class's UpperFilters still name voxenpci: '$filters'"
# The service is stopped, then deleted once it has stopped.
for _ in $(seq 60); do
    timeout 120 "$wine" reg query "$service_key" >/dev/null 2>&1 || break
    sleep 1
done
! timeout 120 "$wine" reg query "$service_key" >/dev/null 2>&1 || fail "the service key is still there after uninstalling"
w sc query voxenpci | grep -q "STATE" && fail "the service still exists after uninstalling"
echo "uninstalled: no voxenpci in the class's upper filters, no voxenpci service"
