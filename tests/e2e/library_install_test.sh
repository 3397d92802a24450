#!/usr/bin/env bash
# cmake --install puts the shared verification library, its headers, its CMake package and its
# pkg-config file in place. A C++ host found through find_package and a C host built with
# pkg-config, each against the installed tree only, verify a package that plugin_sign signed
# and refuse a copy with one byte changed.
# Usage: library_install_test.sh BUILD_DIR SOURCE_DIR [COMPILER_FLAGS]
set -euo pipefail
build_dir=$1 source_dir=$2 flags=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
library=$(find "$prefix" -name libplugin_sign_verify.so.1 -print -quit)
[ -n "$library" ]
libdir=$(dirname "$library")
test -L "$libdir/libplugin_sign_verify.so"
objdump -p "$library" | grep -q 'SONAME *libplugin_sign_verify.so.1$'
for header in keys.hpp verify.hpp verify.h; do test -f "$prefix/include/plugin_sign/$header"; done
test -f "$libdir/cmake/PluginSign/PluginSignConfig.cmake"
test -f "$libdir/pkgconfig/plugin_sign_verify.pc"
# Nothing internal is exported: only the C functions and the public C++ API.
if nm -D --defined-only "$library" | awk '{print $3}' | grep -v '^plugin_sign_' |
    c++filt | grep -vE '^plugin_sign::(verify_package|verify_plugin_directory|max_package_size|key_id|public_key_base64|public_key_pem|parse_public_key|parse_trusted_keys|allows_name)(\[abi:cxx11\])?\('; then
  echo "unexpected exported symbols above"
  exit 1
fi

# A package signed by the built signer, and a copy with one byte of main.wasm's data changed.
key=wlzTOxY1BXW4vjAi0Hw5zkUbTHrq78owtIiI53D+16I=
mkdir "$work/demo"
printf '[package]\nname = "demo"\nversion = "1.2.0"\n' >"$work/demo/plugin.toml"
seq 1 30000 >"$work/demo/main.wasm"
wasm_size=$(stat -c %s "$work/demo/main.wasm")
KAVENTA_PLUGIN_SIGNING_KEY=$key "$build_dir/plugin_sign" "$work/demo" "$work/demo.zip"
public=$(KAVENTA_PLUGIN_SIGNING_KEY=$key "$build_dir/plugin_key" public)
key_id=$("$build_dir/plugin_key" id "$public")
cp "$work/demo.zip" "$work/tampered.zip"
offset=$(($(stat -c %s "$work/demo.zip") / 2))
byte=$(od -An -tu1 -j "$offset" -N 1 "$work/demo.zip" | tr -d ' ')
printf "\\$(printf %03o $((byte ^ 255)))" |
  dd of="$work/tampered.zip" bs=1 seek="$offset" conv=notrunc status=none
expected="verified demo 1.2.0, key $key_id, main.wasm $wasm_size bytes"

# C++: find_package(PluginSign CONFIG) and the imported target PluginSign::verify.
cmake -S "$source_dir/tests/e2e/host" -B "$work/host-cxx" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$work/host-cxx" >/dev/null
[ "$("$work/host-cxx/verify_host" "$public" "$work/demo.zip")" = "$expected" ]
status=0
out=$("$work/host-cxx/verify_host" "$public" "$work/tampered.zip") || status=$?
[ "$status" -eq 1 ] && [[ $out == "failed: "* ]] || { echo "C++ host: $status $out"; exit 1; }

# C: pkg-config, and a key file restricting the key to the package's name.
export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046,SC2086
cc -std=c11 -Wall -Wextra -Werror -pedantic $flags -o "$work/verify_host_c" \
  "$source_dir/tests/e2e/host/verify_host.c" $(pkg-config --cflags --libs plugin_sign_verify)
printf '# trusted\n%s names=demo\n' "$public" >"$work/keys"
export LD_LIBRARY_PATH=$libdir
[ "$("$work/verify_host_c" "$work/keys" "$work/demo.zip")" = "$expected" ]
status=0
out=$("$work/verify_host_c" "$work/keys" "$work/tampered.zip") || status=$?
[ "$status" -eq 1 ] && [[ $out == "failed (3): main.wasm: "* ]] ||
  { echo "C host: $status $out"; exit 1; }
# Each refusal with its own status: another key, and a plugin directory without its signature
# (the signed one verifies).
[ "$("$work/verify_host_c" --directory "$work/keys" "$work/demo")" = "$expected" ]
other=$(KAVENTA_PLUGIN_SIGNING_KEY=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA= "$build_dir/plugin_key" public)
printf '%s\n' "$other" >"$work/other-keys"
out=$("$work/verify_host_c" "$work/other-keys" "$work/demo.zip") || true
[ "$out" = "failed (1): signature does not match any trusted key" ] || { echo "C host: $out"; exit 1; }
mkdir "$work/unsigned"
cp "$work/demo/plugin.toml" "$work/demo/main.wasm" "$work/unsigned/"
out=$("$work/verify_host_c" --directory "$work/keys" "$work/unsigned") || true
[ "$out" = "failed (5): failed to read signature.sig: No such file or directory (os error 2)" ] ||
  { echo "C host: $out"; exit 1; }
printf '%s names=other\n' "$public" >"$work/keys"
[ "$("$work/verify_host_c" "$work/keys" "$work/demo.zip")" = \
  "failed (2): key $key_id verifies the signature but is not trusted for package name demo" ]
echo "library install: passed"
