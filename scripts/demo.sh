#!/usr/bin/env bash
# The main job: builds the library and runs the demonstration host.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build hvdemo >/dev/null
QUILLON_SAFE_ASSERT=quiet ./build/bin/hvdemo
