#!/usr/bin/env bash
# cmake --install puts the shared verification library, its headers, its CMake package and its
# pkg-config file in place. A C++ host found through find_package, a C host built with
# pkg-config and a Python host over ctypes, each against the installed tree only, verify a
# package that plugin_sign signed and refuse a copy with one byte changed.
# Usage: library_install_test.sh BUILD_DIR SOURCE_DIR [COMPILER_FLAGS]
set -euo pipefail
umask 022
build_dir=$1 source_dir=$2 flags=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
library=$(find "$prefix" -name libplugin_sign_verify.so.1 -print -quit)
[ -n "$library" ]
libdir=$(dirname "$library")
test -L "$libdir/libplugin_sign_verify.so"
# Outputs are read whole before grep -q, which stops at its match: the writer's broken pipe
# would otherwise fail the pipeline.
grep -q 'SONAME *libplugin_sign_verify.so.1$' <<<"$(objdump -p "$library")"
for header in keys.hpp verify.hpp verify.h revocations.hpp trust_files.hpp version_record.hpp; do test -f "$prefix/include/plugin_sign/$header"; done
test -f "$libdir/cmake/PluginSign/PluginSignConfig.cmake"
test -f "$libdir/pkgconfig/plugin_sign_verify.pc"
# Nothing internal is exported: only the C functions and the public C++ API.
if nm -D --defined-only "$library" | awk '{print $3}' | grep -v '^plugin_sign_' |
    c++filt | grep -vE '^plugin_sign::(verify_package|verify_package_file|verify_plugin_directory|max_package_size|key_id|public_key_base64|public_key_pem|parse_public_key|parse_trusted_keys|allows_name|parse_revocations|load_key_file|load_revocation_file|parse_version_record|format_version_record)(\[abi:cxx11\])?\('; then
  echo "unexpected exported symbols above"
  exit 1
fi
# Each C function the header declares is exported.
exported=$(nm -D --defined-only "$library")
for function in $(grep -oE '\bplugin_sign_[a-z0-9_]+\(' "$prefix/include/plugin_sign/verify.h" | tr -d '(' | sort -u); do
  grep -qE " T $function\$" <<<"$exported" || { echo "not exported: $function"; exit 1; }
done

# The header's version is the library's and the package's.
header_version=$(sed -n 's/^#define PLUGIN_SIGN_VERSION_STRING "\(.*\)"$/\1/p' \
  "$prefix/include/plugin_sign/verify.h")
[ "$header_version" = "$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --modversion plugin_sign_verify)" ]

# The C++ header says what it needs when compiled as older C++; the C header needs only C99.
status=0
echo '#include <plugin_sign/verify.hpp>' |
  c++ -std=c++20 -fsyntax-only -I"$prefix/include" -x c++ - 2>"$work/cxx20.err" || status=$?
[ "$status" -ne 0 ] && grep -q 'plugin_sign/verify.hpp needs C++23' "$work/cxx20.err" ||
  { echo "C++20: $status $(cat "$work/cxx20.err")"; exit 1; }

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

# C99: pkg-config, the library found at run time through the rpath the README gives (no
# LD_LIBRARY_PATH), and a key file restricting the key to the package's name.
export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046,SC2086
cc -std=c99 -Wall -Wextra -Werror -pedantic $flags -o "$work/verify_host_c" \
  "$source_dir/tests/e2e/host/verify_host.c" $(pkg-config --cflags --libs plugin_sign_verify) \
  -Wl,-rpath,"$(pkg-config --variable=libdir plugin_sign_verify)"
printf '# trusted\n%s names=demo\n' "$public" >"$work/keys"
[ "$("$work/verify_host_c" "$work/keys" "$work/demo.zip")" = "$expected" ]
status=0
out=$("$work/verify_host_c" "$work/keys" "$work/tampered.zip") || status=$?
[ "$status" -eq 1 ] && [[ $out == "failed (3, the package is malformed): main.wasm: "* ]] ||
  { echo "C host: $status $out"; exit 1; }
