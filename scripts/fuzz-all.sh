#!/usr/bin/env bash
# A long fuzzing campaign, outside CI: builds every libFuzzer target (clang, into build-fuzz/)
# and runs each in turn for the given time. What a run finds stays in the target's corpus,
# fuzz/corpus/<target>/, to be committed:
#   - inputs that reach code the corpus did not reach are merged in (only those, so the
#     corpus stays small);
#   - an input that crashed, leaked or hung the target is kept as finding-<kind>-<hash>, so
#     that the short runs of scripts/test-all.sh replay it from then on (and fail until the
#     fault is mended).
# Usage: scripts/fuzz-all.sh [SECONDS_PER_TARGET (default 600)] [TARGET...  (default: all)]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-600}"
shift || true

launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DNORVANE_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "${launcher[@]+"${launcher[@]}"}" >/dev/null
cmake --build build-fuzz -j2

targets=("$@")
if (( ${#targets[@]} == 0 )); then
  for fuzzer in build-fuzz/*_fuzz; do [[ -x "$fuzzer" ]] && targets+=("$(basename "$fuzzer")"); done
fi

failed=()
for name in "${targets[@]}"; do
  fuzzer="build-fuzz/$name"
  [[ -x "$fuzzer" ]] || { echo "-- $name: no such target in build-fuzz/"; failed+=("$name"); continue; }
  corpus="fuzz/corpus/$name"
  mkdir -p "$corpus"
  work=$(mktemp -d)
  mkdir "$work/new" "$work/artifacts"
  echo "-- $name: ${seconds} s"
  status=0
  "$fuzzer" -max_total_time="$seconds" -rss_limit_mb=4096 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" "$work/new" "$corpus" >"$work/log" 2>&1 || status=$?
  grep -E '^(Done [0-9]+ runs|stat::number_of_executed_units)' "$work/log" | tail -1 || true
  before=$(ls "$corpus" | wc -l)
  "$fuzzer" -merge=1 "$corpus" "$work/new" >"$work/merge.log" 2>&1 ||
    { echo "   merge failed:"; tail -20 "$work/merge.log"; }
  echo "   corpus: $before -> $(ls "$corpus" | wc -l) inputs"
  for artifact in "$work"/artifacts/*; do
    [[ -e "$artifact" ]] || continue
    kind=$(basename "$artifact" | cut -d- -f1)
    kept="$corpus/finding-$kind-$(sha1sum "$artifact" | cut -c1-16)"
    cp "$artifact" "$kept"
    echo "   FOUND ($kind): kept as $kept"
  done
  if (( status != 0 )); then
    failed+=("$name")
    echo "   the run stopped with status $status; its report:"
    grep -A40 -E '^==[0-9]+==ERROR|runtime error|^SUMMARY' "$work/log" | head -60 || tail -40 "$work/log"
  fi
  rm -rf "$work"
done

if (( ${#failed[@]} > 0 )); then
  echo "== findings in: ${failed[*]} (inputs kept under fuzz/corpus/; commit them with the fix)"
  exit 1
fi
echo "== no findings; new corpus inputs (if any) are under fuzz/corpus/"
