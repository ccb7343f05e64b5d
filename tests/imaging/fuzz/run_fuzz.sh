#!/usr/bin/env bash
# Short fuzzing run for the test suite: seeds the corpus with the fixture
# files, then fuzzes for the given number of seconds with a fixed seed.
# Memory errors, undefined behaviour, crashes and hangs fail the run; leak
# reports are left to the longer runs (the decoding libraries keep caches of
# their own) and to the sanitizer build of the unit tests.
# usage: run_fuzz.sh FUZZER SEED_WRITER WORK_DIR SECONDS
set -euo pipefail
fuzzer=$1 seeds=$2 work=$3 seconds=$4
rm -rf "$work"
mkdir -p "$work/corpus" "$work/artifacts"
"$seeds" "$work/corpus"
exec "$fuzzer" -max_total_time="$seconds" -seed=1 -timeout=30 -rss_limit_mb=2048 -detect_leaks=0 -print_final_stats=1 \
  -artifact_prefix="$work/artifacts/" "$work/corpus"
