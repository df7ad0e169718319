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
expect_equal "$(one get /devices/tv-living/display_name)" "Télé du salon" "non-ASCII value"
expect_equal "$(one get /devices/laptop-anna/macs/00:e0:4c:68:01:7f)" "192.168.1.31" "second MAC"
expect_equal "$(one get /devices/tablet-kids/macs/9c:e6:5e:07:44:b8)" "" "binding without IP"

# Names that need escaping, numbers (their shortest text), a value over
# several lines, a name with an escape sequence.
cat >"$work/odd.json" <<'EOF2'
{"odd": {"a/b": "slash", ".dot": "dot", "n": 42, "r": -1.5, "lines": "one\ntwo",
         "t": 17.4, "tenth": 0.1, "big": 1e300, "long": 12345678901, "e\u001b[31m": "x"}}
EOF2
one import "$work/odd.json"
expect_equal "$(one get /odd/a%2Fb)" "slash" "a name with a slash"
expect_equal "$(one get /odd/%2Edot)" "dot" "a name with a leading dot"
expect_equal "$(one get /odd/lines)" $'one\ntwo' "a value over two lines (piped: as stored)"
numbers=$(for name in n r t tenth big long; do one get "/odd/$name"; done | tr '\n' ' ')
expect_equal "$numbers" "42 -1.5 17.4 0.1 1e+300 12345678901 " "numbers"
# Names and values that are not UTF-8 export in hex and import back.
mkdir "$first/raw" "$first/raw/n"$'\xff'
printf 'v\xfe' >"$first/raw/n"$'\xff'/value
one export /raw >"$work/raw.json"
grep -q '"6eff": {' "$work/raw.json" && grep -q '"76fe"' "$work/raw.json" ||
  fail "the hex form: $(cat "$work/raw.json")"

one export >"$work/first.json"
two import "$work/first.json"
diff -r -x '.*' "$first" "$second" >&2 || fail "the stores differ after export and import"
two export >"$work/second.json"
cmp "$work/first.json" "$work/second.json" || fail "the second export differs from the first"

# A subtree exported alone imports under another key; other keys stay.
one export /devices/tv-living >"$work/tv.json"
two import "$work/tv.json" /devices/tv-kitchen
expect_equal "$(two get /devices/tv-kitchen/display_name)" "Télé du salon" "subtree import"
expect_equal "$(two get /devices/tv-living/display_name)" "Télé du salon" "keys left alone"
# A value exports as a JSON string and imports back to the same text.
expect_equal "$(one export /odd/lines)" '"one\ntwo"' "a value exported"
one export /odd/lines >"$work/value.json"
two import "$work/value.json" /copied
expect_equal "$(two get /copied)" $'one\ntwo' "a value imported"

# ls, and get on a terminal, show control characters and stray bytes as \xNN.
expected=$'/odd\n  %2Edot = dot\n  a%2Fb = slash\n  big = 1e+300\n  e\\x1b[31m = x\n  lines = one\\x0atwo'
expect_equal "$(one ls /odd | head -6)" "$expected" "ls /odd"
expect_equal "$(one ls /raw)" $'/raw\n  n\\xff/\n    value = v\\xfe' "ls of bytes not UTF-8"
script -qec "$settings_tool --root $first get /odd/lines" /dev/null >"$work/tty.txt"
grep -qF 'one\x0atwo' "$work/tty.txt" || fail "get on a terminal: $(cat -v "$work/tty.txt")"

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
expect_failure 2 "/devices/d1/display_name/x" "value, not a node" -- \
  "${tool[@]}" set /devices/d1/display_name/x 1

