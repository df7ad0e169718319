#!/usr/bin/env bash
# orv-devices list, show, mac and ip over the example network: the library's
# view of it, the table aligned by characters, lookups and their failures.
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
# The log threshold reaches the library: level 2 shows each loaded device.
"${devices[@]}" --log-level 2 list >/dev/null 2>"$work/log.txt"
grep -q "New device: device id=tv-living" "$work/log.txt" || fail "--log-level 2: no load lines"
"${devices[@]}" list >/dev/null 2>"$work/quiet.txt"
[ ! -s "$work/quiet.txt" ] || fail "the default level logs: $(head -3 "$work/quiet.txt")"
run_tool "$work/help" "$work/err" "$devices_tool" --help
[ "$status" -eq 0 ] && grep -q "^usage: orv-devices" "$work/help" || fail "--help"
echo "devices queries: ok"
