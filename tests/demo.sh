#!/usr/bin/env bash
# The demonstration host shows the refusal in English and German, and the
# main job runs through on the build under test.
set -euo pipefail
out=$(QUILLON_SAFE_ASSERT=quiet LANGUAGE= LC_ALL= LC_MESSAGES= LANG=C "$1/bin/hvdemo")
grep -q "Failed to open the virtualization server." <<<"$out"
out=$(QUILLON_SAFE_ASSERT=quiet LANGUAGE=de "$1/bin/hvdemo")
grep -q "Der Virtualisierungsserver konnte nicht geöffnet werden." <<<"$out"
out=$(HV_BUILD=$1 bash "$(dirname "$0")/../scripts/demo.sh")
[ "$(grep -c "identical to what was written" <<<"$out")" = 4 ]
grep -q "point 2: ok" <<<"$out"
