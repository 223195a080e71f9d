#!/bin/bash
# Builds (release) and packs Vantrel as a Debian package in build-release/.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
vantrel_install_deps
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release
cmake --build build-release -j"$(nproc)" --target package
ls -l build-release/*.deb
