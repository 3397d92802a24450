#!/usr/bin/env bash
# The Makefile's configure step on one build directory, first on a machine without Ninja (as
# before install-deps has installed it), then with Ninja: the directory keeps the generator it
# was made with (CMake refuses two), is not configured again for an unchanged setting, and
# is configured again for a changed one.
# Usage: makefile_configure_test.sh SOURCE_DIR
set -euo pipefail
src=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
build=$scratch/build
cache=$build/CMakeCache.txt

configure() {
  make -s -C "$src" configure BUILD="$build" "$@" >"$scratch/out" 2>&1 || {
    cat "$scratch/out" >&2
    echo "FAIL: make configure $*" >&2
    exit 1
  }
}
cached() { sed -n "s/^$1:[A-Z]*=//p" "$cache"; }

configure NINJA=/nonexistent/ninja
[ "$(cached CMAKE_GENERATOR)" = "Unix Makefiles" ] || { echo "FAIL: not Unix Makefiles" >&2; exit 1; }

touch -d '2001-01-01' "$cache"
configure
[ "$(cached CMAKE_GENERATOR)" = "Unix Makefiles" ] || { echo "FAIL: generator changed" >&2; exit 1; }
[ "$(stat -c %Y "$cache")" = "$(date -d '2001-01-01' +%s)" ] ||
  { echo "FAIL: configured again with nothing changed" >&2; exit 1; }

configure WERROR=ON
[ "$(cached PLUGIN_SIGN_WERROR)" = ON ] || { echo "FAIL: WERROR=ON not taken" >&2; exit 1; }

rm -rf "$build"
configure
[ "$(cached CMAKE_GENERATOR)" = Ninja ] || { echo "FAIL: a new directory without Ninja" >&2; exit 1; }
echo "makefile configure: ok"
