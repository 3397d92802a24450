#!/usr/bin/env bash
# The Node package as users get it: `npm pack` makes a tarball that `npm install` builds, with
# no registry, against the verification library installed from this build, and the example
# host runs from it in a new directory.
# Usage: node_package_test.sh BUILD_DIR SOURCE_DIR    (exit 77, skipped, when npm is missing)
set -euo pipefail
umask 022
build_dir=$(cd "$1" && pwd) source_dir=$(cd "$2" && pwd)
command -v npm >/dev/null || { echo "npm is not installed"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# npm's cache and settings of its own: nothing from the user's, nothing left behind.
export npm_config_cache=$work/npm-cache npm_config_userconfig=$work/npmrc
export npm_config_update_notifier=false npm_config_fund=false npm_config_audit=false

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
pc=$(find "$work/prefix" -name plugin_sign_verify.pc -print -quit)
export PKG_CONFIG_PATH=${pc%/*}

(cd "$work" && npm pack --silent "$source_dir/bindings/node" >/dev/null)
tarball=$work/plugin-sign-verify-1.0.0.tgz
# The sources the install builds from, and nothing built or tested here.
listing=$(tar -tzf "$tarball" | sort)
expected=$(printf 'package/%s\n' binding.gyp examples/host.js index.d.ts index.js index.mjs \
  package.json scripts/build.js src/addon.cpp | sort)
[ "$listing" = "$expected" ] || { echo "tarball holds:"; echo "$listing"; exit 1; }

mkdir "$work/app"
cd "$work/app"
npm install --offline --no-save "$tarball" >"$work/npm.log" 2>&1 || { cat "$work/npm.log"; exit 1; }
addon=node_modules/plugin-sign-verify/build/Release/plugin_sign_verify.node
# Linked to the installed library, found through the path it was built against.
grep -q "RUNPATH.*\[${pc%/pkgconfig/*}\]" <<<"$(readelf -d "$addon")" ||
  { readelf -d "$addon"; exit 1; }

mkdir "$work/hello"
cp "$source_dir/examples/hello/plugin.toml" "$source_dir/examples/hello/main.wasm" "$work/hello/"
KAVENTA_PLUGIN_SIGNING_KEY=$(grep -v '^#' "$source_dir/examples/demo-signing-key.txt") \
  "$build_dir/plugin_sign" "$work/hello" "$work/hello.zip"
key_id=$("$build_dir/plugin_key" id "$source_dir/examples/demo-public-key.txt")
cp node_modules/plugin-sign-verify/examples/host.js .
out=$(node host.js "$source_dir/examples/demo-public-key.txt" "$work/hello.zip" hello)
[ "$out" = "hello 0.1.0 verified, key $key_id; add(2, 3) = 5" ] || { echo "host.js: $out"; exit 1; }
# ESM and CommonJS both resolve to the installed package.
node --input-type=module -e "import { Keys } from 'plugin-sign-verify'; if (typeof Keys.fromFile !== 'function') process.exit(1);"
echo "node package: passed"
