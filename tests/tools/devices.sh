#!/usr/bin/env bash
# orv-devices end to end: list, show, mac and ip over the example network (the
# library's view of it, the table aligned by characters, lookups and their
# failures), status, text from the LAN shown without control characters, a
# store root that can't serve or be watched, and watch: the listing, then the
# library's events for a scripted change, a reload, and a clean stop on SIGTERM.
source "$(dirname "$0")/lib.sh"

store="$work/store"
mkdir "$store"
"$settings_tool" --root "$store" import "$example"
devices=("$devices_tool" --root "$store")

"${devices[@]}" list >"$work/list.txt"
expect_equal "$(wc -l <"$work/list.txt")" 13 "list: a header and 12 devices"
# The TV's row, the blocked camera, two MACs, a device without MACs, a MAC
# without IP.
expect_equal "$(grep -c "$work/list.txt" \
  -e "^tv-living  *Télé du salon  *tv  *Tizen 7.0  *0  *0  *2  *8c:79:f5:aa:10:02 192.168.1.40$" \
  -e "^cam-porch .* 1 .* ec:71:db:3a:55:01 192.168.1.50$" -e "^watch-anna .* -$" \
  -e "^laptop-anna .*00:e0:4c:68:01:7f 192.168.1.31, a4:83:e7:12:9b:40 192.168.1.30$" \
  -e "^tablet-kids .* 9c:e6:5e:07:44:b8 (no IP)$")" 5 "list rows"
# Every row starts its last column where the header does, counted in
# characters: non-ASCII names take one column per character.
prefix=$(head -1 "$work/list.txt") prefix=${prefix%%MAC/IP}
while IFS= read -r row; do
  [ "${row:${#prefix}-2:2}" == "  " ] && [ "${row:${#prefix}:1}" != " " ] || fail "list: misaligned: $row"
done <"$work/list.txt"
tail -n +2 "$work/list.txt" | LC_ALL=C sort -C || fail "list: rows not in the order of the ids"

"${devices[@]}" show laptop-anna >"$work/show.txt"
expect_equal "$(grep -cxF -e 'display_name: "Anna'"'"'s MacBook"' -e "onvelk: 1" \
  -e "  a4:83:e7:12:9b:40  192.168.1.30" "$work/show.txt")" 3 "show: the name, onvelk, a binding"
expect_equal "$("${devices[@]}" --json show phone-guest)" '{"device_id":"phone-guest","profile_id":"","macs":[{"mac":"da:a1:19:6b:2f:33","ip":"192.168.2.14"}],"display_name":"Guest phone","device_type":"phone","device_os":"Android","device_os_version":"13","device_model":"Galaxy A54","device_manufacturer":"Samsung","velk_device_id":"","traffic_blocked":0,"onvelk":0,"onguest":1,"scan_level":1}' \
  "show --json"
# (the second MAC asked for with the option last)
expect_equal "$("${devices[@]}" mac a4:83:e7:12:9b:40; "$devices_tool" mac 00:e0:4c:68:01:7f --root="$store"
  "${devices[@]}" --json ip 192.168.2.14; "${devices[@]}" ip ""; "${devices[@]}" --json list | wc -l)" \
  $'laptop-anna\nlaptop-anna\n{"device_id":"phone-guest"}\ntablet-kids\n12' "mac, second mac, ip --json, the binding without IP, list --json"

# Values the store can't hand over (here over the size cap: a field and a
# MAC's IP) show as the library's defaults, and list and show say so: one
# line each, exit 4.
tv_mac=macs/8c:79:f5:aa:10:02
head -c 1048577 /dev/zero | tee "$store/devices/tv-living/$tv_mac" >"$store/devices/tv-living/device_type"
for command in "show tv-living 15" "ls 13"; do
  run "${devices[@]}" --timeout 0 ${command% *}
  expect_equal "$status $(grep -c . "$work/out") $(cat "$work/err")" "4 ${command##* } $(for field in device_type $tv_mac; do
    echo "orv-devices: device tv-living: value of /devices/tv-living/$field is larger than 1048576 bytes"; done)" "$command"
done
"$settings_tool" --root "$store" set /devices/tv-living/device_type tv
"$settings_tool" --root "$store" set "/devices/tv-living/$tv_mac" 192.168.1.40
# The log threshold reaches the library: level 2 shows each loaded device; the
# default shows nothing. $ORV_LOG_LEVEL is the default, when it is a number.
"${devices[@]}" --log-level 2 list 2>&1 >/dev/null | grep "New device: device id=tv-living" >/dev/null ||
  fail "--log-level 2"
