#!/usr/bin/env bash
# The main job: builds the driver against the simulated kernel and runs it on
# the default simulated machine. Arguments go to voxen-sim.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset host >/dev/null
cmake --build --preset host --target voxen-sim >/dev/null
exec build/host/voxen-sim "$@"
