#!/usr/bin/env bash
# Sets everything up, builds, and runs the program's main job against the lab.
set -euo pipefail
cd "$(dirname "$0")/.."
./setup
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
exec ./lab/demo.sh
