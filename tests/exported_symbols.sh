#!/usr/bin/env bash
# exported_symbols.sh LIBRARY: the shared library exports its API and nothing
# else: the functions of orv::devMgmt, the members of Devices,
# MonitoredKeys::match_key, g_devices and g_monitored_keys.
set -euo pipefail
library=$1

symbols=$(nm -D --defined-only "$library" | awk '$2 != "A" {print $3}' | c++filt | sed 's/@.*//')
status=0
while IFS= read -r symbol; do
  case "$symbol" in
    orv::devMgmt::*|Devices::*|"MonitoredKeys::match_key("*|g_devices|g_monitored_keys) ;;
    *) echo "unexpected export: $symbol"; status=1 ;;
  esac
done <<< "$symbols"

for wanted in 'orv::devMgmt::init()' 'orv::devMgmt::uninit()' 'orv::devMgmt::get_device_ip(' \
              'orv::devMgmt::set_on_traffic_blocked_change(' 'Devices::load()' \
              'Devices::get_device_traffic_status(' 'MonitoredKeys::match_key(' g_devices \
              'orv::devMgmt::EventStream::open(' 'orv::devMgmt::event_kind_name(' \
              g_monitored_keys; do
  grep -qF "$wanted" <<< "$symbols" || { echo "missing export: $wanted"; status=1; }
done
for hidden in add_key remove_key handle_device_change sync_thread_function StreamQueue Streams; do
  if grep -q "$hidden" <<< "$symbols"; then echo "internal exported: $hidden"; status=1; fi
done
exit $status
