#!/usr/bin/env bash
# orv-settings end to end: import and export (the example network into a
# store and back out, an exported tree imported elsewhere gives the same
# files, text that is not UTF-8 included), the listing, the exit statuses and
# their one-line messages, and a document checked whole before any write.
source "$(dirname "$0")/lib.sh"

first="$work/first" second="$work/second"
mkdir "$first" "$second"
one() { "$settings_tool" --root "$first" "$@"; }
two() { "$settings_tool" --root "$second" "$@"; }

one import "$example"
expect_equal "$(one get /devices/tablet-kids/macs/9c:e6:5e:07:44:b8
  one get /devices/tv-living/display_name; one get /devices/laptop-anna/macs/00:e0:4c:68:01:7f)" \
  $'\nTélé du salon\n192.168.1.31' "a binding without IP, a non-ASCII value, a second MAC"

# Names that need escaping (a slash, a leading dot, an escape sequence),
# numbers (their shortest text), a value over several lines.
echo '{"odd": {"a/b": "slash", ".dot": "dot", "n": 42, "r": -1.5, "lines": "one\ntwo",
  "t": 17.4, "tenth": 0.1, "big": 1e300, "long": 12345678901, "e\u001b[31m": "x"}}' >"$work/odd.json"
one import "$work/odd.json"
expect_equal "$(for name in a%2Fb %2Edot n r t tenth big long lines; do one get "/odd/$name"; done |
  tr '\n' ' ')" "slash dot 42 -1.5 17.4 0.1 1e+300 12345678901 one two " "values (piped: as stored)"
# Names and values that are not UTF-8 export in hex (and import back below).
mkdir "$first/raw" "$first/raw/n"$'\xff'
printf 'v\xfe' >"$first/raw/n"$'\xff'/value
expect_equal "$(one export /raw | tr -d ' \n')" '{"":{"6eff":{"value":["76fe"]}}}' "the hex form"

one export >"$work/first.json"
two import "$work/first.json"
diff -r -x '.*' "$first" "$second" >&2 || fail "the stores differ after export and import"
two export | cmp - "$work/first.json" || fail "the second export differs from the first"

# A subtree exported alone imports under another key; other keys stay. A value
# exports as a JSON string and imports back to the same text.
one export /devices/tv-living >"$work/tv.json"
two import "$work/tv.json" /devices/tv-kitchen
expect_equal "$(one export /odd/lines)" '"one\ntwo"' "a value exported"
one export /odd/lines >"$work/value.json"
two import "$work/value.json" /copied
expect_equal "$(two get /devices/tv-kitchen/display_name; two get /devices/tv-living/display_name
  two get /copied)" $'Télé du salon\nTélé du salon\none\ntwo' "subtree and value imported"

# ls, and get on a terminal, show control characters and stray bytes as \xNN.
expected=$'/odd\n  %2Edot = dot\n  a%2Fb = slash\n  big = 1e+300\n  e\\x1b[31m = x\n  lines = one\\x0atwo'
expect_equal "$(one ls /odd | head -6)" "$expected" "ls /odd"
expect_equal "$(one ls /raw)" $'/raw\n  n\\xff/\n    value = v\\xfe' "ls of bytes not UTF-8"
expect_equal "$(script -qec "$settings_tool --root $first get /odd/lines" /dev/null)" \
  $'one\\x0atwo\r' "get on a terminal"

store="$work/store"
mkdir "$store"
tool=("$settings_tool" --root "$store")
"${tool[@]}" set /devices/d1/display_name "Kitchen TV"

expect_failure 1 "/devices/d9/display_name" "not found" -- "${tool[@]}" get /devices/d9/display_name
expect_failure 1 "/devices/d9" "not found" -- "${tool[@]}" del /devices/d9
expect_failure 1 "/nothing" "not found" -- "${tool[@]}" export /nothing
expect_failure 2 '"/devices//d1"' "bad key" "empty piece" -- "${tool[@]}" get /devices//d1
expect_failure 2 '"devices/d1"' "bad key" -- "${tool[@]}" set devices/d1 x
expect_failure 2 '"/devices/.hidden"' "bad key" -- "${tool[@]}" get /devices/.hidden
expect_failure 2 "/devices/d1" "is a node" -- "${tool[@]}" get /devices/d1
expect_failure 2 "/devices/d1/display_name/x" "value, not a node" -- "${tool[@]}" set /devices/d1/display_name/x 1
expect_failure 2 "no command" "--help" -- "${tool[@]}"
expect_failure 2 '"fetch"' -- "${tool[@]}" fetch /devices
expect_failure 2 "set needs a KEY and a VALUE" -- "${tool[@]}" set /devices/d1/display_name
expect_failure 2 '"--verbose"' -- "$settings_tool" --verbose get /x
expect_failure 2 "--root needs a DIR" -- "$settings_tool" --root
expect_failure 2 "--root" "empty" -- "$settings_tool" --root "" ls
# A root that can't serve as the store: exit 3, naming it and the reason.
expect_failure 3 "$work/missing: No such file or directory" -- "$settings_tool" --root "$work/missing" ls
expect_failure 3 "$example: Not a directory" -- "$settings_tool" --root "$example" get /x

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
EOF
{ printf '{"good": "1", "big": "'; head -c 1048577 /dev/zero | tr '\0' a; printf '"}'; } >"$work/big.json"
expect_failure 2 "/big" "larger than 1048576" -- "${tool[@]}" import "$work/big.json"
expect_failure 2 '"devices"' "bad key" -- "${tool[@]}" import "$example" devices
expect_failure 1 "/good" -- "${tool[@]}" get /good

# Options before or after the command; after it, a value may start with "-".
"$settings_tool" set /devices/d1/onguest -1 --root "$store"
expect_equal "$("$settings_tool" get --root="$store" /devices/d1/onguest)" "-1" "a value starting with -"
# set KEY - reads the value from stdin, however long, exactly.
head -c 200000 /dev/urandom >"$work/big"
"${tool[@]}" set /big - <"$work/big"
"${tool[@]}" get /big | head -c -1 | cmp - "$work/big" || fail "set - of a 200 KB value"
# ORV_SETTINGS_DIR names the store; --root wins over it.
expect_equal "$(ORV_SETTINGS_DIR="$store" "$settings_tool" get /devices/d1/display_name)" "Kitchen TV" \
  "ORV_SETTINGS_DIR"
mkdir "$work/other"
expect_failure 1 "not found" -- \
  env ORV_SETTINGS_DIR="$store" "$settings_tool" --root "$work/other" get /devices/d1/display_name

"$settings_tool" --help | grep -q "^usage: orv-settings" || fail "--help"
[[ "$("$settings_tool" --version)" =~ ^orv-settings\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "--version"
echo "settings: ok"
