#!/usr/bin/env bash
# Installs what building and testing need when a fresh Debian machine lacks it:
# a C++20 compiler, CMake and gemmi (header-only, with PEGTL: CIF reflection
# files and CCP4 maps) for the program; with --tests also GoogleTest, Google
# Benchmark and Ghostscript (the tests render every PostScript page the
# program writes); with --python what the Python module (-DTROVAN_PYTHON=ON),
# its tests and examples need: Debian's Python 3 with its headers, pybind11,
# numpy, pytest and matplotlib. The options combine (--tests --python).
set -euo pipefail
need=()
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v make >/dev/null 2>&1 || need+=(make)
[ -f /usr/include/gemmi/cif.hpp ] || need+=(gemmi-dev)
[ -f /usr/include/tao/pegtl.hpp ] || need+=(tao-pegtl-dev)
for opt in "$@"; do
  case "$opt" in
    --tests)
      [ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
      [ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
      command -v gs >/dev/null 2>&1 || need+=(ghostscript)
      ;;
    --python)
      py=/usr/bin/python3
      [ -x $py ] && $py -c 'import sysconfig, os, sys; sys.exit(not os.path.isfile(sysconfig.get_paths()["include"] + "/Python.h"))' 2>/dev/null ||
        need+=(python3-dev)
      [ -f /usr/include/pybind11/pybind11.h ] || need+=(pybind11-dev)
      for m in pybind11 numpy pytest matplotlib; do
        [ -x $py ] && $py -c "import $m" 2>/dev/null || need+=(python3-$m)
      done
      ;;
    *) echo "deps.sh: unknown option $opt (--tests, --python)" >&2; exit 2 ;;
  esac
done
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
