#!/usr/bin/env bash
# The plug-in exports exactly one symbol.
set -euo pipefail
so="$1/lib/libhvplug.so"
exports=$(nm -D --defined-only "$so" | awk '{print $NF}' | grep -vE '^(_init|_fini|_edata|_end|__bss_start)$' | sort)
if [ "$exports" != "SafeOpenVirtualServer" ]; then
  echo "unexpected exports of $so:"
  echo "$exports"
  exit 1
fi
# The resource archive rides in a section that is never loaded.
readelf -SW "$so" | grep -q ' \.hvres ' || { echo "no .hvres section in $so"; exit 1; }
