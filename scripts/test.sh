#!/usr/bin/env bash
# Installs what the build needs, builds everything and runs every test.
# SANITIZE=address or SANITIZE=thread builds into build-<sanitizer> with that sanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
vantrel_install_deps

build_dir=build
cmake_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ -n "${SANITIZE:-}" ]; then
  build_dir="build-${SANITIZE}"
  cmake_args+=(-DVANTREL_SANITIZE="${SANITIZE}")
fi

cmake -S . -B "$build_dir" "${cmake_args[@]}"
cmake --build "$build_dir" -j"$(nproc)"
cd "$build_dir"
ctest --output-on-failure -j"$(nproc)" --timeout 300
