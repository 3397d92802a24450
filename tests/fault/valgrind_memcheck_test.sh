#!/usr/bin/env bash
# Signs the example plugin under valgrind's memcheck: no errors and no leaks, not even
# memory still reachable at exit. A failing run ends through exit() with the run's buffers
# still on the stack, so there only lost memory counts.
# Usage: valgrind_memcheck_test.sh PLUGIN_SIGN EXAMPLES_DIR
set -euo pipefail
binary=$1
examples=$2

if ! command -v valgrind >/dev/null; then
  echo "valgrind is not installed (scripts/install-deps.sh test); skipping" >&2
  exit 77
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/hello" "$scratch/invalid"
cp "$examples/hello/plugin.toml" "$examples/hello/main.wasm" "$scratch/hello/"
cp "$examples/hello/main.wasm" "$scratch/invalid/"
printf '[package]\nname = 5\n' >"$scratch/invalid/plugin.toml"
export KAVENTA_PLUGIN_SIGNING_KEY
KAVENTA_PLUGIN_SIGNING_KEY="$(cat "$examples/demo-signing-key.txt")"

memcheck() {
  local leak_kinds=$1
  shift
  valgrind -q --tool=memcheck --leak-check=full --show-leak-kinds="$leak_kinds" \
    --errors-for-leak-kinds="$leak_kinds" --error-exitcode=99 --track-fds=no "$binary" "$@"
}

status=0
memcheck all "$scratch/hello" "$scratch/hello.zip" >"$scratch/out" 2>"$scratch/err" || status=$?
if [ "$status" -ne 0 ] || [ -s "$scratch/err" ]; then
  echo "signing the example: status $status" >&2
  cat "$scratch/err" >&2
  exit 1
fi
grep -q 'hello.zip' "$scratch/out"
[ "$(wc -c <"$scratch/hello/signature.sig")" -eq 88 ]

status=0
memcheck definite,indirect,possible "$scratch/invalid" "$scratch/invalid.zip" \
  >"$scratch/out" 2>"$scratch/err" || status=$?
if [ "$status" -ne 1 ] || [ "$(head -c 34 "$scratch/err")" != "plugin_sign: invalid plugin.toml: " ] ||
  grep -q '^==[0-9]*==' "$scratch/err"; then
  echo "the failing run: status $status" >&2
  cat "$scratch/err" >&2
  exit 1
fi
echo "memcheck: no errors, no leaks"
