#!/usr/bin/env bash
# Runs the README's recipes (the sh blocks after "<!-- recipe: ... -->") in order, in a scratch
# directory, with the built tools on PATH: sign with the demo key as it is, create a key (with
# plugin_key and with OpenSSL), derive the public key, sign the example plugin, verify the
# package with plugin_verify and with OpenSSL, revoke the key, then a package. Then checks that
# both ways agree, that a tampered package fails both, and what the revocations refuse.
set -euo pipefail
readme=$1 binary_dir=$2 source_dir=$3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/examples"
cp -r "$source_dir/examples/hello" "$work/examples/hello"
cp "$source_dir/examples/demo-signing-key.txt" "$source_dir/examples/demo-public-key.txt" \
  "$work/examples/"
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
# The demo key file, used as it is, signs with the demo key: its public key verifies the package.
demo_id=$(plugin_key id examples/demo-public-key.txt)
grep -qx "hello-v0\.1\.0\.zip: verified hello 0\.1\.0, key $demo_id" <<<"$output"
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

# The package recipe, run after the key's: its own file refuses this package, and the same key's
# other packages still verify with it.
manifest_sha256=$(plugin_verify -p public.pem --json hello-v0.1.0.zip |
  sed -n 's/.*"manifest_sha256":"\([0-9a-f]\{64\}\)".*/\1/p')
[ "$(cat revoked-packages.txt)" = "package $manifest_sha256" ] ||
  { echo "the README revokes another package than hello 0.1.0" >&2; exit 1; }
grep -qx "plugin_verify: hello-v0\.1\.0\.zip: package $manifest_sha256 is revoked" <<<"$output"
grep -qx 'refused: status 1' <<<"$output"
mkdir hello-0.2.0
sed 's/^version = .*/version = "0.2.0"/' examples/hello/plugin.toml > hello-0.2.0/plugin.toml
cp examples/hello/main.wasm hello-0.2.0/
grep -q '"0.2.0"' hello-0.2.0/plugin.toml
KAVENTA_PLUGIN_SIGNING_KEY="$(cat signing-key)" plugin_sign hello-0.2.0 >/dev/null
plugin_verify -q -p public.pem -r revoked-packages.txt hello-v0.2.0.zip
echo "README recipes: passed"
