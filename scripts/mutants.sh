#!/usr/bin/env bash
# mutants.sh [N]: does the suite catch the faults listed in tests/mutants.txt?
# Each mutant is applied alone to a scratch copy of the tree (exactly one
# occurrence of its text is replaced, or the script stops), the build is
# brought up to date (incrementally: one build directory for every mutant),
# and CTest runs with a timeout per test. Prints one row per mutant:
#
#   caught    sync_test.SyncTest.InitLoadsAndStartsOnce...  libs/...  what a user would see
#
# N limits the run to the first N mutants. Mutants tagged "lock" (a lock
# removed) run in a ThreadSanitizer build when ORV_MUTANTS_TSAN=1; those
# tagged "pending" are caught by tests that come with another branch: they are
# run and shown, but a survivor among them doesn't fail the run.
#
# Environment: ORV_MUTANTS_DIR (scratch, default /tmp/orv-mutants-$USER),
# ORV_MUTANTS_TIMEOUT (seconds per test, default 20), ORV_MUTANTS_JOBS (2).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
limit=${1:-0}
scratch=${ORV_MUTANTS_DIR:-/tmp/orv-mutants-${USER:-$(id -u)}}
timeout=${ORV_MUTANTS_TIMEOUT:-20}
jobs=${ORV_MUTANTS_JOBS:-2}
src=$scratch/src
mkdir -p "$src"

# The scratch tree: the files git knows (and new ones it doesn't ignore),
# copied only when they differ, so that builds stay incremental.
git ls-files --cached --others --exclude-standard >"$scratch/files"
while IFS= read -r f; do
  [[ -f $f ]] || continue
  if ! cmp -s "$f" "$src/$f"; then mkdir -p "$(dirname "$src/$f")" && cp "$f" "$src/$f"; fi
done <"$scratch/files"
# Files the tree no longer has go too: a test file left over would be built.
(cd "$src" && find . -type f | sed 's|^\./||') | { grep -vxF -f "$scratch/files" || true; } |
  while IFS= read -r f; do rm -f "$src/$f"; done

# build DIR [CMAKE ARGS]: configure once, then build; quiet unless it fails.
build() {
  local dir=$1
  shift
  if [[ ! -f $dir/CMakeCache.txt ]]; then
    cmake -S "$src" -B "$dir" -DORV_BUILD_BENCH=OFF "$@" >"$scratch/log" 2>&1 || return 1
  fi
  cmake --build "$dir" -j "$jobs" >"$scratch/log" 2>&1
}

# first_failure DIR: runs the suite until a test fails; prints that test, or
# nothing when every test passed. (Run whole, a mutant that hangs the library
# would cost a timeout for every test.)
first_failure() {
  ctest --test-dir "$1" -j "$jobs" --timeout "$timeout" --stop-on-failure >"$scratch/ctest.log" 2>&1 ||
    true
  sed -n '/tests FAILED:/,$ s/^[[:space:]]*[0-9]* - \([^ ]*\).*/\1/p' "$scratch/ctest.log" | head -1
}

build "$scratch/build" || { cat "$scratch/log"; exit 1; }
if [[ -n $(first_failure "$scratch/build") ]]; then
  echo "mutants: the suite fails without any mutant"; cat "$scratch/ctest.log"; exit 1
fi

printf '%-9s %-70s %-40s %s\n' result first-failing-test file "what a user would see"
count=0 survived=0
mapfile -t mutants <tests/mutants.txt  # read whole: the file may change meanwhile
for line in "${mutants[@]}"; do
  [[ -z $line || $line == \#* ]] && continue
  ((limit > 0 && count >= limit)) && break
  count=$((count + 1))
  rest=$line
  fields=()
  while [[ $rest == *' @@ '* ]]; do fields+=("${rest%% @@ *}"); rest=${rest#* @@ }; done
  fields+=("$rest")
  if ((${#fields[@]} != 5)); then echo "mutants.txt: not 5 fields: $line"; exit 1; fi
  file=${fields[0]} tags=${fields[1]} what=${fields[4]}
  from=${fields[2]//\\n/$'\n'} to=${fields[3]//\\n/$'\n'}
  text=$(cat "$repo/$file"; printf x)
  text=${text%x}
  without=${text//"$from"/}
  found=$(((${#text} - ${#without}) / ${#from}))
  if ((found != 1)); then echo "mutants.txt: found $found times in $file: ${fields[2]}"; exit 1; fi

  dir=$scratch/build result=
  args=()
  if [[ $tags == *lock* && ${ORV_MUTANTS_TSAN:-0} == 1 ]]; then
    dir=$scratch/build-tsan args=(-DORV_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo)
  fi
  printf '%s' "${text/"$from"/"$to"}" >"$src/$file"
  failed=
  build "$dir" "${args[@]}" && failed=$(first_failure "$dir") || result=BROKEN
  cp "$repo/$file" "$src/$file"
  if [[ ${result:-} == BROKEN ]]; then
    failed="(does not build: see $scratch/log)" survived=$((survived + 1))
  elif [[ -n $failed ]]; then
    result=caught
  elif [[ $tags == *pending* ]]; then
    result=pending failed="(its test comes with another branch)"
  else
    result=SURVIVED failed=- survived=$((survived + 1))
  fi
  printf '%-9s %-70s %-40s %s\n' "$result" "$failed" "$file" "$what"
done
build "$scratch/build" >/dev/null || true  # the scratch tree back to the original
echo "mutants: $count run, $survived survived or broken"
((survived == 0))
