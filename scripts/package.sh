#!/bin/bash
# Builds (release, without the tests) and packs Vantrel as Debian packages in build-release/:
# vantreld (the service and its tools) and, where Qt 6 is found, vantrel (the desktop program).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
vantrel_install_deps
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
cmake --build build-release -j"$(nproc)" --target package
ls -l build-release/*.deb
