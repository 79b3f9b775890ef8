#!/usr/bin/env bash
# Installs what is missing, builds the Linux build, the Linux build under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the Windows build, and runs every test of each (the Windows
# test programs under Wine). Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

export WINEDEBUG=-all
# The first Wine start creates its prefix; do it once here rather than inside a timed test.
wineboot -i >/dev/null 2>&1 || true

presets=(linux linux-asan windows)
if [ $# -gt 0 ]; then presets=("$@"); fi

for preset in "${presets[@]}"; do
    echo "=== ${preset}: configure and build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    echo "=== ${preset}: tests"
    ctest --preset "$preset"
done
