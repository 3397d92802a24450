#!/usr/bin/env bash
# Runs each fuzz target for a set time, one after the other.
# Usage: fuzz/run.sh BUILD_DIR SECONDS [TARGET...]
# New inputs go to BUILD_DIR/fuzz-corpus/<target>, seeded from fuzz/corpus/<target>, which
# stays as committed; crashes go to BUILD_DIR/fuzz-artifacts/. Exits non-zero on a finding.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
seconds=$2
shift 2
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(plugin_toml signing_key zip_writer public_key revocations version_record
  package_verify inflate_differential)

status=0
for t in "${targets[@]}"; do
  corpus="$build/fuzz-corpus/$t"
  artifacts="$build/fuzz-artifacts/$t/"
  mkdir -p "$corpus" "$artifacts"
  echo "fuzz: $t for ${seconds}s" >&2
  "$build/fuzz/${t}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$artifacts" "$corpus" "fuzz/corpus/$t" 2>"$build/fuzz-$t.log" || {
    status=1
    echo "fuzz: $t found a failure; see $build/fuzz-$t.log and $artifacts" >&2
  }
  grep -E '^stat::(number_of_executed_units|peak_rss_mb)|^Done' "$build/fuzz-$t.log" >&2 || true
done
exit $status
