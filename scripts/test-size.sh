#!/usr/bin/env bash
# test-size.sh: how big the test suite is beside the code it tests. Prints the
# non-blank, non-comment lines of every file under tests/ and of the other
# source (libs, tools, examples, bench, fuzz, scripts, the bash completion and
# the build's cmake/ files), and their ratio.
#
# Files are those git tracks (plus new ones not ignored); data is left out:
# the fuzz corpus and JSON. A comment line is a // line or a line inside
# /* */ in C++, a # line elsewhere (C++ preprocessor lines are code).
set -euo pipefail
cd "$(dirname "$0")/.."

# count FILE...: the code lines of the files given.
count() {
  awk '
    FNR == 1 { cpp = FILENAME ~ /\.(cpp|cc|h)$/; block = 0 }
    { line = $0; sub(/^[ \t]+/, "", line); sub(/[ \t\r]+$/, "", line) }
    line == "" { next }
    cpp && block { if (line ~ /\*\//) block = 0; next }
    cpp && line ~ /^\/\*/ { if (line !~ /\*\//) block = 1; next }
    cpp && line ~ /^\/\// { next }
    !cpp && line ~ /^#/ { next }
    { n++ }
    END { print n + 0 }' "$@" /dev/null
}

# files DIR...: the source files under the directories given.
files() {
  git ls-files --cached --others --exclude-standard -- "$@" |
    grep -v -e '^fuzz/corpus/' -e '\.json$' |
    while IFS= read -r f; do [[ -f $f ]] && printf '%s\n' "$f"; done
}

mapfile -t test_files < <(files tests)
mapfile -t other_files < <(files libs tools examples bench fuzz scripts completion cmake)
tests=$(count "${test_files[@]}")
other=$(count "${other_files[@]}")
echo "tests: $tests lines in ${#test_files[@]} files"
echo "other source: $other lines in ${#other_files[@]} files"
awk -v t="$tests" -v o="$other" 'BEGIN { printf "ratio: %.2f\n", t / o }'
