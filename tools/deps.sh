#!/usr/bin/env bash
# Installs what building and testing need when a fresh Debian machine lacks it:
# a C++20 compiler, CMake and gemmi (header-only, with PEGTL: CIF reflection
# files and CCP4 maps) for the program; with --tests also GoogleTest, Google
# Benchmark and Ghostscript (the tests render every PostScript page the
# program writes).
set -euo pipefail
need=()
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v make >/dev/null 2>&1 || need+=(make)
[ -f /usr/include/gemmi/cif.hpp ] || need+=(gemmi-dev)
[ -f /usr/include/tao/pegtl.hpp ] || need+=(tao-pegtl-dev)
if [ "${1:-}" = "--tests" ]; then
  [ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
  [ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
  command -v gs >/dev/null 2>&1 || need+=(ghostscript)
fi
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
