#!/usr/bin/env bash
# Configures a build directory for the Makefile, and leaves one that is already configured as
# it is, so that the README's commands share one build and compile each object once.
# Usage: scripts/configure.sh BUILD_DIR [-DNAME=VALUE]...
#
# A new directory gets Ninja when it is installed (install-deps installs it, and runs first)
# and Unix Makefiles otherwise. An existing one keeps the generator its cache names: CMake
# refuses a directory configured with two generators. It is configured again only when a
# setting asked for differs from its cache, never merely because a command was run.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1
shift
cache=$dir/CMakeCache.txt

if [ -f "$cache" ]; then
  for setting in "$@"; do
    name=${setting#-D}
    value=${name#*=}
    name=${name%%=*}
    cached=$(sed -n "s/^$name\(:[A-Z]*\)\{0,1\}=//p" "$cache" | head -n 1)
    if [ "$cached" != "$value" ]; then
      exec cmake -S . -B "$dir" "$@" >/dev/null
    fi
  done
  exit 0
fi

generator="Unix Makefiles"
if command -v "${NINJA:-ninja}" >/dev/null 2>&1; then generator=Ninja; fi
exec cmake -S . -B "$dir" -G "$generator" "$@" >/dev/null
