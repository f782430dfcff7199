#!/usr/bin/env bash
# Every test: the host build (simulated kernel, sanitizers), the same suite
# under ThreadSanitizer with simulated threads truly in parallel, and the Windows
# build (voxenpci.sys, voxenctl.exe, the check of the driver image, test
# signing, installation through the INF under Wine, and the power cycle
# under Wine's kernel with the test-only harness driver).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

cmake --preset host
cmake --build --preset host
ctest --preset host

cmake --preset tsan
cmake --build --preset tsan
ctest --preset tsan

cmake --preset windows
cmake --build --preset windows
ctest --preset windows
