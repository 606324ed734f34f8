#!/usr/bin/env bash
# Set-up, build, and every test: unit and integration tests (ctest), end-to-end tests
# against the installed service folder, the browser library and demo page in Chromium,
# the Debian packages, and a short run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh

echo "== unit and integration tests"
ctest --test-dir build --output-on-failure -j2 --timeout 600

echo "== listener and routing tests under ThreadSanitizer"
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build-tsan -DNORVANE_TSAN=ON -DNORVANE_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "${launcher[@]+"${launcher[@]}"}" >/dev/null
cmake --build build-tsan -j2 --target websocket_tests routing_tests
for tests in websocket_tests routing_tests; do
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" "build-tsan/$tests" --gtest_brief=1
done

echo "== end-to-end tests"
if compgen -G "e2e/*.test.mjs" >/dev/null; then
  (cd e2e && NORVANE_SERVICE_DIR="$PWD/../build/service" NORVANE_BUILD_DIR="$PWD/../build" \
     node --test --test-concurrency=1 ./*.test.mjs)
fi

echo "== browser client library and demo page (Node and headless Chromium)"
(cd web && NORVANE_SERVICE_DIR="$PWD/../build/service" NORVANE_BUILD_DIR="$PWD/../build" \
   node --test --test-concurrency=1 test/*.test.mjs)

echo "== Debian packages (built, checked, installed and purged again)"
tests/package/package-test.sh build

echo "== fuzz targets (short runs over their seed corpora)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DNORVANE_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "${launcher[@]+"${launcher[@]}"}" >/dev/null
cmake --build build-fuzz -j2
for fuzzer in build-fuzz/*_fuzz; do
  [[ -x "$fuzzer" ]] || continue
  name=$(basename "$fuzzer")
  corpus="fuzz/corpus/$name"
  work=$(mktemp -d)
  log="$work.log"
  if ! "$fuzzer" -max_total_time="${FUZZ_SECONDS:-20}" -rss_limit_mb=4096 -timeout=10 \
       "$work" $( [[ -d "$corpus" ]] && echo "$corpus" ) >"$log" 2>&1; then
    echo "-- $name FAILED (a crashing input is kept in the current folder as crash-*):"
    tail -60 "$log"
    exit 1
  fi
  echo "-- $name: $(grep -E '^Done [0-9]+ runs' "$log" | tail -1)"
  rm -rf "$work" "$log"
done
echo "== all tests passed"
