#!/usr/bin/env bash
# Both tools' command lines as tables: every command with a wrong number of
# arguments, unknown options, bad option values, a FILE that can't be read,
# words with control characters and roots that can't serve (missing, a file,
# names with a backslash or a control character), each checked for its exit
# status and its exact one-line message; then
# orv-settings' refusal of device values the library would read two ways.
source "$(dirname "$0")/lib.sh"

store="$work/store" file="$work/file"
mkdir "$store"
touch "$file"
"$settings_tool" --root "$store" import "$example"

# check TOOL: reads rows "STATUS|MESSAGE|ARGS" (ARGS in shell syntax, after
# the tool's name): the tool exits with STATUS, prints nothing on stdout and
# one line on stderr, "TOOL: MESSAGE" exactly; a MESSAGE ending in "*" is
# compared up to there. The STATUS "usage" is 2 with " (see TOOL --help)".
check() {
  local tool=$1 path want message args line lines
  [ "$tool" == orv-settings ] && path=$settings_tool || path=$devices_tool
  while IFS='|' read -r want message args; do
    [ -n "$want" ] || continue
    eval "args=($args)"
    [ "$want" != usage ] || { want=2 message+=" (see $tool --help)"; }
    run "$path" "${args[@]}"
    mapfile -t lines <"$work/err"  # builtins only: this runs a few hundred times
    line=${lines[*]}
    [ "$status" -eq "$want" ] && [ ! -s "$work/out" ] && [ "${#lines[@]}" -eq 1 ] &&
      { [ "$line" == "$tool: $message" ] ||
        [[ "$message" == *"*" && "$line" == "$tool: ${message%"*"}"* ]]; } ||
      fail "$tool ${args[*]}: exit $status, not $want; stderr \"$line\", not \"$tool: $message\""
  done
}

# roots COMMAND: the rows of COMMAND run on roots that can't serve. A name is
# shown escaped once: a backslash as \\, ESC as \x1b.
hostile=("$work/missing|No such file or directory" "$file|Not a directory"
  "$work/a\\b|No such file or directory" "$work/e"$'\e'"[31m|No such file or directory")
