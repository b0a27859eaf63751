#!/usr/bin/env bash
# Times whole runs of korvale on generated pictures and prints a table:
# size, reductions, wall and user seconds, peak resident memory and peak bytes
# per input pixel, with the memory bound 200 bytes/pixel + 64 MB checked.
#   bench/whole_run.sh [--with-4096] [BUILD_DIR]     (BUILD_DIR: build)
# The 4096 x 4096 runs take minutes and about 3.3 GB; they are off by default.
set -euo pipefail
cd "$(dirname "$0")/.."

big=0
if [ "${1:-}" = "--with-4096" ]; then big=1; shift; fi
build=${1:-build}
korvale="$build/app/korvale"
make_picture="$build/tools/make_picture"
if [ ! -x "$korvale" ] || [ ! -x "$make_picture" ]; then
  echo "build first: cmake -S . -B $build -G Ninja && cmake --build $build" >&2
  exit 2
fi

sizes=("256 256" "1024 768" "1920 1080" "2048 2048")
[ "$big" = 1 ] && sizes+=("4096 4096")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "| size | reductions | wall s | user s | peak RSS MB | bytes/pixel | within bound |"
echo "|---|---|---|---|---|---|---|"
status=0
for size in "${sizes[@]}"; do
  read -r w h <<<"$size"
  "$make_picture" "$w" "$h" "$work/pic"
  for red in "1 1" "$((w / 2)) $((h / 2))"; do
    read -r a b <<<"$red"
    /usr/bin/time -v -o "$work/time" "$korvale" -i "$work/pic.bmp" -o "$work/out" \
      -sizexminus "$a" -sizexminusy "$b" 2>/dev/null >/dev/null
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$work/time" |
      awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; printf "%.2f", s }')
    user=$(awk -F': ' '/User time/ {print $2}' "$work/time")
    rss_kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time")
    pixels=$((w * h))
    per_pixel=$(awk -v k="$rss_kb" -v p="$pixels" 'BEGIN { printf "%.1f", k * 1024 / p }')
    bound_kb=$(((200 * pixels + 64 * 1024 * 1024) / 1024))
    ok=yes
    if [ "$rss_kb" -gt "$bound_kb" ]; then ok=NO; status=1; fi
    printf "| %d x %d | %d x %d | %s | %s | %.1f | %s | %s |\n" "$w" "$h" "$a" "$b" "$wall" "$user" \
      "$(awk -v k="$rss_kb" 'BEGIN { print k / 1024 }')" "$per_pixel" "$ok"
  done
done
exit $status
