#!/usr/bin/env bash
# orv-settings' exit statuses and messages: 1 for a missing key, 2 for bad
# usage, a bad key or a bad document, each with one line naming the problem.
source "$(dirname "$0")/lib.sh"

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

# A document is checked whole before anything is written.
echo '{"good": "1", "bad": {"list": [1, 2]}}' >"$work/bad.json"
expect_failure 2 "/bad/list" "only objects, strings and numbers" -- \
  "${tool[@]}" import "$work/bad.json"
expect_failure 1 "/good" -- "${tool[@]}" get /good
echo '{"a": ' >"$work/broken.json"
expect_failure 2 "$work/broken.json:" -- "${tool[@]}" import "$work/broken.json"
echo '{"x": {"": "1"}}' >"$work/empty-name.json"
expect_failure 2 "/x" "name is empty" -- "${tool[@]}" import "$work/empty-name.json"

# A value may start with "-"; options only come before the command.
"${tool[@]}" set /devices/d1/onguest -1
expect_equal "$("${tool[@]}" get /devices/d1/onguest)" "-1" "a value starting with -"
# ORV_SETTINGS_DIR names the store; --root wins over it.
expect_equal "$(ORV_SETTINGS_DIR="$store" "$settings_tool" get /devices/d1/display_name)" \
  "Kitchen TV" "ORV_SETTINGS_DIR"
mkdir "$work/other"
expect_failure 1 "not found" -- env ORV_SETTINGS_DIR="$store" \
  "$settings_tool" --root "$work/other" get /devices/d1/display_name

run_tool "$work/help" "$work/err" "$settings_tool" --help
[ "$status" -eq 0 ] && grep -q "^usage: orv-settings" "$work/help" || fail "--help"
echo "settings errors: ok"
