#!/usr/bin/env bash
# cmake --install with a prefix puts the binaries and the manual pages in place, and the
# installed binaries run; the manual pages render without groff warnings where groff exists.
set -euo pipefail
build_dir=$1 source_dir=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
test -x "$prefix/bin/plugin_sign"
test -f "$prefix/share/man/man1/plugin_sign.1.gz"
test -x "$prefix/bin/plugin_verify"
test -f "$prefix/share/man/man1/plugin_verify.1.gz"
test -x "$prefix/bin/plugin_key"
test -f "$prefix/share/man/man1/plugin_key.1.gz"

status=0
"$prefix/bin/plugin_sign" 2>"$prefix/err" || status=$?
[ "$status" -eq 1 ]
grep -qx 'plugin_sign: usage: plugin_sign <plugin_dir> \[output.zip\]' "$prefix/err"
[ "$("$prefix/bin/plugin_verify" --version)" = "plugin_verify 1.0.0" ]

"$prefix/bin/plugin_key" --version >"$prefix/out"
grep -qx 'plugin_key [0-9]*\.[0-9]*\.[0-9]*' "$prefix/out"

# The manual pages are installed compressed, as Debian packages hold them, from the sources.
for page in plugin_sign plugin_verify plugin_key; do
  gzip -dc "$prefix/share/man/man1/$page.1.gz" | cmp -s - "$source_dir/man/$page.1"
done

if command -v groff >/dev/null; then
  for page in plugin_sign plugin_verify plugin_key; do
    warnings=$(groff -Tutf8 -man -ww -z "$source_dir/man/$page.1" 2>&1)
    [ -z "$warnings" ] || { echo "$page.1: $warnings"; exit 1; }
  done
else
  echo "groff not installed: manual page rendering not checked"
fi
echo "install: passed"
