#!/usr/bin/env bash
# make bench: builds the floors and timing helpers, makes the corpus if missing, runs bench.py.
# BENCH_PART=sign, verify, bomb, peers, record or startup runs one part only (default: all of
# them); bomb needs no corpus; record times only what a version record of 10,000 names adds to a
# verification; startup times plugin_verify on the example plugin against a bare process.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
corpus=${CORPUS:-$root/bench/corpus}

mkdir -p "$build/bench"
if [ "${BENCH_PART:-all}" = record ]; then
  exec python3 "$root/bench/record_bench.py" "$build"
fi
cc -O2 -o "$build/bench/floor" "$root/bench/floor.c" -lz
cc -O2 -o "$build/bench/verify_floor" "$root/bench/verify_floor.c" -ldeflate -lnettle
cc -O2 -o "$build/bench/runone" "$root/bench/runone.c"
cc -O2 -o "$build/bench/bare" "$root/bench/bare.c"
cc -O2 -static -o "$build/bench/bare-static" "$root/bench/bare.c"
if [ "${BENCH_PART:-all}" = startup ]; then
  exec python3 "$root/bench/startup_bench.py" "$build"
fi

if [ "${BENCH_PART:-all}" != bomb ] && [ ! -d "$corpus/plugins" ]; then
  maker=$root/../shared/bench/make-corpus.sh
  [ -f "$maker" ] || { echo "bench: no corpus at $corpus and no $maker to make one" >&2; exit 1; }
  # The maker downloads Debian packages, which needs the package lists.
  if ! ls /var/lib/apt/lists/*_Packages* >/dev/null 2>&1; then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -q >/dev/null
  fi
  bash "$maker" "$corpus"
fi
# The corpus describes each plugin in a [plugin] table; this tool reads [package].
for toml in "$corpus"/plugins/*/plugin.toml; do
  if [ -f "$toml" ]; then sed -i 's/^\[plugin\]$/[package]/' "$toml"; fi
done

python3 "$root/bench/bench.py" "$build" "$corpus" "$build/bench/out" "${BENCH_PART:-all}"
if [ "${BENCH_PART:-all}" = all ]; then
  python3 "$root/bench/record_bench.py" "$build"
  python3 "$root/bench/startup_bench.py" "$build"
fi
