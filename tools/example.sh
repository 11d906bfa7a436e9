#!/usr/bin/env bash
# Builds trovan (the program alone) and runs the bundled example, a Fourier
# map of a cubic perovskite, in examples/perovskite: the listing goes to
# perovskite.lst there, beside the density, box and page files of the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/tools/deps.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" -j2 --target trovan
cd "$root/examples/perovskite"
"$root/build/trovan" perovskite.inp > perovskite.lst
echo "listing: examples/perovskite/perovskite.lst"
grep -E '^(dmax=|number of independent peaks)' perovskite.lst
echo "written in examples/perovskite:"
ls -1 perovskite.den perovskite.win perovskite.rho perovskite.ccp4 calcomp1.ps calcomp1_*.eps | sed 's/^/  /'
