#!/usr/bin/env bash
# What a user would write instead of plugin_verify: the README's recipe with standard tools.
# Usage: verify_pipeline.sh PACKAGE PUBLIC_PEM WORK_DIR
set -euo pipefail
package=$1 public=$2 work=$3
mkdir -p "$work/check" && unzip -o -q "$package" -d "$work/check"
printf '{"plugin.toml":"%s","main.wasm":"%s"}' \
  "$(sha256sum < "$work/check/plugin.toml" | cut -d' ' -f1)" \
  "$(sha256sum < "$work/check/main.wasm" | cut -d' ' -f1)" > "$work/manifest.json"
base64 -d "$work/check/signature.sig" > "$work/signature.bin"
openssl pkeyutl -verify -pubin -inkey "$public" -rawin -in "$work/manifest.json" \
  -sigfile "$work/signature.bin"
