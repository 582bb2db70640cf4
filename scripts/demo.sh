#!/usr/bin/env bash
# Builds the host build and runs the main job, zendra-sim: the driver on the
# emulated platform with three virtual scanners. Arguments go to zendra-sim
# (for example --seed 7 to run under the deterministic scheduler).
# Installs what a fresh Debian machine lacks first.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh >/dev/null
cmake --preset host >/dev/null
cmake --build --preset host --target zendra-sim >/dev/null
exec ./build/host/zendra-sim "$@"
