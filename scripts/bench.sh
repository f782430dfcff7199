#!/bin/sh
# Builds the host preset and prints what a power cycle costs.
set -e
cd "$(dirname "$0")/.."
cmake --preset host >/dev/null
cmake --build --preset host -j2 --target voxen-bench >/dev/null
exec build/host/voxen-bench "$@"
