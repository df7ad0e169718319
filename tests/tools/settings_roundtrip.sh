#!/usr/bin/env bash
# orv-settings import and export: the example network goes into a store and
# back out; an exported tree imported into another store gives the same files.
source "$(dirname "$0")/lib.sh"

first="$work/first" second="$work/second"
mkdir "$first" "$second"
one() { "$settings_tool" --root "$first" "$@"; }
two() { "$settings_tool" --root "$second" "$@"; }

one import "$example"
expect_equal "$(one get /devices/tv-living/display_name)" "Télé du salon" "non-ASCII value"
expect_equal "$(one get /devices/laptop-anna/macs/00:e0:4c:68:01:7f)" "192.168.1.31" "second MAC"
expect_equal "$(one get /devices/tablet-kids/macs/9c:e6:5e:07:44:b8)" "" "binding without IP"

# Names that need escaping, numbers, a value over several lines.
cat >"$work/odd.json" <<'EOF'
{"odd": {"a/b": "slash", ".dot": "dot", "n": 42, "r": -1.5, "lines": "one\ntwo"}}
EOF
one import "$work/odd.json"
expect_equal "$(one get /odd/a%2Fb)" "slash" "a name with a slash"
expect_equal "$(one get /odd/%2Edot)" "dot" "a name with a leading dot"
expect_equal "$(one get /odd/n)" "42" "an integer"
expect_equal "$(one get /odd/r)" "-1.5" "a real number"
expect_equal "$(one get /odd/lines)" $'one\ntwo' "a value over two lines"

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

# ls shows the tree indented, a value's line end escaped.
one ls /odd >"$work/ls.txt"
expected=$'/odd\n  %2Edot = dot\n  a%2Fb = slash\n  lines = one\\ntwo\n  n = 42\n  r = -1.5'
expect_equal "$(cat "$work/ls.txt")" "$expected" "ls /odd"
echo "settings round trip: ok"
