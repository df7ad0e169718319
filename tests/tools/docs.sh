#!/usr/bin/env bash
# The tools' --help, man pages and bash completion say the same things: every
# command and option --help names is in the man page and completes; the
# completion offers a store's keys and device ids.
source "$(dirname "$0")/lib.sh"
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
source "$source_dir/completion/orv-settings"
source "$source_dir/completion/orv-devices"

# complete_words WORD...: what completing the last WORD offers, one a line.
complete_words() {
  COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMPREPLY=()
  "_${1//-/_}" 2>/dev/null
  printf '%s\n' "${COMPREPLY[@]}"
}

for tool in "$settings_tool" "$devices_tool"; do
  name=$(basename "$tool")
  help=$("$tool" --help)
  [[ $help == "usage: $name "* && $("$tool" --version) =~ ^$name\ [0-9]+\.[0-9]+\.[0-9]+$ ]] ||
    fail "$name --help or --version"
  # The first word(s) of each line of the "commands:" paragraph; the options.
  commands=$(sed -n '/^commands:/,/^$/p' <<<"$help" | grep -oE '^  [a-z]+(, [a-z]+)?' | tr ',' ' ')
  options=$(grep -oE '^  (-h, )?--[a-z-]+' <<<"$help" | grep -oE -- '--[a-z-]+')
  [ "$(wc -w <<<"$commands $options")" -ge 10 ] || fail "$name --help: too few words: $commands $options"
  for word in $commands $options; do
    grep -qF -- "*$word*" "$source_dir/man/$name.1.scd" || fail "$name.1.scd lacks $word"
    case $word in -*) prefix=- ;; *) prefix=${word:0:1} ;; esac
    offered=$'\n'$(complete_words "$name" "$prefix")$'\n'
    [[ $offered == *$'\n'"$word"$'\n'* ]] || fail "$name: $word doesn't complete"
  done
done

store="$work/store"
mkdir "$store"
"$settings_tool" --root "$store" import "$example"
expect_equal "$(complete_words orv-settings --root "$store" get /devices/tv)" /devices/tv-living/ "a key"
expect_equal "$(complete_words orv-settings get --root="$store" /devices/tv-living/d | sort | tr '\n' ' ')" \
  "/devices/tv-living/device_manufacturer /devices/tv-living/device_model /devices/tv-living/device_os /devices/tv-living/device_os_version /devices/tv-living/device_type /devices/tv-living/display_name " "values"
expect_equal "$(complete_words orv-devices --root "$store" show cam | sort | tr '\n' ' ')" \
  "cam-garden cam-porch " "device ids"
echo "docs: ok"
