#!/usr/bin/env bash
# orv-devices watch --json: the listing, then the library's events for a
# scripted change (device-info events before key events, the traffic-blocked
# report), and a clean stop on SIGTERM.
source "$(dirname "$0")/lib.sh"

store="$work/store"
mkdir "$store"
settings() { "$settings_tool" --root "$store" "$@"; }
settings import "$example"

"$devices_tool" --root "$store" watch --json >"$work/events" 2>"$work/stderr" &
watch_pid=$!
cleanup_hooks+=("kill -KILL $watch_pid 2>/dev/null")
out="$work/events"
wait_for_line "$out" '{"event":"ready","devices":12}'
# The sync thread announces every device again once it watches the store;
# the last one (in the store's order) means changes now reach it.
wait_for_line "$out" '{"event":"new_dev","device_id":"watch-anna"}'

[ "$(grep -c '^{"event":"device","device":{' "$out")" -eq 12 ] || fail "not 12 device lines"
grep -qF '"device_id":"tv-living","profile_id":"","macs":[{"mac":"8c:79:f5:aa:10:02","ip":"192.168.1.40"}],"display_name":"Télé du salon"' \
  "$out" || fail "the TV's listing: $(grep tv-living "$out" | head -1)"

mac=b8:e9:37:0a:11:22
settings set "/devices/speaker/macs/$mac" 192.168.1.80
wait_for_line "$out" '{"event":"key","key":"/devices/speaker/macs/'$mac'"}'
settings set /devices/speaker/display_name "Küchen-Lautsprecher"
wait_for_line "$out" '{"event":"key","key":"/devices/speaker/display_name"}'
settings set /devices/speaker/traffic_blocked 1
wait_for_line "$out" '{"event":"traffic_blocked","status":{"device_id":"speaker","blocked":1,"macs":["'$mac'"],"ips":["192.168.1.80"]}}'
settings set "/devices/speaker/macs/$mac" 192.168.1.81
wait_for_line "$out" '{"event":"updated","device_id":"speaker","field":"macs","value":[{"mac":"'$mac'","ip":"192.168.1.81"}]}'
settings del /devices/speaker
wait_for_line "$out" '{"event":"key","key":"/devices/speaker"}'

# A value written into a node the store's watch has just taken up may be
# reported twice (once found by the scan of the new node, once by its own
# event); the library then passes the key on twice. uniq folds such repeats.
grep -F 'speaker' "$out" | uniq >"$work/speaker"
cat >"$work/expected" <<EOF
{"event":"new_dev","device_id":"speaker"}
{"event":"updated","device_id":"speaker","field":"macs","value":[{"mac":"$mac","ip":"192.168.1.80"}]}
{"event":"key","key":"/devices/speaker/macs/$mac"}
{"event":"updated","device_id":"speaker","field":"display_name","value":"Küchen-Lautsprecher"}
{"event":"key","key":"/devices/speaker/display_name"}
{"event":"updated","device_id":"speaker","field":"traffic_blocked","value":1}
{"event":"key","key":"/devices/speaker/traffic_blocked"}
{"event":"traffic_blocked","status":{"device_id":"speaker","blocked":1,"macs":["$mac"],"ips":["192.168.1.80"]}}
{"event":"updated","device_id":"speaker","field":"macs","value":[{"mac":"$mac","ip":"192.168.1.81"}]}
{"event":"key","key":"/devices/speaker/macs/$mac"}
{"event":"removed","device_id":"speaker"}
{"event":"key","key":"/devices/speaker"}
EOF
diff "$work/expected" "$work/speaker" >&2 || fail "the speaker's events differ (see above)"

kill -TERM "$watch_pid"
wait_for_exit "$watch_pid"
expect_equal "$status" 0 "watch's exit status after SIGTERM"
expect_equal "$(tail -1 "$out")" '{"event":"stopped","signal":"SIGTERM"}' "the last line"
[ ! -s "$work/stderr" ] || fail "watch wrote on stderr: $(head -3 "$work/stderr")"
echo "devices watch: ok"
