#!/usr/bin/env bash
# Runs every shipped example job with the given program into a folder of its
# own and keeps everything the runs write: listings (.lst), standard error
# (.err), density files, box files and pages. Two such folders made by two
# builds of the program compare with
#   diff -r -I '^date:' -I '^directory:' OLD NEW
# (the listing's header names the date and the folder of the run): a change
# to the program's internals must leave every output byte-identical.
#
#   tools/example_outputs.sh PROGRAM OUTDIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prog=$(realpath "$1")
out=$2
rm -rf "$out"
mkdir -p "$out"
for dir in "$root"/examples/*/; do
  name=$(basename "$dir")
  # Only the folders of crystals hold jobs (examples/python holds scripts).
  compgen -G "$dir*.inp" >/dev/null || continue
  for inp in "$dir"*.inp; do
    job=$(basename "$inp" .inp)
    # Each job in a folder of its own: jobs of one example share file names.
    work="$out/$name/$job"
    mkdir -p "$work"
    cp "$dir"*.hkl "$inp" "$work/"
    (cd "$work" && TROVAN_THREADS=2 "$prog" "$job.inp" > "$job.lst" 2> "$job.err") || echo "$name/$job: status $?" >> "$out/status.txt"
    rm -f "$work"/*.hkl "$work/$job.inp"
  done
done
echo "outputs of $(find "$out" -type f | wc -l) files in $out"