ORV_LOG_LEVEL=2 "${devices[@]}" list 2>&1 >/dev/null | grep "New device: device id=tv-living" >/dev/null ||
  fail "ORV_LOG_LEVEL=2"
ORV_LOG_LEVEL=2x run "${devices[@]}" list && [ ! -s "$work/err" ] || fail "the default level logs: $(head -3 "$work/err")"

# status: the sync thread's figures once it watches the store; a store
# without /devices is not watched, which status shows, and holds no device,
# which list shows at once.
expect_equal "$("${devices[@]}" status | grep -e watching -e last_load_devices -e last_store_error)" \
  $'watching: yes\nlast_load_devices: 12\nlast_store_error: ""' "status"
"${devices[@]}" status --json >"$work/status.json"
grep -qE '^\{"running":true,"watching":true,"loads":([2-9]|[1-9][0-9]+),"last_load_devices":12,' \
  "$work/status.json" || fail "status --json: $(cat "$work/status.json")"
mkdir "$work/bare"
run "$devices_tool" --root "$work/bare/" --timeout 200 status  # messages name it without the slash
[ "$status" -eq 3 ] && [[ "$(tail -1 "$work/err")" == "orv-devices: store $work/bare: "?* ]] &&
  grep -qx "watching: no" "$work/out" || fail "status on a store without /devices: $status, $(cat "$work/err")"
run "$devices_tool" --root "$work/bare" --timeout 60000 --json list
[ "$status" -eq 0 ] && [ ! -s "$work/out" ] || fail "list on a store without /devices: $status"
# watch --timeout 0 waits for /devices as long as it takes, then lists it.
"$devices_tool" --root "$work/bare" --timeout 0 watch --json >"$work/bare.out" 2>"$work/bare.err" &
bare_pid=$!
wait_for_text "$work/bare.err" "cannot watch"
"$settings_tool" --root "$work/bare" set /devices/late/display_name late
wait_for_line "$work/bare.out" '{"event":"synced","devices":1}'
stop "$bare_pid"

# Names, MACs and values come from the LAN: no control character reaches the
# terminal raw, in the table, in show, in a lookup or in watch's lines.
odd="$work/odd"
mkdir "$odd"
"$settings_tool" --root "$odd" set $'/devices/ev\x1bil/display_name' $'Bad\nName\e[31m'
"$settings_tool" --root "$odd" set $'/devices/ev\x1bil/macs/aa:bb\a' 10.0.0.9
"$settings_tool" --root "$odd" set $'/devices/ev\x1bil/device_os_version' 12  # an OS without its name
expect_equal "$("$devices_tool" --root "$odd" list | tail -1)" 'ev\x1bil  Bad\x0aName\x1b[31m  -     12  0        0      2     aa:bb\x07 10.0.0.9' "list"
expect_equal "$("$devices_tool" --root "$odd" show $'ev\x1bil' | grep display_name)" 'display_name: "Bad\x0aName\x1b[31m"' "show"
expect_equal "$("$devices_tool" --root "$odd" mac $'aa:bb\a')" 'ev\x1bil' "mac"
"$devices_tool" --root "$odd" watch >"$work/odd-watch.txt" 2>&1 &
odd_pid=$!
wait_for_text "$work/odd-watch.txt" '-- watching '
"$settings_tool" --root "$odd" set $'/devices/ev\x1bil/device_os' $'x\e[2J\r'
wait_for_text "$work/odd-watch.txt" 'ev\x1bil  device_os = "x\x1b[2J\x0d"'
# /devices gone and back: the sync thread looks again within 5 s and reloads
# (waited for at the end, while the other watch below runs).
"$settings_tool" --root "$odd" del /devices
"$settings_tool" --root "$odd" set /devices/good/display_name ok

# watch --json: the listing, each device once, then the events of a device
# that joins, is named, blocked, re-addressed and leaves, a reload, SIGTERM.
store="$work/watched"
mkdir "$store"
settings() { "$settings_tool" --root "$store" "$@"; }
settings import "$example"
"$devices_tool" --root "$store" watch --json >"$work/events" 2>"$work/stderr" &
watch_pid=$!
out="$work/events"
wait_for_line "$out" '{"event":"synced","devices":12}'
expect_equal "$(grep '^{"event":"device","device":{' "$out" | sort -u | wc -l)" 12 "distinct device lines"
grep -qF '"device_id":"tv-living","profile_id":"","macs":[{"mac":"8c:79:f5:aa:10:02","ip":"192.168.1.40"}],"display_name":"Télé du salon"' \
  "$out" || fail "the TV's listing: $(grep tv-living "$out" | head -1)"

