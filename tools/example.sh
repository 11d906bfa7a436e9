#!/usr/bin/env bash
# Builds trovan and runs the bundled example (a Fourier map of a cubic
# perovskite) in examples/perovskite; the listing goes to standard output.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/tools/deps.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target trovan
cd "$root/examples/perovskite"
"$root/build/trovan" perovskite.inp
