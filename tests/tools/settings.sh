#!/usr/bin/env bash
# orv-settings end to end: import and export (the example network into a
# store, numbers, names to escape, text that is not UTF-8 in hex, a subtree
# or a value imported under another key), the listing, the exit statuses and
# their one-line messages, and a document checked whole before any write.
source "$(dirname "$0")/lib.sh"

first="$work/first" second="$work/second"
mkdir "$first" "$second"
one() { "$settings_tool" --root "$first" "$@"; }
two() { "$settings_tool" --root "$second" "$@"; }

one import "$example"
expect_equal "$(one show /devices | grep -e tablet-kids/macs -e tv-living/display_name -e 00:e0:4c)" \
  $'/devices/laptop-anna/macs/00:e0:4c:68:01:7f=192.168.1.31\n/devices/tablet-kids/macs/9c:e6:5e:07:44:b8=\n/devices/tv-living/display_name=Télé du salon' \
  "show: a second MAC, a binding without IP, a non-ASCII value"

# Names that need escaping (a slash, a leading dot, an escape sequence),
# numbers (their shortest text), a value over several lines.
echo '{"odd": {"a/b": "slash", ".dot": "dot", "n": 42, "r": -1.5, "lines": "one\ntwo",
  "t": 17.4, "tenth": 0.1, "b.g": 1e300, "long": 12345678901, "e\u001b[31m": "x"}}' >"$work/odd.json"
one import "$work/odd.json"
expect_equal "$(for name in a%2Fb %2Edot n r t tenth b.g long lines; do one get "/odd/$name"; echo; done |
  tr '\n' ' ')" "slash dot 42 -1.5 17.4 0.1 1e+300 12345678901 one two " "values (piped: as stored)"
# Names and values that are not UTF-8 export in hex.
mkdir "$first/raw" "$first/raw/n"$'\xff'
printf 'v\xfe' >"$first/raw/n"$'\xff'/value
expect_equal "$(one export /raw | tr -d ' \n')" '{"":{"6eff":{"value":["76fe"]}}}' "the hex form"

# A subtree exported alone imports under another key; other keys stay. A value
# exports as a JSON string and imports back to the same text.
one export /devices/tv-living >"$work/tv.json"
two import "$work/tv.json" /devices/tv-kitchen
expect_equal "$(one export /odd/lines)" '"one\ntwo"' "a value exported"
one export /odd/lines >"$work/value.json"
two import "$work/value.json" /copied
expect_equal "$(two show | grep -e tv-.*display_name -e copied)" $'/copied=one\\x0atwo\n/devices/tv-kitchen/display_name=Télé du salon' "subtree and value imported"

# ls, and get on a terminal, show control characters and stray bytes as \xNN.
expected=$'/odd\n  %2Edot = dot\n  a%2Fb = slash\n  b.g = 1e+300\n  e\\x1b[31m = x\n  lines = one\\x0atwo'
expect_equal "$(one ls /odd | head -6)" "$expected" "ls /odd"
expect_equal "$(one ls /raw)" $'/raw\n  n\\xff/\n    value = v\\xfe' "ls of bytes not UTF-8"
expect_equal "$(script -qec "$settings_tool --root $first get /odd/lines" /dev/null)" \
  $'one\\x0atwo\r' "get on a terminal"

store="$work/store"
mkdir "$store"
tool=("$settings_tool" --root "$store")
"${tool[@]}" set /devices/d1/display_name "Kitchen TV"

expect_failure 1 "/devices/d9/display_name" "not found" -- "${tool[@]}" get /devices/d9/display_name
expect_failure 2 '"/devices/.hidden"' "bad key" -- "${tool[@]}" get /devices/.hidden
expect_failure 2 "/devices/d1/display_name/x" "value, not a node" -- "${tool[@]}" set /devices/d1/display_name/x 1

# A document is checked whole before anything is written: its syntax, shape
# and keys, names that are one node once escaped, repeated names, the kinds
# the store already holds, the size of each value. Each row: two needles and
# the members that follow a good one.
while IFS='|' read -r needle1 needle2 members; do
  printf '{"good": "1", %s}' "$members" >"$work/doc.json"
  expect_failure 2 "$needle1" "$needle2" -- "${tool[@]}" import "$work/doc.json"
