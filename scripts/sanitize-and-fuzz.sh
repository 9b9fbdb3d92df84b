#!/usr/bin/env bash
# Builds the unit tests and the fuzz targets with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer in their own build directory, runs the unit tests, then each fuzz
# target for FUZZ_SECONDS (default 30) on a copy of its committed seeds, so no run writes into the
# repository. Any failure, sanitizer report or fuzz finding exits non-zero.
#
#   scripts/sanitize-and-fuzz.sh [build-dir]      (default: build-sanitize)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-sanitize}
seconds=${FUZZ_SECONDS:-30}
jobs=${JOBS:-$(nproc)}
targets=(snmp_ber_fuzz broker_fuzz push_mail_reply_fuzz settings_fuzz)
start=$(date +%s)

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVANTOR_SANITIZE=ON -DVANTOR_FUZZ=ON >/dev/null
cmake --build "$build" -j "$jobs" --target unit_tests "${targets[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
echo "== unit tests under ASan and UBSan"
timeout 900 "$build/tests/unit_tests" --gtest_brief=1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in "${targets[@]}"; do
  echo "== $target for ${seconds} s"
  cp -r "tests/fuzz/corpus/$target" "$work/$target"
  mkdir -p "$work/$target-artifacts"
  # The broker target keeps its program directory in TMPDIR; it is removed with $work.
  if ! TMPDIR="$work" "$build/tests/$target" -max_total_time="$seconds" -max_len=1024 -timeout=10 \
      -artifact_prefix="$work/$target-artifacts/" "$work/$target" >"$work/$target.log" 2>&1; then
    tail -n 60 "$work/$target.log"
    echo "$target failed; the input that failed:" >&2
    for f in "$work/$target-artifacts"/*; do [ -e "$f" ] && base64 -w0 "$f" && echo; done
    exit 1
  fi
  grep -E '^Done [0-9]+ runs' "$work/$target.log" || true
done
echo "== sanitizers and fuzzing passed in $(( $(date +%s) - start )) s"
