#!/usr/bin/env bash
# Configures and builds into build/ and lays out a service folder in build/service/
# (executable, stand-ins, development certificates).
set -euo pipefail
cd "$(dirname "$0")/.."
# ccache, when the machine has it, lets several checkouts of the project share compiled objects.
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]+"${launcher[@]}"}" >/dev/null
cmake --build build -j2
cmake --install build --prefix build/service >/dev/null
scripts/make-dev-certs.sh build/service
