# lib.sh: helpers shared by the tools' end-to-end tests. Sourced by each
# test script, which is called as
#   <test>.sh ORV_SETTINGS ORV_DEVICES EXAMPLE_JSON
# Every test works in a private temporary directory removed at exit.

set -euo pipefail
export LC_ALL=C.UTF-8
unset ORV_LOG_LEVEL ORV_SETTINGS_DIR

settings_tool=$1
devices_tool=$2
example=$3
work=$(mktemp -d)
cleanup_hooks=()
cleanup() {
  local hook
  for hook in "${cleanup_hooks[@]+"${cleanup_hooks[@]}"}"; do eval "$hook" || true; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# run_tool OUT ERR TOOL ARGS...: runs a tool, keeping its output in files, and
# sets $status to its exit status.
run_tool() {
  local out=$1 err=$2
  shift 2
  status=0
  "$@" >"$out" 2>"$err" || status=$?
}

# expect_failure STATUS NEEDLE... -- TOOL ARGS...: the tool exits with STATUS,
# prints nothing on stdout and exactly one line on stderr holding every NEEDLE.
expect_failure() {
  local want=$1 needles=()
  shift
  while [ "$1" != "--" ]; do
    needles+=("$1")
    shift
  done
  shift
  run_tool "$work/out" "$work/err" "$@"
  [ "$status" -eq "$want" ] || fail "$* exited $status, not $want: $(cat "$work/err")"
  [ ! -s "$work/out" ] || fail "$* printed on stdout: $(cat "$work/out")"
  [ "$(wc -l <"$work/err")" -eq 1 ] || fail "$* printed not one line on stderr: $(cat "$work/err")"
  local needle
  for needle in "${needles[@]}"; do
    grep -qF -- "$needle" "$work/err" || fail "$* said \"$(cat "$work/err")\", without \"$needle\""
  done
}

# expect_equal ACTUAL EXPECTED WHAT
expect_equal() {
  [ "$1" == "$2" ] || fail "$3: got \"$1\", want \"$2\""
}

# wait_for_line FILE LINE [SECONDS]: waits until FILE holds the exact LINE.
# wait_for_text FILE TEXT [SECONDS]: waits until a line of FILE holds TEXT.
wait_for_line() { wait_for_grep -qxF "$@"; }
wait_for_text() { wait_for_grep -qF "$@"; }
wait_for_grep() {
  local flags=$1 file=$2 text=$3 deadline=$((SECONDS + ${4:-10}))
  until grep "$flags" -- "$text" "$file" 2>/dev/null; do
    [ "$SECONDS" -lt "$deadline" ] || fail "no \"$text\" in $file after ${4:-10} s"
    sleep 0.05
  done
}

# wait_for_exit PID [SECONDS]: waits until the child PID has ended and sets
# $status to its exit status.
wait_for_exit() {
  local pid=$1 deadline=$((SECONDS + ${2:-10}))
  # An ended child stays a zombie (state Z) until it is waited for.
  while [ -e "/proc/$pid" ] && [ "$(cut -d' ' -f3 "/proc/$pid/stat" 2>/dev/null)" != "Z" ]; do
    [ "$SECONDS" -lt "$deadline" ] || fail "process $pid still runs after ${2:-10} s"
    sleep 0.05
  done
  status=0
  wait "$pid" || status=$?
}
