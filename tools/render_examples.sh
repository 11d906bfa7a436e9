#!/usr/bin/env bash
# Runs the Fourier input of every bundled example in a scratch directory and
# renders its section pages to PNG in docs/ (Ghostscript needed): the
# pictures the README shows. Run after building (tools/example.sh).
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
  if [ -f "$dir/calcomp1.ps" ]; then
    gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=png16m -r110 -dTextAlphaBits=4 -dGraphicsAlphaBits=4 \
       -sOutputFile="$root/docs/${name}_%d.png" "$dir/calcomp1.ps"
    echo "$name: $(ls "$root"/docs/"${name}"_*.png | wc -l) page(s)"
  fi
done
