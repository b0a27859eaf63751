#!/usr/bin/env bash
# Builds every fuzzer with clang and runs each for SECONDS (default 60) on its
# seeds and its corpus, which grows from run to run. Fails when a fuzzer cannot
# be built or run, and on any crash, leak or sanitizer report.
#   fuzz/run.sh [SECONDS] [BUILD_DIR]
# A new fuzzer: add its CMake target to `fuzzers` and its seeds to seed().
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${2:-build-fuzz}
fuzzers=(bmp_fuzz options_fuzz formats_fuzz)

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVALE_FUZZ=ON -DKORVALE_TESTS=OFF -DKORVALE_BENCH=OFF >/dev/null
cmake --build "$build" --target "${fuzzers[@]}" make_picture
work="$build/fuzz-work"

# Fills the folder $2 with the seeds of fuzzer $1.
seed() {
  local dir=$2
  case $1 in
    bmp_fuzz)
      # The BMP suite beside the project and small generated pictures.
      if [ -d ../shared/bmpsuite ]; then
        for f in ../shared/bmpsuite/*/*.bmp; do
          cp "$f" "$dir/$(basename "$(dirname "$f")")_$(basename "$f")"
        done
      fi
      for size in "1 1" "2 3" "5 2" "7 7" "16 9"; do
        read -r w h <<<"$size"
        "$build/tools/make_picture" "$w" "$h" "$dir/gen_${w}x${h}" 2>/dev/null
      done
      ;;
    options_fuzz)
      # Argument vectors, words separated by NUL bytes.
      printf -- '-i\x00in.bmp\x00-o\x00out\x00-sizexminus\x003\x00-sizexminusy\x002' >"$dir/run"
      printf -- '-h' >"$dir/help"
      printf -- '-Fsc\x001e308\x00-orgx\x00-5\x00stray\x00-i2\x00x' >"$dir/odd"
      printf -- '-resize\x00640x480^>\x00-out\x00small/%%s.png\x00-quiet\x00--\x00a.bmp\x00b.jpg' >"$dir/batch"
      printf -- '-resize\x0033.5%%x50%%\x00-i\x00in.bmp\x00-o\x00out\x00-maxpixels\x00100' >"$dir/geometry"
      ;;
    formats_fuzz)
      # Small files of every format, made by ImageMagick from a generated picture.
      "$build/tools/make_picture" 16 9 "$dir/gen_16x9" 2>/dev/null
      "$build/tools/make_picture" 7 7 "$dir/gen_7x7" 2>/dev/null
      if [ -x /usr/bin/convert ]; then
        local src="$dir/gen_16x9.bmp" recipe args last out
        for recipe in "plain.png" "-interlace PNG interlaced.png" "-depth 16 PNG48:deep.png" \
          "-alpha set -channel A -evaluate set 50% +channel alpha.png" "-colorspace gray gray.png" \
          "-type palette palette.png" "-quality 80 plain.jpg" "-interlace JPEG progressive.jpg" \
          "-colorspace gray gray.jpg" "-colorspace CMYK cmyk.jpg" "-compress LZW lzw.tif" \
          "-define tiff:tile-geometry=16x16 tiled.tif" "-depth 16 -compress zip deep.tif" \
          "-quality 70 lossy.webp" "-define webp:lossless=true lossless.webp" \
          "-alpha set -channel A -evaluate set 50% +channel alpha.webp"; do
          read -r -a args <<<"$recipe"
          last=$((${#args[@]} - 1))
          out=${args[$last]}
          case $out in *:*) out="${out%%:*}:$dir/${out#*:}" ;; *) out="$dir/$out" ;; esac
          /usr/bin/convert "$src" "${args[@]:0:$last}" "$out" 2>/dev/null || echo "seed $recipe: not made" >&2
        done
      fi
      ;;
  esac
}

# Each fuzzer's own log goes to a file; on failure its end is shown.
for name in "${fuzzers[@]}"; do
  mkdir -p "$work/$name-seeds" "$work/$name-corpus"
  seed "$name" "$work/$name-seeds"
  if ! "$build/fuzz/$name" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=4096 \
    "$work/$name-corpus" "$work/$name-seeds" >"$work/$name.log" 2>&1; then
    tail -n 60 "$work/$name.log"
    echo "$name: failed (crash, leak or sanitizer report); see above" >&2
    exit 1
  fi
  runs=$(grep -m1 'stat::number_of_executed_units' "$work/$name.log" | awk '{print $2}')
  if [ -z "$runs" ] || [ "$runs" -eq 0 ]; then
    echo "$name: ran no input; see $work/$name.log" >&2
    exit 1
  fi
  echo "$name: $runs runs, no failure"
done
echo "fuzzers: no crash, leak or sanitizer report in ${seconds}s each"
