#!/usr/bin/env bash
# The main job, end to end: sets up the machine, builds, makes a sample install folder holding an
# older release, serves a newer release from a local server (slowly, so the window can be seen),
# runs TarnFileUpdater.exe under Wine on a virtual display, prints what changed and saves a
# screenshot of the window mid-run to build/demo/window.png.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
source scripts/wine-env.sh
URL="http://127.0.0.1:${TARN_TEST_PORT:-18380}/dedivur/update/pim"
cmake --preset native >build-native-configure.log 2>&1 || { cat build-native-configure.log; exit 1; }
rm -f build-native-configure.log
cmake --build --preset native -j 2 --target update-catalogue
cmake --preset "$TARN_WINE_ARCH" -DUPDATE_CATALOGUE_URL="$URL" >/dev/null
cmake --build --preset "$TARN_WINE_ARCH" -j 2 --target TarnFileUpdater standin_client
tarn_wine_prefix
exec /usr/bin/python3 scripts/demo.py "$@"