mac=b8:e9:37:0a:11:22
settings set "/devices/speaker/macs/$mac" 192.168.1.80
wait_for_line "$out" '{"event":"key","key":"/devices/speaker/macs/'$mac'"}'
settings set /devices/speaker/display_name "Küchen-Lautsprecher"
wait_for_line "$out" '{"event":"key","key":"/devices/speaker/display_name"}'
settings set /devices/speaker/traffic_blocked 1
wait_for_line "$out" '{"event":"key","key":"/devices/speaker/traffic_blocked"}'
settings set "/devices/speaker/macs/$mac" 192.168.1.81
wait_for_line "$out" '{"event":"updated","device_id":"speaker","field":"macs","value":[{"mac":"'$mac'","ip":"192.168.1.81"}]}'
settings del /devices/speaker
wait_for_line "$out" '{"event":"key","key":"/devices/speaker"}'
# A value written into a node the store's watch has just taken up may be
# reported twice (once found by the scan of the new node, once by its own
# event); the library then passes the key on twice. uniq folds such repeats.
# The key events, waited for above, are left out.
grep -F 'speaker' "$out" | grep -vF '"event":"key"' | uniq >"$work/speaker"
diff - "$work/speaker" >&2 <<EOF || fail "the speaker's events differ (see above)"
{"event":"new_dev","device_id":"speaker"}
{"event":"updated","device_id":"speaker","field":"macs","value":[{"mac":"$mac","ip":"192.168.1.80"}]}
{"event":"updated","device_id":"speaker","field":"display_name","value":"Küchen-Lautsprecher"}
{"event":"updated","device_id":"speaker","field":"traffic_blocked","value":1}
{"event":"traffic_blocked","status":{"device_id":"speaker","blocked":1,"macs":["$mac"],"ips":["192.168.1.80"]}}
{"event":"updated","device_id":"speaker","field":"macs","value":[{"mac":"$mac","ip":"192.168.1.81"}]}
{"event":"removed","device_id":"speaker"}
EOF
expect_equal "$(grep -c -e '"event":"new_dev"' -e '"event":"device"' "$out")" 13 "new_dev and device lines"

# --events and --fields: only what is asked for, the same names as above (an
# empty one is none of them).
expect_failure 2 'unknown event nope' -- "$devices_tool" --root "$store" watch --events key,nope
expect_failure 2 'unknown field ""' -- timeout 5 "$devices_tool" --root "$store" watch --fields display_name,
"$devices_tool" --root "$store" watch --json --events synced,updated,stopped --fields display_name \
  >"$work/filtered" &
filtered_pid=$!
wait_for_line "$work/filtered" '{"event":"synced","devices":12}'
settings set /devices/tv-living/device_os tizen
settings set /devices/tv-living/display_name Filtered
wait_for_text "$work/filtered" 'Filtered'
stop "$filtered_pid"
expect_equal "$(cat "$work/filtered")" '{"event":"synced","devices":12}
{"event":"updated","device_id":"tv-living","field":"display_name","value":"Filtered"}
{"event":"stopped","signal":"SIGTERM"}' "the filtered watch"

# /devices re-created with one device of the twelve: the reload names the rest.
settings del /devices
settings set /devices/tv-living/display_name TV
wait_for_line "$out" '{"event":"reloaded","vanished":["cam-garden","cam-porch","console-kids","console-kids-old","laptop-anna","phone-anna","phone-guest","phone-jonas","tablet-kids","thermostat","watch-anna"]}' 12
expect_equal "$(grep -o -e '"event":"lost","error"' -e '"event":"regained"' -e '"event":"reloaded"' "$out" |
  tr '\n' ' ')" '"event":"lost","error" "event":"regained" "event":"reloaded" ' "the watch lost and regained"
stop "$watch_pid"
expect_equal "$status $(tail -1 "$out")" '0 {"event":"stopped","signal":"SIGTERM"}' "the exit after SIGTERM"
# Only failure lines of the library and the store: they could not watch
# /devices meanwhile.
! grep -v -e '^0: \[orvdevmgmt:' -e '^0: settings: cannot watch .*/devices: No such file or directory$' \
  "$work/stderr" || fail "watch wrote on stderr (see above)"
wait_for_text "$work/odd-watch.txt" '  reloaded vanished: ev\x1bil' 12
stop "$odd_pid"
! grep -q $'[\e\r\a]' "$work/odd-watch.txt" || fail "watch printed a control character raw"
echo "devices: ok"
