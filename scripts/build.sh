#!/usr/bin/env bash
# Configures and builds into build/ and lays out a service folder in build/service/
# (executable, stand-ins, development certificates).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2
cmake --install build --prefix build/service >/dev/null
scripts/make-dev-certs.sh build/service
