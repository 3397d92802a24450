#!/usr/bin/env bash
# What a user would write instead of plugin_sign, with standard tools.
# Usage: pipeline.sh PLUGIN_DIR KEY_PEM OUT_ZIP
set -euo pipefail
dir=$1 key=$2 out=$3
manifest=$(mktemp)
trap 'rm -f "$manifest"' EXIT
printf '{"plugin.toml":"%s","main.wasm":"%s"}' \
  "$(sha256sum < "$dir/plugin.toml" | cut -d' ' -f1)" \
  "$(sha256sum < "$dir/main.wasm" | cut -d' ' -f1)" > "$manifest"
openssl pkeyutl -sign -inkey "$key" -rawin -in "$manifest" | base64 -w0 > "$dir/signature.sig"
rm -f "$out"
zip -q -6 -X -j "$out" "$dir/plugin.toml" "$dir/main.wasm" "$dir/signature.sig"
