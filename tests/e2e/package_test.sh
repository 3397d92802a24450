#!/usr/bin/env bash
# The Debian packages as a user gets them: built from the build directory, each extracted into
# one scratch root, the extracted tools sign, verify and make keys, a C host builds with
# pkg-config against the extracted development files and verifies, lintian finds no error, the
# bash completions complete, and the packages hold exactly what cmake --install installs.
# Skips (status 77) when the packaging tools are missing, unless CI=true.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build_dir=$(cd "$1" && pwd) source_dir=$(cd "$2" && pwd)

missing=()
for tool in cpack dpkg-deb dpkg-shlibdeps dpkg-parsechangelog file readelf lintian pkg-config cc; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
[ -f /usr/share/bash-completion/bash_completion ] || missing+=(bash-completion)
if [ ${#missing[@]} -gt 0 ]; then
  echo "package test: ${missing[*]} missing (scripts/install-deps.sh package installs them)"
  [ "${CI:-}" = true ] && exit 1
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package test: $*"; exit 1; }

"$source_dir/scripts/package.sh" "$build_dir" "$work/debs" >/dev/null
version=$(dpkg-parsechangelog -l "$source_dir/packaging/debian/changelog" -S Version)
arch=$(dpkg --print-architecture)
tools=$work/debs/plugin-sign_${version}_$arch.deb
runtime=$work/debs/libplugin-sign-verify1_${version}_$arch.deb
dev=$work/debs/libplugin-sign-verify-dev_${version}_$arch.deb
# The changelog's version is the packages' version: three packages, named after it.
[ "$(cd "$work/debs" && ls)" = "$(printf '%s\n' "$(basename "$dev")" "$(basename "$runtime")" \
  "$(basename "$tools")" | sort)" ] ||
  fail "packages of version $version (packaging/debian/changelog) expected: $(ls "$work/debs")"

field() { dpkg-deb -f "$1" "$2"; }
[ "$(field "$tools" Section)/$(field "$runtime" Section)/$(field "$dev" Section)" = \
  utils/libs/libdevel ] || fail "sections"
# The tools load the C library and ISA-L only (Debian ships no archive of ISA-L); the library
# needs its runtime libraries; the development files need exactly this library.
[[ $(field "$tools" Depends) =~ ^libc6\ \(\>=\ [0-9.]+\),\ libisal2\ \(\>=\ [0-9.]+\)$ ]] ||
  fail "plugin-sign depends on: $(field "$tools" Depends)"
for library in libc6 libgcc-s1 libstdc++6 libsodium23 libnettle8 libdeflate0 libisal2; do
  [[ ", $(field "$runtime" Depends)," =~ ", $library"[\ ,] ]] ||
    fail "libplugin-sign-verify1 lacks $library: $(field "$runtime" Depends)"
done
[ "$(field "$dev" Depends)" = "libplugin-sign-verify1 (= $version)" ] ||
  fail "libplugin-sign-verify-dev depends on: $(field "$dev" Depends)"
grep -qx <<<"$(dpkg-deb --ctrl-tarfile "$runtime" | tar -xO ./shlibs)" \
  "libplugin_sign_verify 1 libplugin-sign-verify1 (>= $version)" || fail "shlibs"

# No file in two packages, where dpkg would refuse the second.
root=$work/root
for deb in "$tools" "$runtime" "$dev"; do
  dpkg-deb -x "$deb" "$root"
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||'
done >"$work/packaged"
duplicates=$(sort "$work/packaged" | uniq -d)
[ -z "$duplicates" ] || fail "in two packages: $duplicates"

# make install, into the same prefix, installs the same files; only Debian's copyright and
# changelog for each package and the tools' lintian override are the packages' own.
DESTDIR=$work/installed cmake --install "$build_dir" --prefix /usr >/dev/null
(cd "$work/installed" && find . ! -type d | sed 's|^\./||' | sort) >"$work/installed.list"
grep -vE '^usr/share/(doc/(plugin-sign|libplugin-sign-verify1|libplugin-sign-verify-dev)/(copyright|changelog\.gz)|lintian/overrides/plugin-sign)$' \
  "$work/packaged" | sort >"$work/packaged.list"
diff -u "$work/installed.list" "$work/packaged.list" ||
  fail "make install (-) and the packages (+) install different files"
grep -qx usr/share/bash-completion/completions/plugin_key "$work/installed.list" ||
  fail "no completions installed"

# The extracted tools: sign the example with the demo key, verify with its public key, keys.
bin=$root/usr/bin
cp -r "$source_dir/examples/hello" "$work/hello"
(cd "$work" && KAVENTA_PLUGIN_SIGNING_KEY="$(cat "$source_dir/examples/demo-signing-key.txt")" \
  "$bin/plugin_sign" hello >/dev/null)
demo_public=$(grep -v '^#' "$source_dir/examples/demo-public-key.txt")
demo_id=$("$bin/plugin_key" id "$demo_public")
[ "$(cd "$work" && "$bin/plugin_verify" -p "$source_dir/examples/demo-public-key.txt" hello-v0.1.0.zip)" = \
  "hello-v0.1.0.zip: verified hello 0.1.0, key $demo_id" ] || fail "plugin_verify"
generated=$("$bin/plugin_key" generate "$work/new-key")
[ "$generated" = "public-key: $(grep -v '^#' "$work/new-key.pub")
key-id: $("$bin/plugin_key" id "$work/new-key.pub")" ] || fail "plugin_key generate: $generated"

# The C host, built against the extracted development files with their pkg-config file only,
# loads the extracted library.
pc_dir=$(dirname "$(find "$root" -name plugin_sign_verify.pc)")
export PKG_CONFIG_LIBDIR=$pc_dir
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Werror -pedantic -o "$work/verify_host_c" \
  "$source_dir/tests/e2e/host/verify_host.c" $(pkg-config --cflags --libs plugin_sign_verify)
library_dir=$(dirname "$(find "$root" -name libplugin_sign_verify.so.1)")
export LD_LIBRARY_PATH=$library_dir
# Read whole first: grep -q stops at the first match, and ldd's broken pipe would fail the test.
loaded=$(ldd "$work/verify_host_c")
grep -q "libplugin_sign_verify.so.1 => $library_dir/" <<<"$loaded" ||
  fail "the host does not load the extracted library"
[ "$("$work/verify_host_c" "$source_dir/examples/demo-public-key.txt" "$work/hello-v0.1.0.zip")" = \
  "verified hello 0.1.0, key $demo_id, main.wasm $(stat -c %s "$work/hello/main.wasm") bytes" ] ||
  fail "the C host did not verify"
unset LD_LIBRARY_PATH PKG_CONFIG_LIBDIR

# Completion of options, commands and files, as bash-completion loads the installed files.
mkdir "$work/complete" "$work/complete/dir" && touch "$work/complete/a.zip" "$work/complete/key"
completed=$(cd "$work/complete" && bash -c '
  source /usr/share/bash-completion/bash_completion
  for file in "$1"/usr/share/bash-completion/completions/*; do source "$file"; done
  complete_words() {
    COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMP_LINE="$*" COMP_POINT=${#COMP_LINE} COMPREPLY=()
    "_$1" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf "%s|" "$*" && printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " " && echo
  }
  complete_words plugin_sign ""
  complete_words plugin_sign dir ""
  complete_words plugin_verify --j
  complete_words plugin_verify --n
  complete_words plugin_verify -x ""
  complete_words plugin_verify -p ""
  complete_words plugin_verify -r ""
  complete_words plugin_key ""
  complete_words plugin_key generate --
  complete_words plugin_key public --p
' bash "$root")
[ "$completed" = "plugin_sign |dir 
plugin_sign dir |a.zip dir 
plugin_verify --j|--json 
plugin_verify --n|--name 
plugin_verify -x |dir 
plugin_verify -p |a.zip dir key 
plugin_verify -r |a.zip dir key 
plugin_key |--help --version generate id public revoke 
plugin_key generate --|--force --help 
plugin_key public --p|--pem " ] || fail "completions:
$completed"

# lintian: no error in any package (README.md lists the warnings kept).
if ! lintian --fail-on error --tag-display-limit 0 "$tools" "$runtime" "$dev" >"$work/lintian" 2>&1; then
  cat "$work/lintian"
  fail "lintian reports errors"
fi
sed 's/^/lintian: /' "$work/lintian"
echo "packages: passed"
