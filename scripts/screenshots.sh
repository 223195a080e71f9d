#!/usr/bin/env bash
# Renders the desktop program's windows on a virtual X display (Xvfb) into
# docs/screenshots/. Each build/bin/ui_shots_* program prepares its own application
# directory, drives the real service and writes its PNGs into the folder it is given.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
vantrel_install_deps

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"

out="$PWD/docs/screenshots"  # absolute: the programs work in directories of their own
mkdir -p "$out"
shopt -s nullglob
shots=(build/bin/ui_shots_*)
[ ${#shots[@]} -gt 0 ] || { echo "no screenshot programs in build/bin" >&2; exit 1; }
for program in "${shots[@]}"; do
  echo "== $program"
  QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1600x1000x24" "$program" "$out"
done
ls -l "$out"
