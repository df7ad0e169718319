# lib.sh: helpers shared by the tools' end-to-end tests. Sourced by each
# test script, which is called as
#   <test>.sh ORV_SETTINGS ORV_DEVICES EXAMPLE_JSON
# Every test works in a private temporary directory removed at exit, and any
# tool still running in the background is killed then.

set -euo pipefail
export LC_ALL=C.UTF-8
unset ORV_LOG_LEVEL ORV_SETTINGS_DIR
settings_tool=$1 devices_tool=$2 example=$3
work=$(mktemp -d)
trap 'kill -KILL $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
# expect_equal ACTUAL EXPECTED WHAT
expect_equal() { [ "$1" == "$2" ] || fail "$3: got \"$1\", want \"$2\""; }

# run TOOL ARGS...: runs a tool with its output in $work/out and $work/err,
# and sets $status to its exit status.
run() { status=0; "$@" >"$work/out" 2>"$work/err" </dev/null || status=$?; }

# expect_failure STATUS NEEDLE... -- TOOL ARGS...: the tool exits with STATUS,
# prints nothing on stdout and exactly one line on stderr holding every NEEDLE.
expect_failure() {
  local want=$1 needles=() needle
  shift
  while [ "$1" != "--" ]; do needles+=("$1"); shift; done
  shift
  run "$@"
  [ "$status" -eq "$want" ] && [ ! -s "$work/out" ] && [ "$(wc -l <"$work/err")" -eq 1 ] ||
    fail "$*: exit $status, not $want; stdout \"$(cat "$work/out")\"; stderr \"$(cat "$work/err")\""
  for needle in "${needles[@]}"; do
    grep -qF -- "$needle" "$work/err" || fail "$* said \"$(cat "$work/err")\", without \"$needle\""
  done
}

# wait_for_line FILE LINE [SECONDS]: waits until FILE holds the exact LINE.
# wait_for_text FILE TEXT [SECONDS]: waits until a line of FILE holds TEXT.
wait_for_line() { wait_for_grep -qxF "$@"; }
wait_for_text() { wait_for_grep -qF "$@"; }
wait_for_grep() {
  local deadline=$((SECONDS + ${4:-10}))
  until grep "$1" -- "$3" "$2"; do
    [ "$SECONDS" -lt "$deadline" ] || fail "no \"$3\" in $2 after ${4:-10} s"
    sleep 0.05
  done
}

# stop PID: sends SIGTERM to the background tool PID, waits for it and sets
# $status to its exit status.
stop() { kill -TERM "$1"; status=0; wait "$1" || status=$?; }
