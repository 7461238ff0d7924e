#!/usr/bin/env bash
# Runs one Windows program under Wine with the project's prefix, Korean locale and a time-out:
#   scripts/wine-run.sh [--timeout SECONDS] PROGRAM.exe [ARGS...]
# Needs a display only for programs that open windows (see scripts/with-display.sh).
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"
timeout_s=600
if [ "${1:-}" = "--timeout" ]; then timeout_s="$2"; shift 2; fi
tarn_wine_prefix
set +e
timeout --kill-after=10 "$timeout_s" "$WINE" "$@"
rc=$?
set -e
exit $rc
