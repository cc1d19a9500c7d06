#!/usr/bin/env bash
# Builds Pelmar from scratch and runs the whole test suite twice: in the
# ordinary host build and under AddressSanitizer and
# UndefinedBehaviorSanitizer; then runs the Windows image under Wine against
# the same cases on ntsim (scripts/test-windows.sh), and the release, built
# twice and compared, its programs under Wine and its package installed
# (scripts/test-release.sh). Installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."

# The Wine cases' packages too, from the start: the host suites check the
# stand-in's ANSI code page against the tables Wine ships.
scripts/deps.sh windows

jobs=$(nproc 2>/dev/null || echo 2)

cmake --preset default
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"

cmake --preset asan
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"

bash scripts/test-windows.sh
bash scripts/test-release.sh
