#!/usr/bin/env bash
# Builds the host build and runs the main job, zendra-sim: a point-of-sale
# program reading barcodes from a virtual scanner through zendra on the
# emulated platform. Arguments go to zendra-sim (for example --seed 7 to
# run under the deterministic scheduler, --pnp for the Plug and Play
# walk-through). Installs what a fresh Debian machine lacks first.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh >/dev/null
cmake --preset host >/dev/null
cmake --build --preset host --target zendra-sim >/dev/null
exec ./build/host/zendra-sim "$@"
