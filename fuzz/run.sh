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
cmake --build "$build" --target bmp_fuzz options_fuzz make_picture

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
printf -- '-i\x00in.bmp\x00-o\x00out\x00-sizexminus\x003\x00-sizexminusy\x002' >"$work/opt-seeds/run"
printf -- '-h' >"$work/opt-seeds/help"
printf -- '-Fsc\x001e308\x00-orgx\x00-5\x00stray\x00-i2\x00x' >"$work/opt-seeds/odd"

"$build/fuzz/bmp_fuzz" -max_total_time="$seconds" -rss_limit_mb=4096 -print_final_stats=1 \
  "$work/bmp-corpus" "$work/bmp-seeds"
"$build/fuzz/options_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
  "$work/opt-corpus" "$work/opt-seeds"
echo "fuzzers: no crash, leak or sanitizer report in ${seconds}s each"
