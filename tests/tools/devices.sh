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
grep -q "^tv-living  *Télé du salon  *tv  *Tizen 7.0  *no  *0  *2  *8c:79:f5:aa:10:02 192.168.1.40$" \
  "$work/list.txt" || fail "list: the TV's row: $(grep tv-living "$work/list.txt")"
grep -q "^cam-porch .* yes .* ec:71:db:3a:55:01 192.168.1.50$" "$work/list.txt" ||
  fail "list: the blocked camera"
grep -q "^laptop-anna .*00:e0:4c:68:01:7f 192.168.1.31, a4:83:e7:12:9b:40 192.168.1.30$" \
  "$work/list.txt" || fail "list: two MACs"
grep -q "^watch-anna .* -$" "$work/list.txt" || fail "list: a device without MACs"
# Every row starts its last column where the header does, counted in
# characters: non-ASCII names take one column per character.
header=$(head -1 "$work/list.txt")
prefix=${header%%MAC/IP}
column=${#prefix}
while IFS= read -r row; do
  [ "${row:column-2:2}" == "  " ] && [ "${row:column:1}" != " " ] ||
    fail "list: column $column misaligned in: $row"
done <"$work/list.txt"

"${devices[@]}" show laptop-anna >"$work/show.txt"
grep -qxF 'display_name: "Anna'"'"'s MacBook"' "$work/show.txt" || fail "show: the name"
grep -qxF "  a4:83:e7:12:9b:40  192.168.1.30" "$work/show.txt" || fail "show: a binding"
grep -qxF "onvelk: 1" "$work/show.txt" || fail "show: onvelk"
"${devices[@]}" --json show phone-guest >"$work/show.json"
grep -qF '"onguest":1' "$work/show.json" && grep -qF '"display_name":"Guest phone"' \
  "$work/show.json" || fail "show --json: $(cat "$work/show.json")"

expect_equal "$("${devices[@]}" mac a4:83:e7:12:9b:40)" laptop-anna "mac"
expect_equal "$("${devices[@]}" mac 00:e0:4c:68:01:7f)" laptop-anna "second mac"
expect_equal "$("${devices[@]}" ip 192.168.2.14)" phone-guest "ip"
expect_equal "$("${devices[@]}" ip "")" tablet-kids "the binding without IP"
expect_equal "$("${devices[@]}" --json list | wc -l)" 12 "list --json"

expect_failure 1 "ghost" "not found" -- "${devices[@]}" show ghost
expect_failure 1 "ff:ff:ff:ff:ff:ff" "not found" -- "${devices[@]}" mac ff:ff:ff:ff:ff:ff
expect_failure 1 "10.9.9.9" "not found" -- "${devices[@]}" ip 10.9.9.9
expect_failure 2 "show needs one argument" -- "${devices[@]}" show
expect_failure 2 '"frobnicate"' -- "${devices[@]}" frobnicate
expect_failure 2 "--log-level" '"x"' -- "${devices[@]}" --log-level x list
expect_failure 2 "--timeout" '"-1"' -- "${devices[@]}" --timeout -1 list
# The log threshold reaches the library: level 2 shows each loaded device.
"${devices[@]}" --log-level 2 list >/dev/null 2>"$work/log.txt"
grep -q "New device: device id=tv-living" "$work/log.txt" || fail "--log-level 2: no load lines"
"${devices[@]}" list >/dev/null 2>"$work/quiet.txt"
[ ! -s "$work/quiet.txt" ] || fail "the default level logs: $(head -3 "$work/quiet.txt")"
run_tool "$work/help" "$work/err" "$devices_tool" --help
[ "$status" -eq 0 ] && grep -q "^usage: orv-devices" "$work/help" || fail "--help"
[[ "$("$devices_tool" --version)" =~ ^orv-devices\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "--version"
expect_equal "$("$devices_tool" mac 00:e0:4c:68:01:7f --root="$store")" laptop-anna "options last"
expect_failure 2 "--root" "empty" -- "$devices_tool" --root "" list
expect_failure 2 "--root" "empty" -- "$devices_tool" list --root=
expect_failure 3 "$work/missing: No such file or directory" -- "$devices_tool" --root "$work/missing" list
expect_failure 3 "$example: Not a directory" -- "$devices_tool" --root "$example" watch

# status: the sync thread's figures once it watches the store; a store
# without /devices is not watched, which status shows, and holds no device,
# which list shows at once.
"${devices[@]}" status >"$work/status.txt"
grep -qx "watching: yes" "$work/status.txt" &&
  grep -qx "last_load_devices: 12" "$work/status.txt" &&
  grep -qx 'last_store_error: ""' "$work/status.txt" || fail "status: $(cat "$work/status.txt")"
"${devices[@]}" status --json >"$work/status.json"
if command -v python3 >/dev/null; then
  python3 -c 'import json, sys; s = json.load(sys.stdin); sys.exit(not (s["watching"] is True and
    s["loads"] >= 2 and s["last_load_devices"] == 12))' <"$work/status.json"
else
  grep -q '^{"running":true,"watching":true,"loads":[2-9].*"last_load_devices":12,' \
    "$work/status.json"
fi || fail "status --json: $(cat "$work/status.json")"
mkdir "$work/bare"
run_tool "$work/status.bare" "$work/err" "$devices_tool" --root "$work/bare" --timeout 200 status
[ "$status" -eq 3 ] && [[ "$(tail -1 "$work/err")" == "orv-devices: store $work/bare: "?* ]] &&
  grep -qx "watching: no" "$work/status.bare" ||
  fail "status on a store without /devices: $status, $(cat "$work/err")"
run_tool "$work/list.bare" "$work/err" "$devices_tool" --root "$work/bare" --timeout 60000 --json list
[ "$status" -eq 0 ] && [ ! -s "$work/list.bare" ] || fail "list on a store without /devices: $status"

# Names, MACs and values come from the LAN: no control character reaches the
# terminal raw, in the table, in show, in a lookup or in watch's lines.
odd="$work/odd"
mkdir "$odd"
"$settings_tool" --root "$odd" set $'/devices/ev\x1bil/display_name' $'Bad\nName\e[31m'
"$settings_tool" --root "$odd" set $'/devices/ev\x1bil/macs/aa:bb\a' 10.0.0.9
"$devices_tool" --root "$odd" list >"$work/odd-list.txt"
grep -qF 'ev\x1bil  Bad\x0aName\x1b[31m  -' "$work/odd-list.txt" &&
  grep -qF 'aa:bb\x07 10.0.0.9' "$work/odd-list.txt" || fail "list: $(cat -v "$work/odd-list.txt")"
"$devices_tool" --root "$odd" show $'ev\x1bil' >"$work/odd-show.txt"
grep -qxF 'display_name: "Bad\x0aName\x1b[31m"' "$work/odd-show.txt" || fail "show: $(cat -v "$work/odd-show.txt")"
expect_equal "$("$devices_tool" --root "$odd" mac $'aa:bb\a')" 'ev\x1bil' "mac"
"$devices_tool" --root "$odd" watch >"$work/odd-watch.txt" 2>&1 &
odd_pid=$!
cleanup_hooks+=("kill -KILL $odd_pid 2>/dev/null")
wait_for_text "$work/odd-watch.txt" '-- watching '
"$settings_tool" --root "$odd" set $'/devices/ev\x1bil/device_os' $'x\e[2J\r'
wait_for_text "$work/odd-watch.txt" 'ev\x1bil  device_os = "x\x1b[2J\x0d"'
# /devices gone and back: the sync thread looks again within 5 s and reloads.
"$settings_tool" --root "$odd" del /devices
"$settings_tool" --root "$odd" set /devices/good/display_name ok
wait_for_text "$work/odd-watch.txt" '  reloaded vanished: ev\x1bil' 12
kill -TERM "$odd_pid"
wait_for_exit "$odd_pid"
! grep -q $'[\e\r\a]' "$work/odd-list.txt" "$work/odd-show.txt" "$work/odd-watch.txt" ||
  fail "a control character was printed raw"

# watch --json: the listing, then the events of a device that joins, is named,
# blocked, re-addressed and leaves, a reload, then SIGTERM.
store="$work/watched"
mkdir "$store"
settings() { "$settings_tool" --root "$store" "$@"; }
settings import "$example"

"$devices_tool" --root "$store" watch --json >"$work/events" 2>"$work/stderr" &
watch_pid=$!
cleanup_hooks+=("kill -KILL $watch_pid 2>/dev/null")
out="$work/events"
wait_for_line "$out" '{"event":"ready","devices":12}'

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
expect_equal "$(grep -c '"event":"new_dev"' "$out")" 1 "new_dev lines (the speaker's only)"

# /devices re-created with one device of the twelve: the reload names the rest.
settings del /devices
settings set /devices/tv-living/display_name TV
wait_for_line "$out" '{"event":"reloaded","vanished":["cam-garden","cam-porch","console-kids","console-kids-old","laptop-anna","phone-anna","phone-guest","phone-jonas","tablet-kids","thermostat","watch-anna"]}' 12

kill -TERM "$watch_pid"
wait_for_exit "$watch_pid"
expect_equal "$status" 0 "watch's exit status after SIGTERM"
expect_equal "$(tail -1 "$out")" '{"event":"stopped","signal":"SIGTERM"}' "the last line"
# Only the library's own failure lines (it could not watch /devices meanwhile).
! grep -v '^0: \[orvdevmgmt:' "$work/stderr" || fail "watch wrote on stderr (see above)"
echo "devices: ok"
