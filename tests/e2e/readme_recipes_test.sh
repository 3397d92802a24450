#!/usr/bin/env bash
# Runs the README's recipes (the sh blocks after "<!-- recipe: ... -->") in order, in a scratch
# directory, with the built tools on PATH: create a key (with plugin_key and with OpenSSL),
# derive the public key, sign the example plugin, verify the package with plugin_verify and
# with OpenSSL. Then checks that both ways agree and that a tampered package fails both.
set -euo pipefail
readme=$1 binary_dir=$2 source_dir=$3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/examples"
cp -r "$source_dir/examples/hello" "$work/examples/hello"
rm -f "$work/examples/hello/signature.sig"

awk '/^<!-- recipe: / { want = 1; next }
     want && /^```sh$/ { inside = 1; next }
     inside && /^```$/ { inside = 0; want = 0; next }
     inside { print }' "$readme" > "$work/recipes.sh"
[ "$(grep -c . "$work/recipes.sh")" -gt 5 ] || { echo "no recipes found in $readme" >&2; exit 1; }

cd "$work"
export PATH="$binary_dir:$PATH"
unset KAVENTA_PLUGIN_SIGNING_KEY
output=$(bash -euo pipefail recipes.sh 2>&1) || { echo "$output"; exit 1; }
echo "$output"
grep -q 'Signature Verified Successfully' <<<"$output"
grep -Eqx 'hello-v0\.1\.0\.zip: verified hello 0\.1\.0, key [0-9a-f]{16}' <<<"$output"
[ "$(wc -c < signing-key.b64)" -eq 45 ]   # 44 characters and the newline from base64
[ "$(wc -c < signing-key)" -eq 45 ] && [ "$(stat -c %a signing-key)" = 600 ]
grep -Eq '^public-key: [A-Za-z0-9+/]{43}=$' <<<"$output"
grep -q "^key-id: $(plugin_key id signing-key.pub)\$" <<<"$output"
# OpenSSL and plugin_key derive the same public key from the OpenSSL-made seed.
plugin_key public --pem signing-key.b64 | cmp - public-openssl.pem

# The same check must refuse a package whose module was changed after signing.
printf '\001' >> check/main.wasm
printf '{"plugin.toml":"%s","main.wasm":"%s"}' \
  "$(sha256sum < check/plugin.toml | cut -d' ' -f1)" \
  "$(sha256sum < check/main.wasm | cut -d' ' -f1)" > manifest.json
if openssl pkeyutl -verify -pubin -inkey public.pem -rawin -in manifest.json \
     -sigfile signature.bin >/dev/null 2>&1; then
  echo "a tampered package verified" >&2; exit 1
fi
cp hello-v0.1.0.zip tampered.zip
printf '\001' >> tampered.zip
status=0
plugin_verify -q -p public.pem tampered.zip || status=$?
[ "$status" -eq 2 ] || { echo "plugin_verify gave $status for a tampered package" >&2; exit 1; }

# The revocation statement and the key ID the recipes listed refuse the package, and only
# them: the same list without its lines lets it verify again.
grep -Eqx 'key [A-Za-z0-9+/]{43}= [A-Za-z0-9+/]{86}==' signing-key.revoke
[ "$(cut -d' ' -f2 signing-key.revoke)" = "$(plugin_key public signing-key)" ]
status=0
plugin_verify -q -p public.pem -r revoked.txt hello-v0.1.0.zip || status=$?
[ "$status" -eq 1 ] || { echo "plugin_verify -r gave $status for a revoked key" >&2; exit 1; }
grep -v '^key-id ' revoked.txt > statement-only.txt
status=0
plugin_verify -q -p public.pem -r statement-only.txt hello-v0.1.0.zip || status=$?
[ "$status" -eq 1 ] || { echo "the statement alone gave $status" >&2; exit 1; }
: > nothing.txt
plugin_verify -q -p public.pem -r nothing.txt hello-v0.1.0.zip
echo "README recipes: passed"
