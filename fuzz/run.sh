#!/usr/bin/env bash
# Builds the fuzzers with clang and runs each for SECONDS (default 60) on a
# seed corpus: the BMP suite beside the project, small generated pictures and
# a few argument vectors. Fails on any crash, leak or sanitizer report.
#   fuzz/run.sh [SECONDS] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${2:-build-fuzz}

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVALE_FUZZ=ON -DKORVALE_TESTS=OFF -DKORVALE_BENCH=OFF >/dev/null
cmake --build "$build" --target bmp_fuzz options_fuzz make_picture formats_fuzz

work="$build/fuzz-work"
mkdir -p "$work/bmp-seeds" "$work/bmp-corpus" "$work/opt-seeds" "$work/opt-corpus"
if [ -d ../shared/bmpsuite ]; then
  for f in ../shared/bmpsuite/*/*.bmp; do
    cp "$f" "$work/bmp-seeds/$(basename "$(dirname "$f")")_$(basename "$f")"
  done
fi
for size in "1 1" "2 3" "5 2" "7 7" "16 9"; do
  read -r w h <<<"$size"
  "$build/tools/make_picture" "$w" "$h" "$work/bmp-seeds/gen_${w}x${h}" 2>/dev/null
done
# --- formats (issue 17): small files of each format, made by ImageMagick
mkdir -p "$work/fmt-seeds" "$work/fmt-corpus"
cp "$work/bmp-seeds/gen_7x7.bmp" "$work/fmt-seeds/" 2>/dev/null || true
if [ -x /usr/bin/convert ]; then
  src="$work/bmp-seeds/gen_16x9.bmp"
  for spec in "plain.png" "-interlace PNG interlaced.png" "-depth 16 PNG48:deep.png" \
    "-alpha set -channel A -evaluate set 50% +channel alpha.png" "-colorspace gray gray.png" \
    "-type palette palette.png" "-quality 80 plain.jpg" "-interlace JPEG progressive.jpg" \
    "-colorspace gray gray.jpg" "-colorspace CMYK cmyk.jpg" "-compress LZW lzw.tif" \
    "-define tiff:tile-geometry=16x16 tiled.tif" "-depth 16 -compress zip deep.tif" \
    "-quality 70 lossy.webp" "-define webp:lossless=true lossless.webp" \
    "-alpha set -channel A -evaluate set 50% +channel alpha.webp"; do
    read -r -a args <<<"$spec"
    last=$((${#args[@]} - 1))
    out=${args[$last]}
    case $out in *:*) out="${out%%:*}:$work/fmt-seeds/${out#*:}" ;; *) out="$work/fmt-seeds/$out" ;; esac
    /usr/bin/convert "$src" "${args[@]:0:$last}" "$out" 2>/dev/null || echo "seed $spec: not made" >&2
  done
fi
# --- end formats
printf -- '-i\x00in.bmp\x00-o\x00out\x00-sizexminus\x003\x00-sizexminusy\x002' >"$work/opt-seeds/run"
printf -- '-h' >"$work/opt-seeds/help"
printf -- '-Fsc\x001e308\x00-orgx\x00-5\x00stray\x00-i2\x00x' >"$work/opt-seeds/odd"

# Each fuzzer's own log goes to a file; on failure its end is shown.
run_fuzzer() {
  local name=$1 corpus=$2 seeds=$3
  shift 3
  if ! "$build/fuzz/$name" -max_total_time="$seconds" -print_final_stats=1 "$@" \
    "$corpus" "$seeds" >"$work/$name.log" 2>&1; then
    tail -n 60 "$work/$name.log"
    echo "$name: failed (crash, leak or sanitizer report); see above" >&2
    exit 1
  fi
  echo "$name: $(grep -m1 'stat::number_of_executed_units' "$work/$name.log" | awk '{print $2}') runs, no failure"
}
run_fuzzer bmp_fuzz "$work/bmp-corpus" "$work/bmp-seeds" -rss_limit_mb=4096
run_fuzzer options_fuzz "$work/opt-corpus" "$work/opt-seeds"
# --- formats (issue 17)
run_fuzzer formats_fuzz "$work/fmt-corpus" "$work/fmt-seeds" -rss_limit_mb=4096
# --- end formats
echo "fuzzers: no crash, leak or sanitizer report in ${seconds}s each"
