#!/usr/bin/env bash
# Builds the Debian packages from a configured and built build directory: plugin-sign,
# libplugin-sign-verify1 and libplugin-sign-verify-dev, into OUT_DIR (replacing the .deb files
# there). Usage: scripts/package.sh [BUILD_DIR] [OUT_DIR]   (default: build build/packages)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
out=${2:-$build/packages}
mkdir -p "$out"
out=$(cd "$out" && pwd)
# CPack stages under its output directory; the packages alone go to OUT_DIR.
staging=$(mktemp -d "${TMPDIR:-/tmp}/plugin-sign-cpack.XXXXXX")
trap 'rm -rf "$staging"' EXIT
cpack --config "$build/CPackConfig.cmake" -B "$staging" >"$staging/cpack.log" 2>&1 ||
  { cat "$staging/cpack.log" >&2; exit 1; }
rm -f "$out"/*.deb
mv "$staging"/*.deb "$out"/
ls "$out"/*.deb
