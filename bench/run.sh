#!/usr/bin/env bash
# Builds the program and the FFTW comparison, installing FFTW's single-
# precision development package first when it is missing, and runs it.
# Usage: bench/run.sh [repetitions] [sections]   (see bench/bench_fftw.cpp)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
if [ ! -e /usr/include/fftw3.h ] || ! ls /usr/lib/*/libfftw3f.so >/dev/null 2>&1; then
  if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq libfftw3-dev
fi
# FFTW may have been installed after the build folder was first configured:
# forget a search for it that failed then.
cmake -S "$root" -B "$build" -U 'FFTW3F_*' -DCMAKE_BUILD_TYPE=Release -DTROVAN_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target trovan bench_fftw
cd "$build"
./bench_fftw "$@"
