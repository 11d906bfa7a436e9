#!/usr/bin/env bash
# Runs the Fourier input of every bundled example in a scratch directory and
# renders its section pages (their EPS files, cropped to the drawing) to PNG
# at 110 dpi in docs/ (Ghostscript needed): the pictures of the front page and
# the guide. Run after building (tools/example.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
exe="$root/build/trovan"
[ -x "$exe" ] || { echo "build trovan first (bash tools/example.sh)"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for inp in "$root"/examples/*/*.inp; do
  name=$(basename "$inp" .inp)
  case "$name" in *_mem) continue ;; esac
  dir="$work/$name"
  mkdir -p "$dir"
  cp "$(dirname "$inp")"/* "$dir"/
  (cd "$dir" && "$exe" "$name.inp" > "$name.lst")
  # Each page from its EPS file, cropped to its bounding box.
  for eps in "$dir"/calcomp1_*.eps; do
    [ -f "$eps" ] || continue
    page=$(basename "$eps" .eps)
    page=${page#calcomp1_}
    gs -q -dSAFER -dBATCH -dNOPAUSE -dEPSCrop -sDEVICE=png16m -r110 -dTextAlphaBits=4 -dGraphicsAlphaBits=4 \
       -sOutputFile="$root/docs/${name}_${page}.png" "$eps"
    echo "$name: page $page"
  done
done
