#!/usr/bin/env bash
# Builds trovan with its test suite and runs every test, twice: in the
# normal build, and in a build with AddressSanitizer and
# UndefinedBehaviorSanitizer (build-asan), where the end-to-end tests run the
# sanitized program too. Any sanitizer report fails the script, also one
# from a program run whose test did not look at the exit status.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/tools/deps.sh" --tests
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" -j"$(nproc)"
(cd "$root/build" && ctest --output-on-failure -j"$(nproc)")

asan="$root/build-asan"
cmake -S "$root" -B "$asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTROVAN_SANITIZE=ON >/dev/null
cmake --build "$asan" -j"$(nproc)"
logs="$asan/sanitizer-logs"
rm -rf "$logs"
mkdir -p "$logs"
# Every report aborts its process (a signal, never an exit status the
# program itself uses) and is also written to a log file per process.
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:log_path=$logs/asan"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1:log_path=$logs/ubsan"
status=0
# One process for the whole suite: under the sanitizers starting a process
# (with its 2^24-point tables) costs seconds, which a run per test would pay
# three hundred times.
(cd "$asan" && ./trovan_tests) || status=$?
if compgen -G "$logs/*" >/dev/null; then
  echo "sanitizer reports:"
  cat "$logs"/*
  status=1
fi
exit $status
