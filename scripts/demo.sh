#!/usr/bin/env bash
# Sets up the machine and runs the main job on its built-in demo signal.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh >/dev/null
if [ -x .venv/bin/powergpu ]; then
  exec .venv/bin/powergpu analyze --demo --report demo.html "$@"
fi
exec ./build/bin/three_phase_demo "$@"
