#!/usr/bin/env bash
# Preview (at most 1024x1024) and 160x160 thumbnail of camera-sized photos:
# this project's decoders, scaler and encoder (bench_thumbs) against
# vipsthumbnail making the same two sizes from the same files, in one run.
#
#   bench/bench_thumbs.sh [BUILD_DIR] [COPIES] [ROUNDS]
#
# Each photo is hard-linked COPIES times (distinct names, so no tool can
# reuse a result) and each side processes all copies in one process, so a
# process start is paid once per side and size. Every measurement is taken
# ROUNDS times, alternating the sides, and the best is kept (the machine is
# shared). Wall time and CPU time (user + system) are per file and include
# reading the photo and writing both outputs; vipsthumbnail runs once per
# size, with its default threads and again with one thread.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
copies=${2:-8}
rounds=${3:-3}
driver=$build/bench/bench_thumbs

convert=""
for c in /usr/bin/convert-im6.q16 /usr/bin/convert /usr/bin/magick; do
  if [ -x "$c" ] && "$c" -version 2>/dev/null | head -1 | grep -q ImageMagick; then convert=$c; break; fi
done
[ -n "$convert" ] || { echo "bench_thumbs: ImageMagick is not installed (apt-get install imagemagick)"; exit 1; }
command -v vipsthumbnail >/dev/null || { echo "bench_thumbs: vipsthumbnail is not installed (apt-get install libvips-tools)"; exit 1; }
[ -x "$driver" ] || { echo "bench_thumbs: build $driver first (cmake --build build --target bench_thumbs)"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src" "$work/ours" "$work/vips"

echo "making photos (plasma fractal with sensor-like noise)..."
photo() {  # name size extension extra-options
  "$convert" -size "$2" -seed 7 plasma:fractal -attenuate 0.3 +noise Gaussian $4 "$work/src/$1.$3"
}
photo jpeg6000x4000 6000x4000 jpg "-sampling-factor 2x2 -quality 92"
photo jpeg4000x3000 4000x3000 jpg "-sampling-factor 2x2 -quality 92"
photo png3000x2000 3000x2000 png ""

# best-of-ROUNDS "wall_ms cpu_ms" of a command, per file
best=()
measure() {
  local TIMEFORMAT='%R %U %S' t real user sys
  t=$( { time "$@" >/dev/null 2>&1; } 2>&1 | tail -1)
  read -r real user sys <<<"$t"
  awk -v r="$real" -v u="$user" -v s="$sys" -v n="$copies" \
    'BEGIN { printf "%.1f %.1f", r * 1000 / n, (u + s) * 1000 / n }'
}
keep_best() {  # current-best new
  awk -v a="$1" -v b="$2" 'BEGIN { split(a, x, " "); split(b, y, " ");
    if (a == "" || y[1] < x[1]) print b; else print a }'
}
sum_pair() {
  awk -v a="$1" -v b="$2" 'BEGIN { split(a, x, " "); split(b, y, " ");
    printf "%.1f %.1f", x[1] + y[1], x[2] + y[2] }'
}

printf "\n%-15s %18s %18s %18s %18s %7s %7s %7s\n" "photo" "ours both sizes" \
  "vips both sizes" "vips 1 thread" "vips 1024 only" "ratio" "ratio1t" "ratio-pv"
for f in "$work"/src/*; do
  name=$(basename "$f")
  ext=${name##*.}
  files=()
  for i in $(seq 1 "$copies"); do
    ln "$f" "$work/src/${name%.*}_$i.$ext"
    files+=("$work/src/${name%.*}_$i.$ext")
  done
  ours="" vips="" vips1="" vpv=""
  for _ in $(seq 1 "$rounds"); do
    ours=$(keep_best "$ours" "$(measure "$driver" "$work/ours" "${files[@]}")")
    pv=$(measure vipsthumbnail "${files[@]}" -s 1024 -o "$work/vips/%s_pv.jpg[Q=80]")
    tn=$(measure vipsthumbnail "${files[@]}" -s 160x160 -m centre -o "$work/vips/%s_tn.jpg[Q=80]")
    vips=$(keep_best "$vips" "$(sum_pair "$pv" "$tn")")
    vpv=$(keep_best "$vpv" "$pv")
    pv=$(VIPS_CONCURRENCY=1 measure vipsthumbnail "${files[@]}" -s 1024 -o "$work/vips/%s_pv.jpg[Q=80]")
    tn=$(VIPS_CONCURRENCY=1 measure vipsthumbnail "${files[@]}" -s 160x160 -m centre -o "$work/vips/%s_tn.jpg[Q=80]")
    vips1=$(keep_best "$vips1" "$(sum_pair "$pv" "$tn")")
  done
  ratio() { awk -v a="$1" -v b="$ours" 'BEGIN { split(a, x, " "); split(b, y, " "); printf "%.2fx", x[1] / y[1] }'; }
  printf "%-15s %18s %18s %18s %18s %7s %7s %7s\n" "${name%.*}" "${ours/ / / }" "${vips/ / / }" \
    "${vips1/ / / }" "${vpv/ / / }" "$(ratio "$vips")" "$(ratio "$vips1")" "$(ratio "$vpv")"
  "$driver" "$work/ours" "${files[0]}" | sed 's/^/    ours, one file: /'
  rm -f "${files[@]}"
done
echo
echo "Figures are wall / CPU milliseconds per file, best of $rounds rounds of $copies files."
echo "ratio = vipsthumbnail wall time / ours (above 1: ours is faster); ratio-pv compares"
echo "vipsthumbnail's 1024 preview alone with ours making both sizes."
echo "ours: one process makes both sizes (thumbnail from the preview); vips: one process per size."
