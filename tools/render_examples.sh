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

# The x-t section of the modulated crystal from its Fourier map, from a MEM
# map fitted with c2 alone (fn=2) and from the MEM map of the defaults, side
# by side (docs/modulated_xt_mem.png; the joining needs Python's PIL).
dir="$work/xt"
mkdir -p "$dir"
cp "$root"/examples/modulated/* "$dir"/
# A figure: the drawing without the parameter text (itext=0).
sed -i 's/^\(div=.*\)$/\1 itext=0/' "$dir"/modulated.inp "$dir"/modulated_mem.inp
sed -i "s/^title='.*'/title='of the data'/" "$dir"/modulated.inp
panels=()
for run in fourier fn2 default; do
  case "$run" in
    fourier) inp=modulated.inp ;;
    fn2) sed -e 's/^\(ex1=.*nex2=[0-9]*\)$/\1 fn=2/' -e "s/^title='.*'/title='c2 alone (fn=2)'/" \
           "$dir/modulated_mem.inp" > "$dir/modulated_fn2.inp"
         inp=modulated_fn2.inp ;;
    default) sed -i "s/^title='.*'/title='with the defaults'/" "$dir/modulated_mem.inp"
         inp=modulated_mem.inp ;;
  esac
  (cd "$dir" && rm -f calcomp1_*.eps && "$exe" "$inp" > "${inp%.inp}.lst")
  gs -q -dSAFER -dBATCH -dNOPAUSE -dEPSCrop -sDEVICE=png16m -r110 -dTextAlphaBits=4 -dGraphicsAlphaBits=4 \
     -sOutputFile="$dir/$run.png" "$dir/calcomp1_1.eps"
  panels+=("$dir/$run.png")
done
py=$(command -v python3 || true)
if [ -n "$py" ] && "$py" -c 'import PIL' 2> /dev/null; then
  "$py" - "$root/docs/modulated_xt_mem.png" "${panels[@]}" <<'PY'
import sys
from PIL import Image
panels = [Image.open(p).convert("RGB") for p in sys.argv[2:]]
joined = Image.new("RGB", (sum(p.width for p in panels), max(p.height for p in panels)), "white")
x = 0
for p in panels:
    joined.paste(p, (x, 0))
    x += p.width
joined.save(sys.argv[1])
PY
  echo "modulated: x-t section, Fourier | MEM fn=2 | MEM"
else
  echo "python3 with PIL not found: docs/modulated_xt_mem.png not made"
fi