expect_failure 2 "no command" "--help" -- "${tool[@]}"
expect_failure 2 '"fetch"' -- "${tool[@]}" fetch /devices
expect_failure 2 "set needs a KEY and a VALUE" -- "${tool[@]}" set /devices/d1/display_name
expect_failure 2 '"--verbose"' -- "$settings_tool" --verbose get /x
expect_failure 2 "--root needs a DIR" -- "$settings_tool" --root
expect_failure 2 "--root" "empty" -- "$settings_tool" --root "" ls
expect_failure 2 "--root" "empty" -- "$settings_tool" ls --root=
# A root that can't serve as the store: exit 3, naming it and the reason.
expect_failure 3 "$work/missing: No such file or directory" -- \
  "$settings_tool" --root "$work/missing" ls
expect_failure 3 "$example: Not a directory" -- "$settings_tool" --root "$example" get /x
if [ "$(id -u)" -ne 0 ]; then  # root reads any directory
  mkdir -m 0 "$work/closed"
  expect_failure 3 "$work/closed: Permission denied" -- "$settings_tool" --root "$work/closed" ls
fi

# A document is checked whole before anything is written: its shape, its
# keys, names that are one node once escaped, repeated names, and the kinds
# the store already holds.
echo '{"good": "1", "bad": {"list": [1, 2]}}' >"$work/bad.json"
expect_failure 2 "/bad/list" "only objects, strings, numbers" -- "${tool[@]}" import "$work/bad.json"
echo '{"a": ' >"$work/broken.json"
expect_failure 2 "$work/broken.json:" -- "${tool[@]}" import "$work/broken.json"
echo '{"good": "1", "x": {"": "1"}}' >"$work/empty-name.json"
expect_failure 2 "/x" 'member ""' -- "${tool[@]}" import "$work/empty-name.json"
printf '{"good": "1", "%0300d": "1"}' 0 >"$work/long-name.json"
expect_failure 2 "bad key" "too long" -- "${tool[@]}" import "$work/long-name.json"
echo '{"good": "1", "a/b": "1", "a%2Fb": "2"}' >"$work/same.json"
expect_failure 2 "/a%2Fb" "one node" -- "${tool[@]}" import "$work/same.json"
{ printf '{"good": "1", "big": "'; head -c 1048577 /dev/zero | tr '\0' a; printf '"}'; } >"$work/big.json"
expect_failure 2 "/big" "larger than 1048576" -- "${tool[@]}" import "$work/big.json"
echo '{"good": "1", "x": "1", "x": "2"}' >"$work/twice.json"
expect_failure 2 "duplicate" -- "${tool[@]}" import "$work/twice.json"
echo '{"good": "1", "devices": {"d1": {"display_name": {"x": "1"}}}}' >"$work/kind.json"
expect_failure 2 "/devices/d1/display_name" "where the store has a value" -- \
  "${tool[@]}" import "$work/kind.json"
expect_failure 2 '"devices"' "bad key" -- "${tool[@]}" import "$work/kind.json" devices
expect_failure 1 "/good" -- "${tool[@]}" get /good

# Options before or after the command; after it, a value may start with "-".
"$settings_tool" set /devices/d1/onguest -1 --root "$store"
expect_equal "$("$settings_tool" get --root="$store" /devices/d1/onguest)" "-1" "a value starting with -"
# set KEY - reads the value from stdin, however long, exactly.
head -c 200000 /dev/urandom >"$work/big"
"${tool[@]}" set /big - <"$work/big"
"${tool[@]}" get /big | head -c -1 | cmp - "$work/big" || fail "set - of a 200 KB value"
# ORV_SETTINGS_DIR names the store; --root wins over it.
expect_equal "$(ORV_SETTINGS_DIR="$store" "$settings_tool" get /devices/d1/display_name)" \
  "Kitchen TV" "ORV_SETTINGS_DIR"
mkdir "$work/other"
expect_failure 1 "not found" -- env ORV_SETTINGS_DIR="$store" \
  "$settings_tool" --root "$work/other" get /devices/d1/display_name

run_tool "$work/help" "$work/err" "$settings_tool" --help
[ "$status" -eq 0 ] && grep -q "^usage: orv-settings" "$work/help" || fail "--help"
[[ "$("$settings_tool" --version)" =~ ^orv-settings\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "--version"
echo "settings: ok"
