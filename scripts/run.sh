#!/usr/bin/env bash
# Installs what the build needs, builds a release and runs Vantrel with the given arguments.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
vantrel_install_deps

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x build/bin/vantrel ]; then
  exec build/bin/vantrel "$@"
fi
if [ -x build/bin/vantreld ]; then
  exec build/bin/vantreld "$@"
fi
echo "Built into build/bin: $(ls build/bin | tr '\n' ' ')"
echo "The service programs are not part of this build yet; nothing to run."
