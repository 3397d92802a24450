#!/usr/bin/env bash
# mutate.sh [LIST] [FILTER]: tries each one-line mutation of LIST (scripts/mutations.txt) on a
# copy of the committed tree and reports those that no test catches.
#
# The copy is built once; then each mutation in turn is applied, built, the whole test suite
# is run until its first failure, and the file is put back. A mutation is
#   killed       a test failed, as it should;
#   survived     every test passed: a gap in the tests, unless the list explains why the
#                change is harmless ("equivalent:");
#   not applied  its original text is not in the file exactly once (the code moved on: update
#                the list), or the mutated code does not build.
# FILTER, an extended regular expression, keeps only the mutations whose "file: why" matches.
# Exits non-zero on a survivor not marked equivalent or on a mutation not applied.
#
# The list holds blocks separated by blank lines; lines starting with # are comments:
#   file: src/archive/zip_reader.cpp
#   find: the exact original text (one line, leading spaces not needed)
#   replace: the text put in its place (may be empty: the text is dropped)
#   why: what the mutation breaks
#   equivalent: why no test can tell (optional)
#
# Environment: MUTATE_DIR, a directory for the copy and its build (kept, so that a second run
# reuses both; default: a fresh temporary directory, removed at the end); MUTATE_CTEST_ARGS,
# more arguments for ctest (e.g. "-E valgrind"). Objects are shared with other builds through
# ccache when it is installed.
set -euo pipefail

root=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
list=$(realpath "${1:-$root/scripts/mutations.txt}")
filter=${2:-}

if [ -n "${MUTATE_DIR:-}" ]; then
  work=$MUTATE_DIR
  mkdir -p "$work"
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/plugin_sign_mutate.XXXXXX")
  trap 'rm -rf "$work"' EXIT
fi
# The build directory inside the tree, as in a developer's tree: with CCACHE_BASEDIR the
# compiler sees the same relative paths, and objects come from the cache.
tree=$work/tree
build=$tree/build
log=$work/log
mkdir -p "$log" "$tree"
find "$tree" -mindepth 1 -maxdepth 1 ! -name build -exec rm -rf {} +
git -C "$root" archive HEAD | tar -x -m -C "$tree"

launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=$tree
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
# The developers' flags, warnings as errors included, so that objects are shared: a mutation
# that does not build tests nothing and counts as not applied.
cmake -S "$tree" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPLUGIN_SIGN_WERROR=ON \
  "${launcher[@]}" >"$log/configure" 2>&1 || { cat "$log/configure"; exit 1; }

read -r -a ctest_extra <<<"${MUTATE_CTEST_ARGS:-}"
run_tests() {
  ctest --test-dir "$build" -j2 --stop-on-failure --timeout 600 "${ctest_extra[@]}" >"$1" 2>&1
}

echo "building the unchanged tree in $build"
cmake --build "$build" -j2 >"$log/build" 2>&1 || { tail -30 "$log/build"; exit 1; }
if ! run_tests "$log/tests"; then
  echo "the unchanged tree fails its tests:"
  grep -E "\(Failed\)|\(Timeout\)|Not Run" "$log/tests" || tail -20 "$log/tests"
  exit 1
fi

# Applies or reverts one mutation: python for an exact, literal, single replacement.
apply() {
  python3 - "$@" <<'EOF'
import sys
path, find, replace = sys.argv[1], sys.argv[2], sys.argv[3]
text = open(path, encoding="utf-8").read()
count = text.count(find)
if count != 1:
    print(f"found {count} times", file=sys.stderr)
    sys.exit(3)
open(path, "w", encoding="utf-8").write(text.replace(find, replace))
EOF
}

killed=0 survived=0 equivalent=0 not_applied=0 number=0
survivors=() missing=()

try_mutation() {
  local file=$1 find=$2 replace=$3 why=$4 equivalent_reason=$5
  number=$((number + 1))
  local label="#$number $file: $why"
  if [ -n "$filter" ] && ! grep -qE -- "$filter" <<<"$file: $why"; then return; fi
  local target=$tree/$file
  if [ ! -f "$target" ]; then
    echo "NOT APPLIED  $label (no such file)"
    not_applied=$((not_applied + 1)); missing+=("$label")
    return
  fi
  cp -p "$target" "$work/original"
  local reason
  if ! reason=$(apply "$target" "$find" "$replace" 2>&1); then
    echo "NOT APPLIED  $label ($reason: $find)"
    not_applied=$((not_applied + 1)); missing+=("$label")
    return
  fi
  local out=$log/mutation-$number
  local verdict
  if ! cmake --build "$build" -j2 >"$out.build" 2>&1; then
    verdict="does not build"
  elif ! run_tests "$out.tests"; then
    local failed
    failed=$(grep -oE "[0-9]+ - [^ ]+ \((Failed|Timeout|SEGFAULT|Subprocess aborted|Exception)\)" \
      "$out.tests" | head -1 || true)
    verdict="killed by ${failed:-a failing test}"
  else
    verdict=survived
  fi
  # Back to the original content, and newer than the mutated file, so that it is rebuilt.
  cp "$work/original" "$target"
  touch "$target"
  if [ "$verdict" = "does not build" ]; then
    echo "NOT APPLIED  $label (does not build: $out.build)"
    not_applied=$((not_applied + 1)); missing+=("$label")
  elif [ "$verdict" = survived ]; then
    if [ -n "$equivalent_reason" ]; then
      echo "EQUIVALENT   $label ($equivalent_reason)"
      equivalent=$((equivalent + 1))
    else
      echo "SURVIVED     $label"
      survivors+=("$label")
    fi
    survived=$((survived + 1))
  else
    echo "KILLED       $label: $verdict"
    killed=$((killed + 1))
  fi
}

file='' find='' replace='' why='' equivalent_reason='' have_find=0
flush() {
  if [ -n "$file" ]; then
    if [ "$have_find" -ne 1 ]; then
      echo "mutation list: a block for $file has no find: line" >&2
      exit 2
    fi
    try_mutation "$file" "$find" "$replace" "$why" "$equivalent_reason"
  fi
  file='' find='' replace='' why='' equivalent_reason='' have_find=0
}
while IFS= read -r line || [ -n "$line" ]; do
  case $line in
    '#'*) ;;
    '') flush ;;
    file:*) file=${line#file:} file=${file# } ;;
    find:*) find=${line#find:} find=${find# } have_find=1 ;;
    replace:*) replace=${line#replace:} replace=${replace# } ;;
    why:*) why=${line#why:} why=${why# } ;;
    equivalent:*) equivalent_reason=${line#equivalent:} equivalent_reason=${equivalent_reason# } ;;
    *) echo "mutation list: cannot read line: $line" >&2; exit 2 ;;
  esac
done <"$list"
flush
# The last build holds a mutation's revert only: build the unchanged tree again for a rerun.
cmake --build "$build" -j2 >"$log/build" 2>&1 || true

echo "$killed killed, $survived survived ($equivalent equivalent), $not_applied not applied"
for label in "${survivors[@]}"; do echo "survivor: $label"; done
for label in "${missing[@]}"; do echo "not applied: $label"; done
[ "${#survivors[@]}" -eq 0 ] && [ "$not_applied" -eq 0 ]
