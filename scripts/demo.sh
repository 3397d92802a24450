#!/usr/bin/env bash
# Signs the bundled example plugin with the bundled DEMO key, verifies the package with the
# demo key's public key, and shows what came out: the commands of the README's demo-key recipe.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
out=$build/demo
mkdir -p "$out"

# The demo key is public: never sign anything real with it.
echo "\$ KAVENTA_PLUGIN_SIGNING_KEY=\"\$(cat examples/demo-signing-key.txt)\" plugin_sign examples/hello"
echo "  (in $out)"
(cd "$out" && KAVENTA_PLUGIN_SIGNING_KEY="$(cat "$root/examples/demo-signing-key.txt")" \
  "$build/plugin_sign" "$root/examples/hello")
echo
echo "signature.sig: $(cat "$root/examples/hello/signature.sig")"
echo
echo "\$ plugin_verify -p examples/demo-public-key.txt hello-v0.1.0.zip"
(cd "$out" && "$build/plugin_verify" -p "$root/examples/demo-public-key.txt" hello-v0.1.0.zip)
if [ -n "$(ls "$out"/*.zip 2>/dev/null)" ] && command -v unzip >/dev/null; then
  echo
  unzip -v "$out"/*.zip
fi
