#!/usr/bin/env bash
# The README's commands share one build: on a clean clone, `make demo` then `make test`
# compile each object once, and a second `make demo` compiles nothing. Run by .ci/run in place
# of a bare `make test`.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
list=$(mktemp)
trap 'rm -f "$list" "$list.now"' EXIT
objects() { find "$build" -name '*.o' -printf '%p %T@\n' | sort; }

start=$SECONDS
make demo
demo_seconds=$((SECONDS - start))
objects >"$list"
# With Node installed, make demo builds the Node addon too (node-gyp's objects are in $build
# as well), so that make test reuses it.
if command -v node >/dev/null && ! grep -q '/bindings/node/.*/addon\.o ' "$list"; then
  echo "one build: make demo did not build the Node addon" >&2
  exit 1
fi
make demo >/dev/null
objects >"$list.now"
cmp -s "$list" "$list.now" || { echo "one build: a second make demo compiled again" >&2; exit 1; }
start=$SECONDS
make test
test_seconds=$((SECONDS - start))
objects >"$list.now"
recompiled=$(comm -23 "$list" "$list.now")
if [ -n "$recompiled" ]; then
  echo "one build: make test compiled again what make demo had compiled:" >&2
  echo "$recompiled" >&2
  exit 1
fi
echo "one build: make test compiled no object of make demo's $(wc -l <"$list")" \
  "(make demo ${demo_seconds} s, make test ${test_seconds} s)"