done <<EOF
$work/doc.json:||"a":
/bad/list|only objects, strings, numbers|"bad": {"list": [1, 2]}
/x|member ""|"x": {"": "1"}
bad key|too long|"$(printf %0300d 0)": "1"
/a%2Fb|one node|"a/b": "1", "a%2Fb": "2"
duplicate||"x": "1", "x": "2"
/devices/d1/display_name|where the store has a value|"devices": {"d1": {"display_name": {"x": "1"}}}
/devices/d1|a value where the store has a node|"devices": {"d1": "1"}
EOF
{ printf '{"good": "1", "big": "'; head -c 1048577 /dev/zero | tr '\0' a; printf '"}'; } >"$work/big.json"
expect_failure 2 "/big" "larger than 1048576" -- "${tool[@]}" import "$work/big.json"
expect_failure 2 '"devices"' "bad key" -- "${tool[@]}" import "$example" devices
expect_failure 1 "/good" -- "${tool[@]}" get /good

# Options before or after the command; after it, a value may start with "-".
"$settings_tool" set /devices/d1/onguest -1 --root "$store"
expect_equal "$("$settings_tool" get --root="$store" /devices/d1/onguest)" "-1" "a value starting with -"
# get prints the exact bytes into a pipe: get | set - copies any value, up
# to the cap; set - stops reading past it (an endless input ends), exit 2.
head -c 1048576 /dev/urandom >"$work/big"
"${tool[@]}" set /big - <"$work/big"
"${tool[@]}" get /big | "${tool[@]}" set /copy - && "${tool[@]}" get /copy | cmp - "$work/big" ||
  fail "get | set - of a 1 MiB value"
expect_failure 2 "/big: the value on standard input is larger than 1048576 bytes" -- \
  sh -c '{ cat "$1"; yes; } | "$2" --root "$3" set /big -' - "$work/big" "$settings_tool" "$store"
"${tool[@]}" get /big | cmp - "$work/big" || fail "a refused set - changed the value"
# ORV_SETTINGS_DIR names the store; --root wins over it.
expect_equal "$(ORV_SETTINGS_DIR="$store" "$settings_tool" get /devices/d1/display_name)" "Kitchen TV" \
  "ORV_SETTINGS_DIR"
mkdir "$work/other"
expect_failure 1 "not found" -- \
  env ORV_SETTINGS_DIR="$store" "$settings_tool" --root "$work/other" get /devices/d1/display_name

# --json: get, ls and show as one object a line; watch: one line per change,
# in text and in JSON, until SIGTERM.
expect_equal "$(one get --json /odd/lines; one ls --json /raw; one show --json /odd/e$'\e'[31m)" \
  '{"key":"/odd/lines","value":"one\ntwo"}
{"key":"/raw","node":true}
{"key":["2f7261772f6eff"],"node":true}
{"key":["2f7261772f6eff2f76616c7565"],"value":["76fe"]}
{"key":"/odd/e\u001B[31m","value":"x"}' "get, ls and show --json"
"$settings_tool" --root "$first" watch /odd >"$work/watch.txt" &
text_pid=$!
"$settings_tool" --root "$first" watch /odd --json >"$work/watch.json" &
json_pid=$!
wait_for_line "$work/watch.txt" "watching /odd"
wait_for_line "$work/watch.json" '{"event":"watching","key":"/odd"}'
one set /odd/n $'4\e2'
wait_for_line "$work/watch.json" '{"event":"set","key":"/odd/n","value":"4\u001B2"}'
one del /odd/n
wait_for_line "$work/watch.json" '{"event":"deleted","key":"/odd/n"}'
wait_for_line "$work/watch.txt" 'deleted /odd/n'
one del /odd
wait_for_text "$work/watch.json" '{"event":"lost","key":"/odd","reason":"'
wait_for_line "$work/watch.txt" 'deleted /odd'
wait_for_line "$work/watch.txt" "lost /odd: lost the watch of $first/odd: the node was deleted or moved"
stop "$text_pid"
stop "$json_pid"
expect_equal "$status $(grep -c . "$work/watch.txt")" "0 5" "watch: text lines"
grep -qxF 'set /odd/n=4\x1b2' "$work/watch.txt" || fail "watch: $(cat "$work/watch.txt")"

echo "settings: ok"
