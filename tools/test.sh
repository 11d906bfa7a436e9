#!/usr/bin/env bash
# Builds trovan with its test suite, benchmarks and tools (the default build
# makes the program alone; this script turns the rest on) and runs every
# test, twice: in the normal build, and in a build with AddressSanitizer and
# UndefinedBehaviorSanitizer (build-asan), where the end-to-end tests run the
# sanitized program too. Any sanitizer report fails the script, also one
# from a program run whose test did not look at the exit status.
#
# Both runs put the tests in one random order, in one process, so that a
# test that depends on what another left behind fails here. The seed is
# printed; TROVAN_TEST_SEED=n repeats an order.
#
# The normal build also makes the Python module (-DTROVAN_PYTHON=ON, with
# Debian's /usr/bin/python3), runs its pytest tests (in an order shuffled
# with the same seed) and the scripts of examples/python; TROVAN_PYTHON=OFF
# leaves all three out.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=${TROVAN_PYTHON:-ON}
if [ "$python" = ON ]; then
  bash "$root/tools/deps.sh" --tests --python
else
  bash "$root/tools/deps.sh" --tests
fi

# Lower layers never include a higher one:
# util < crystal < reflections < density < maps < plot < driver.
layers=(util crystal reflections density maps plot driver)
for ((i = 0; i < ${#layers[@]}; ++i)); do
  for ((j = i + 1; j < ${#layers[@]}; ++j)); do
    if grep -n "#include \"${layers[j]}/" "$root/${layers[i]}"/*.[ch]pp; then
      echo "${layers[i]}/ includes ${layers[j]}/, a higher layer"
      exit 1
    fi
  done
done

# Every relative link of the Markdown pages leads to a file and heading.
bash "$root/tools/check_links.sh"

seed=${TROVAN_TEST_SEED:-$(( (RANDOM * 32768 + RANDOM) % 99999 + 1 ))}
order=(--gtest_shuffle "--gtest_random_seed=$seed")
echo "test order: ${order[*]} (TROVAN_TEST_SEED=$seed repeats it)"

everything=(-DTROVAN_TESTS=ON -DTROVAN_BENCH=ON -DTROVAN_TOOLS=ON)
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release "${everything[@]}" -DTROVAN_PYTHON="$python" >/dev/null
cmake --build "$root/build" -j"$(nproc)"
(cd "$root/build" && ./trovan_tests "${order[@]}")

if [ "$python" = ON ]; then
  start=$SECONDS
  pyout=$(mktemp -d)
  trap 'rm -rf "$pyout"' EXIT
  (
    export PYTHONPATH="$root/build/python${PYTHONPATH:+:$PYTHONPATH}"
    TROVAN_EXE="$root/build/trovan" TROVAN_TEST_SEED=$seed \
      /usr/bin/python3 -m pytest -q -p no:cacheprovider "$root/python/tests"
    for script in "$root"/examples/python/*.py; do
      echo "examples/python/$(basename "$script")"
      /usr/bin/python3 "$script" "$pyout/$(basename "$script" .py)"
    done
  )
  echo "Python tests and examples: $((SECONDS - start)) s"
fi

asan="$root/build-asan"
cmake -S "$root" -B "$asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTROVAN_SANITIZE=ON "${everything[@]}" >/dev/null
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
# costs far more than in the normal build, which a run per test would pay
# hundreds of times.
# The F-icosahedral maximum-entropy example (650 cycles on a 10^6 grid) is
# left out here: the sanitized transforms make it take a quarter of an hour,
# its code paths are those of the smaller MEM runs, and the normal build
# above runs it.
(cd "$asan" && ./trovan_tests "${order[@]}" \
  --gtest_filter='-All/Examples.MemRunStopsAtTheNoiseLevelWithF000Kept/icosahedral_f') || status=$?
if compgen -G "$logs/*" >/dev/null; then
  echo "sanitizer reports:"
  cat "$logs"/*
  status=1
fi
echo "test order was: ${order[*]}"
exit $status
