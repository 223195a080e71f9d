#!/usr/bin/env bash
# Installs what the build needs, builds a release and runs Vantrel with the given arguments:
# the desktop program when it is built and a display is available, otherwise vantreld.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
vantrel_install_deps

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x build/bin/vantrel ]; then
  exec build/bin/vantrel "$@"
fi
exec build/bin/vantreld "$@"