# Each refusal with its own status: another key, and a plugin directory without its signature
# (the signed one verifies).
[ "$("$work/verify_host_c" --directory "$work/keys" "$work/demo")" = "$expected" ]
other=$(KAVENTA_PLUGIN_SIGNING_KEY=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA= "$build_dir/plugin_key" public)
printf '%s\n' "$other" >"$work/other-keys"
out=$("$work/verify_host_c" "$work/other-keys" "$work/demo.zip") || true
[ "$out" = "failed (1, the signature does not match any trusted key): signature does not match any trusted key" ] || { echo "C host: $out"; exit 1; }
mkdir "$work/unsigned"
cp "$work/demo/plugin.toml" "$work/demo/main.wasm" "$work/unsigned/"
out=$("$work/verify_host_c" --directory "$work/keys" "$work/unsigned") || true
[ "$out" = "failed (5, a file could not be read): failed to read signature.sig: No such file or directory (os error 2)" ] ||
  { echo "C host: $out"; exit 1; }
printf '%s names=other\n' "$public" >"$work/keys"
[ "$("$work/verify_host_c" "$work/keys" "$work/demo.zip")" = \
  "failed (2, no trusted key that verifies the signature is allowed for the package's name): key $key_id verifies the signature but is not trusted for package name demo" ]
# A key file every user may write to is refused before a package is looked at.
chmod o+w "$work/keys"
status=0
out=$("$work/verify_host_c" "$work/keys" "$work/demo.zip" 2>&1) || status=$?
[ "$status" -eq 64 ] && [ "$out" = "$work/keys: refused, every user can write to it (chmod o-w $work/keys)" ] ||
  { echo "C host, open key file: $status $out"; exit 1; }

# Python: ctypes over the C API, no compiler.
printf '%s\n' "$public" >"$work/keys.pub"
python=("python3" "$source_dir/tests/e2e/host/verify_host.py")
if [[ $flags == *sanitize* ]]; then
  # A sanitized library needs its runtime loaded before the interpreter, which has none; the
  # interpreter's own allocations are not this library's leaks.
  python=(env "LD_PRELOAD=$(cc -print-file-name=libasan.so) $(cc -print-file-name=libubsan.so)"
    ASAN_OPTIONS=detect_leaks=0 "${python[@]}")
fi
[ "$("${python[@]}" "$work/keys.pub" "$work/demo.zip" "$library")" = "$expected" ]
status=0
out=$("${python[@]}" "$work/keys.pub" "$work/tampered.zip" "$library") || status=$?
[ "$status" -eq 1 ] && [[ $out == "failed ("[0-9]", "*"): "* ]] || { echo "Python host: $status $out"; exit 1; }
[ "$("${python[@]}" --version "$library")" = "$header_version" ]

# The version record through the policy object: the C host records 1.2.0, and then neither
# host takes the older 1.1.0, validly signed as it is.
mkdir "$work/old"
printf '[package]\nname = "demo"\nversion = "1.1.0"\n' >"$work/old/plugin.toml"
cp "$work/demo/main.wasm" "$work/old/main.wasm"
KAVENTA_PLUGIN_SIGNING_KEY=$key "$build_dir/plugin_sign" "$work/old" "$work/old.zip" >/dev/null
[ "$("$work/verify_host_c" --record "$work/record" "$work/keys.pub" "$work/demo.zip")" = "$expected" ]
rollback="failed (11, the package is older than a version accepted before): demo 1.1.0 is older than 1.2.0, accepted before"
status=0
out=$("$work/verify_host_c" --record "$work/record" "$work/keys.pub" "$work/old.zip") || status=$?
[ "$status" -eq 1 ] && [ "$out" = "$rollback" ] || { echo "C host, record: $status $out"; exit 1; }
status=0
out=$("${python[@]}" --record "$work/record" "$work/keys.pub" "$work/old.zip" "$library") || status=$?
[ "$status" -eq 1 ] && [ "$out" = "$rollback" ] || { echo "Python host, record: $status $out"; exit 1; }
[ "$("${python[@]}" "$work/keys.pub" "$work/old.zip" "$library")" = \
  "verified demo 1.1.0, key $key_id, main.wasm $wasm_size bytes" ]
echo "library install: passed"
