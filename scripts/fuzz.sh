#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a few seconds on its seed corpus
# (fuzz/corpus/NAME, copied so that the checked-in seeds stay as they are).
# fuzz/NAME.options holds a target's own libFuzzer flags (one line).
set -euo pipefail
build=${1:-build-fuzz}
seconds=${2:-20}
cd "$(dirname "$0")/.."
for target in "$build"/bin/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  work=$(mktemp -d)
  [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$work/"
  options=()
  [ -f "fuzz/$name.options" ] && read -r -a options <"fuzz/$name.options"
  echo "-- $name (${seconds}s)"
  ASAN_OPTIONS=detect_leaks=1 "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
    -print_final_stats=0 "${options[@]}" "$work" 2>"$work.log" || { tail -50 "$work.log"; exit 1; }
  rm -rf "$work" "$work.log"
done
