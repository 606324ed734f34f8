#!/usr/bin/env bash
# Set-up, build, and every test: unit and integration tests (ctest), end-to-end tests
# against the installed service folder, the browser library and demo page in Chromium,
# the payment and print tests again against the service built with AddressSanitizer and
# UBSan, the Debian packages, and a short run of every fuzz target.
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

echo "== end-to-end payment and print tests against the service under AddressSanitizer and UBSan"
# Only the service program is built again (with ccache, mostly a matter of linking after the
# first run); the rest of its folder, stand-ins included, is the one laid out above.
asan_start=$SECONDS
cmake -S . -B build-asan -DNORVANE_ASAN=ON -DNORVANE_TESTS=OFF -DNORVANE_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]+"${launcher[@]}"}" >/dev/null
cmake --build build-asan -j2 --target SvcNorvaneSiTef
rm -rf build-asan/service build-asan/reports
cp -a build/service build-asan/service
cp build-asan/SvcNorvaneSiTef build-asan/service/SvcNorvaneSiTef
mkdir -p build-asan/reports
asan_built=$SECONDS
# The service's standard error of every run is kept in build-asan/reports/ (the tests do not
# show it; UBSan writes there whatever log_path says), AddressSanitizer's reports go to files
# of their own; any report fails the stage. Leaks are looked for at exit, with the system
# libraries' process-wide caches suppressed.
(cd e2e && NORVANE_SERVICE_DIR="$PWD/../build-asan/service" NORVANE_BUILD_DIR="$PWD/../build" \
   NORVANE_E2E_STDERR_DIR="$PWD/../build-asan/reports" \
   ASAN_OPTIONS="log_path=$PWD/../build-asan/reports/asan:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1" \
   LSAN_OPTIONS="suppressions=$PWD/../scripts/lsan-suppressions.txt:print_suppressions=0" \
   UBSAN_OPTIONS="print_stacktrace=1" \
   node --test --test-concurrency=1 ./payment.test.mjs ./print.test.mjs ./card-data.test.mjs)
if grep -lE 'runtime error:|ERROR: (AddressSanitizer|LeakSanitizer)|SUMMARY: [A-Za-z]+Sanitizer' \
     build-asan/reports/* 2>/dev/null; then
  echo "-- sanitizer reports (in the files above):"
  grep -hE -A30 'runtime error:|ERROR: (AddressSanitizer|LeakSanitizer)' build-asan/reports/* | head -200
  exit 1
fi
echo "-- sanitizer stage: build $((asan_built - asan_start)) s, tests $((SECONDS - asan_built)) s"

echo "== browser client library and demo page (Node and headless Chromium)"
(cd web && NORVANE_SERVICE_DIR="$PWD/../build/service" NORVANE_BUILD_DIR="$PWD/../build" \
   node --test --test-concurrency=1 test/*.test.mjs)

echo "== Debian packages (built, checked, installed and purged again)"
tests/package/package-test.sh build

echo "== fuzz targets (short runs over their corpora; scripts/fuzz-all.sh runs long campaigns)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DNORVANE_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "${launcher[@]+"${launcher[@]}"}" >/dev/null
cmake --build build-fuzz -j2
for fuzzer in build-fuzz/*_fuzz; do
  [[ -x "$fuzzer" ]] || continue
  name=$(basename "$fuzzer")
  corpus="fuzz/corpus/$name"
  work=$(mktemp -d)
  log="$work.log"
  mkdir -p "$corpus"
  # A crashing input joins the target's corpus, to be committed with the fix and replayed
  # by every run from then on.
  if ! "$fuzzer" -max_total_time="${FUZZ_SECONDS:-20}" -rss_limit_mb=4096 -timeout=10 \
       -artifact_prefix="$corpus/finding-" "$work" "$corpus" >"$log" 2>&1; then
    echo "-- $name FAILED (the input is kept as $corpus/finding-*):"
    tail -60 "$log"
    exit 1
  fi
  echo "-- $name: $(grep -E '^Done [0-9]+ runs' "$log" | tail -1)"
  rm -rf "$work" "$log"
done
echo "== all tests passed"