roots() {
  local entry root shown
  for entry in "${hostile[@]}"; do
    root=${entry%|*} shown=${entry%|*}
    shown=${shown//\\/\\\\} shown=${shown//$'\e'/\\x1b}
    printf '3|store root %s: %s|--root %q %s\n' "$shown" "${entry#*|}" "$root" "$1"
  done
}

# Keys at the store's limits: 2,047 bytes and a piece of 255 are keys, one
# byte more is not.
k2047=/$(printf 'a/%.0s' {1..1022})bc k2048=/$(printf 'a/%.0s' {1..1023})b
p255=/$(printf 'p%.0s' {1..255}) p256=/$(printf 'p%.0s' {1..256})

check orv-settings <<ROWS
usage|no command given|
usage|unknown command "fetch"|fetch /devices
usage|get needs one KEY|get
usage|set needs a KEY and a VALUE|set /a
usage|del needs one KEY|del /a /b
$(for command in ls list show watch export; do
  echo "usage|${command/list/ls} takes at most one KEY|$command /a /b"; done)
usage|import needs a FILE and takes at most one KEY|import
usage|unknown option "--verbose"|--verbose get /x
usage|unknown option "-x"|-x ls
usage|--root needs a DIR|ls --root
usage|--root needs a DIR, not an empty name|--root '' ls
usage|--root needs a DIR, not an empty name|--root= ls
usage|--json takes no value|--json=1 get /x
usage|--raw goes with set only|--raw get /x
usage|--json goes with get, ls, show and watch|--json del /x
2|bad key "devices/d1": *|--root $store set devices/d1 x
2|bad key "--json": *|--root $store get -- --json
2|bad key "devices": *|--root $store watch devices
2|key /devices/tv-living/display_name: is a value, not a node|--root $store watch /devices/tv-living/display_name
2|bad key "/devices//d1": *|--root $store get /devices//d1
1|key $k2047 not found|--root $store get $k2047
2|bad key "$k2048": too long|--root $store get $k2048
1|key $p255 not found|--root $store get $p255
2|bad key "$p256": piece too long|--root $store get $p256
2|key /devices/tv-living: *|--root $store get /devices/tv-living
1|key /devices/d9 not found|--root $store del /devices/d9
1|key /nothing not found|--root $store show /nothing
1|key /nothing not found|--root $store get --json /nothing
3|unable to open $work/nothing.json: No such file or directory|--root $store import $work/nothing.json
$(for command in "get /x" "set /x 1" "del /x" ls list show watch export "import $example"; do
  roots "$command"; done)
ROWS

check orv-devices <<ROWS
usage|no command given|
usage|unknown command "frobnicate"|frobnicate
$(for command in list ls watch status; do
  echo "usage|${command/ls/list} takes no argument|$command x"; done)
usage|show needs one ID|show
usage|mac needs one MAC|mac
usage|ip needs one IP|ip 1 2
usage|unknown option "--verbose"|--verbose list
usage|unknown option "--bogus"|list --bogus
usage|unknown option "--raw"|--raw list
usage|--json takes no value|--json=yes list
usage|--timeout needs a MS|list --timeout
$(for value in 5 -1 x ""; do
  echo "usage|--log-level wants a number from 0 to 4, not \"$value\"|--log-level=$value list"; done)
$(for value in -1 " 5" 99999999999 ""; do
  echo "usage|--timeout wants milliseconds, 0 or more, not \"$value\"|--timeout '$value' list"; done)
usage|--root needs a DIR, not an empty name|--root '' list
usage|unknown command "\\xc2\\x9b\\x7f\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80\\xf5\\x80\\x80\\x80é"|$'\xc2\x9b\x7f\xed\xa0\x80\xf4\x90\x80\x80\xf5\x80\x80\x80\xc3\xa9'
1|device ghost: not found|--root $store show ghost
1|device --json: not found|--root $store show -- --json
1|MAC ff:ff: not found|--root $store mac ff:ff
1|IP 10.9.9.9: not found|--root $store ip 10.9.9.9
$(for command in list ls "show x" "mac m" "ip i" watch; do roots "$command"; done)
ROWS
# The options' highest values are taken.
run "$devices_tool" --root "$store" --log-level 4 --timeout 2147483647 mac ec:71:db:3a:55:02
expect_equal "$status $(cat "$work/out")" "0 cam-garden" "the options' highest values"

# A device's integer keys: a value the loader and the change path read alike
# is stored; any other is refused saying what each makes of it, and --raw
# stores it anyway. Rows: field|value|what the refusal says ("" stores it).
key=/devices/tv-living
while IFS='|' read -r field value said; do
  run "$settings_tool" --root "$store" set "$key/$field" "$value"
  if [ -n "$said" ]; then
    [[ "$said" == *"*" ]] || said+=" (--raw stores it anyway)"
    check orv-settings <<<"2|$key/$field: \"$value\" $said|--root $store set $key/$field '$value'"
    run "$settings_tool" --root "$store" set --raw "$key/$field" "$value"
  fi
  expect_equal "$status $("$settings_tool" --root "$store" get "$key/$field")" "0 $value" "$field=\"$value\""
done <<'ROWS'
traffic_blocked|1|
traffic_blocked||
traffic_blocked|true|loads as 1, a change reads it as 0
traffic_blocked|2|loads as 1, a change reads it as 2
traffic_blocked|00|loads as 1, a change reads it as 0
traffic_blocked| 0|loads as 1, a change reads it as 0
onvelk| 7 |
onvelk|abc|
onvelk|-1|loads as 0, a change reads it as -1
onvelk|5x|loads as 0, a change reads it as 5
onguest|-1|
onguest|abc|
onguest|2147483647|
onguest|99999999999|is out of an int's range: it loads as 0, a change reads it as 0
scan_level|-2147483648|
scan_level||loads as 2, a change reads it as 0
scan_level|high|loads as 2, a change reads it as 0
scan_level|4x|loads as 2, a change reads it as 4
scan_level|2147483648|is out of an int's range: it loads as 2, a change reads it as *
ROWS
# Other keys take any text, a field's name elsewhere in the tree too; set -
# is checked as a value on the command line is.
for other in "$key/display_name" "$key/macs/scan_level" /other/scan_level; do
  "$settings_tool" --root "$store" set "$other" true || fail "set $other true"
done
long=x$(printf '%049d' 0) # shown up to its 40th byte
check orv-settings <<<"2|$key/traffic_blocked: \"${long:0:40}\"... loads as 1, a change reads it as 0 (--raw stores it anyway)|--root $store set $key/traffic_blocked $long"
status=0
printf true | "$settings_tool" --root "$store" set "$key/traffic_blocked" - 2>"$work/err" || status=$?
expect_equal "$status $(cat "$work/err")" "2 orv-settings: $key/traffic_blocked: \"true\" loads as 1, a change reads it as 0 (--raw stores it anyway)" "set - of a device value"
echo "command lines: ok"
