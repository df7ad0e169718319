#!/usr/bin/env bash
# exported_symbols.sh LIBRARY: a shared library exports its API and nothing
# else, every symbol under its version node.
#   liborvdevmgmt: the functions of orv::devMgmt, the members of Devices and
#     MonitoredKeys, the registry lock SubscriberLock, g_devices and
#     g_monitored_keys;
#   libvirazezazor: the store's functions and MonitoredKey, the logger, the
#     key paths, the memory stream and the error record; none of its
#     internals, no std:: instantiation.
set -euo pipefail
library=$1

case $(basename "$library") in
  liborvdevmgmt*)
    node=ORVDEVMGMT_1.0
    allowed='orv::devMgmt::*|Devices::*|MonitoredKeys::*|SubscriberLock::*|g_devices|g_monitored_keys'
    wanted=('orv::devMgmt::init()' 'orv::devMgmt::uninit()' 'orv::devMgmt::get_device_ip('
      'orv::devMgmt::set_on_traffic_blocked_change(' 'Devices::load()'
      'Devices::get_device_traffic_status(' 'MonitoredKeys::match_key(' 'MonitoredKeys::add_key('
      'MonitoredKeys::remove_key(' 'orv::devMgmt::EventStream::open(' 'orv::devMgmt::event_kind_name('
      g_devices g_monitored_keys)
    hidden=(handle_device_change sync_thread_function StreamQueue Streams CallsUnderWay) ;;
  *)
    node=VIRAZEZAZOR_1.0
    allowed='orv::setMgmt::[a-z]*\(*|orv::setMgmt::root*|orv::setMgmt::ReadPass::*|orv::setMgmt::NodeReader::*|orv::setMgmt::MonitoredKey::[!S]*|orv::log::*|orv::log_json\(*|orv::path::*|orv::basic_memstream::*|orv::memstream_internal::Buffer::*|orv::_ORVErrorStorage::*|orverrno|"TLS "*" for orverrno"|*" for orv::basic_memstream"*|*" for orv::memstream_internal::Buffer"'
    wanted=('orv::setMgmt::getKey(' 'orv::setMgmt::getKeyValue(' 'orv::setMgmt::deleteKey('
      'orv::setMgmt::MonitoredKey::get_fd()' 'orv::log::print(' 'orv::log::current_level'
      'orv::log_json(' 'orv::path::add_piece(' 'orv::_ORVErrorStorage::set(' orverrno)
    hidden=(setMgmt::internal:: MonitoredKey::State WatchTree) ;;
esac

raw=$(nm -D --defined-only "$library" | awk '$2 != "A" {print $3}')
symbols=$(c++filt <<< "$raw" | sed 's/@.*//')
status=0
while IFS= read -r symbol; do
  eval "case \"\$symbol\" in $allowed) ;; *) echo \"unexpected export: \$symbol\"; status=1 ;; esac"
done <<< "$symbols"
if grep -v "@@\?$node\$" <<< "$raw"; then echo "(not under $node)"; status=1; fi
for symbol in "${wanted[@]}"; do
  grep -qF "$symbol" <<< "$symbols" || { echo "missing export: $symbol"; status=1; }
done
if grep -E '^(std::|[a-z -]+ for std::)' <<< "$symbols"; then echo "(std:: exported)"; status=1; fi
for symbol in "${hidden[@]}"; do
  if grep -F "$symbol" <<< "$symbols"; then echo "internal exported: $symbol"; status=1; fi
done
exit $status
