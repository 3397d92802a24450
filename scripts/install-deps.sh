#!/usr/bin/env bash
# Installs the Debian packages that building, testing and benchmarking need, when missing.
# Usage: scripts/install-deps.sh [build|test|bench|fuzz|package]...   (default: build test)
set -euo pipefail

build=(g++ cmake ninja-build make libsodium-dev nettle-dev zlib1g-dev libdeflate-dev libtomlplusplus-dev
  libisal-dev)
test=(libgtest-dev openssl zip unzip libarchive-tools python3 coreutils valgrind pkg-config binutils)
bench=(gnuplot-nox zip unzip openssl python3 libdeflate-dev nettle-dev minisign signify-openbsd valgrind binutils
  openssh-client)
fuzz=(clang-19 libclang-rt-19-dev)
package=(dpkg-dev file binutils lintian bash-completion pkg-config gcc)

# The Node package's build and tests: Node, node-gyp, Node's headers (libnode-dev) and npm, from
# Debian. A Node installed from elsewhere (NodeSource, nvm, nodejs.org) is kept as it is: it
# brings its own headers, npm and npm's node-gyp, and Debian's node-gyp and libnode-dev would
# need Debian's nodejs in its place. Debian's is the one whose version is "+dfsg".
node=(nodejs node-gyp libnode-dev npm)
if command -v node >/dev/null &&
    [[ $(dpkg-query -W -f='${Version}' nodejs 2>/dev/null) != *+dfsg* ]]; then
  node=()
fi
test+=("${node[@]}")

groups=("$@")
[ ${#groups[@]} -eq 0 ] && groups=(build test)

wanted=()
for g in "${groups[@]}"; do
  case "$g" in
    build) wanted+=("${build[@]}") ;;
    test) wanted+=("${test[@]}") ;;
    bench) wanted+=("${bench[@]}") ;;
    fuzz) wanted+=("${fuzz[@]}") ;;
    package) wanted+=("${package[@]}") ;;
    *) echo "install-deps: unknown group '$g'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [ "$status" = installed ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q >/dev/null
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
