#!/usr/bin/env bash
# The README's commands share one build: on a clean clone, `make demo`, then `make install` and
# `make package`, then `make test` compile each object once, and a second `make demo` compiles
# nothing. Run by .ci/run in place of a bare `make test`; `make package` needs the package
# group of scripts/install-deps.sh, which .ci/run installs.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
list=$(mktemp)
prefix=$(mktemp -d)
trap 'rm -rf "$list" "$list.now" "$prefix"' EXIT
objects() { find "$build" -name '*.o' -printf '%p %T@\n' | sort; }
# Fails naming the step when it compiled anything at all: install and package only take what
# make demo built.
compiled_nothing() {
  objects >"$list.now"
  cmp -s "$list" "$list.now" && return 0
  echo "one build: $1 compiled:" >&2
  comm -13 "$list" "$list.now" >&2
  exit 1
}
# Fails naming the step when any object that make demo compiled was compiled again.
unchanged_since_demo() {
  objects >"$list.now"
  local recompiled
  recompiled=$(comm -23 "$list" "$list.now")
  [ -z "$recompiled" ] && return 0
  echo "one build: $1 compiled again what make demo had compiled:" >&2
  echo "$recompiled" >&2
  exit 1
}

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
compiled_nothing "a second make demo"

make install PREFIX="$prefix" >/dev/null
for page in plugin_sign plugin_verify plugin_key; do
  test -f "$prefix/share/man/man1/$page.1.gz" ||
    { echo "one build: make install left out $page.1.gz" >&2; exit 1; }
done
"$prefix/bin/plugin_verify" --version >/dev/null
compiled_nothing "make install"

make package
compiled_nothing "make package"

start=$SECONDS
make test
test_seconds=$((SECONDS - start))
unchanged_since_demo "make test"
echo "one build: make install, make package and make test compiled no object of make demo's" \
  "$(wc -l <"$list") (make demo ${demo_seconds} s, make test ${test_seconds} s)"
