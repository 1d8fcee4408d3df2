#!/usr/bin/env bash
# The demonstration host runs and shows the refusal in English and German.
set -euo pipefail
out=$(QUILLON_SAFE_ASSERT=quiet LANGUAGE= LC_ALL= LC_MESSAGES= LANG=C "$1/bin/hvdemo")
grep -q "Failed to open the virtualization server." <<<"$out"
out=$(QUILLON_SAFE_ASSERT=quiet LANGUAGE=de "$1/bin/hvdemo")
grep -q "Der Virtualisierungsserver konnte nicht geöffnet werden." <<<"$out"
