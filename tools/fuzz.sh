#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for a given time:
#
#   bash tools/fuzz.sh SECONDS [target ...]     (default: every target)
#
# FUZZ_JOBS=2 runs two targets at a time. Each target starts from its seeds
# (fuzz/seeds/<target>) and its regression corpus (tests/corpus/<target>)
# and keeps what it finds in build-fuzz/corpus/<target>. An input that
# crashes is written to build-fuzz/artifacts/<target>/; once the fault is
# mended, copy it into tests/corpus/<target>/, where the test suite replays
# it on every run. The script fails when any target found something.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
secs=${1:?usage: fuzz.sh SECONDS [target ...]}
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_keywords fuzz_format fuzz_decode fuzz_densityfile)
jobs=${FUZZ_JOBS:-1}
build="$root/build-fuzz"

CXX=${CXX:-clang++} cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTROVAN_FUZZ=ON -DTROVAN_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"

run_one() {
  local t=$1
  local corpus="$build/corpus/$t" art="$build/artifacts/$t/"
  mkdir -p "$corpus" "$art"
  local dirs=("$corpus")
  for d in "$root/fuzz/seeds/$t" "$root/tests/corpus/$t"; do
    [ -d "$d" ] && dirs+=("$d")
  done
  local extra=()
  [ "$t" = fuzz_keywords ] && extra+=(-dict="$root/fuzz/keywords.dict" -max_len=4096)
  # The program's static tables (the 2^24-point work grid and its index
  # tables) are far above libFuzzer's default memory limit of 2 GB with the
  # sanitizer's shadow memory counted in.
  echo "== $t: $secs s"
  local rc=0
  "$build/$t" "${dirs[@]}" -max_total_time="$secs" -rss_limit_mb=8192 -timeout=60 \
    -artifact_prefix="$art" -print_final_stats=1 "${extra[@]}" >"$build/$t.log" 2>&1 || rc=$?
  tail -n 15 "$build/$t.log"
  echo "== $t: exit $rc"
  return $rc
}

fail=0
pids=()
for t in "${targets[@]}"; do
  run_one "$t" &
  pids+=($!)
  if [ ${#pids[@]} -ge "$jobs" ]; then
    wait "${pids[0]}" || fail=1
    pids=("${pids[@]:1}")
  fi
done
for p in "${pids[@]}"; do wait "$p" || fail=1; done
exit $fail
