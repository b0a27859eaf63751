#!/usr/bin/env bash
# Times whole runs of korvale against ImageMagick on generated pictures and
# prints a table: korvale on one thread (KORVALE_THREADS=1, pinned to one core
# with taskset) and on every thread, ImageMagick's `convert -resize WxH!` on
# one thread (MAGICK_THREAD_LIMIT=1, pinned likewise), each the best wall time
# of REPS runs (and, in brackets, the best user + system time, which shows
# less of what other processes on the machine take); the ratio of korvale's
# one-thread wall time to ImageMagick's; and
# korvale's peak resident memory per input pixel. Fails when any korvale run
# exceeds the memory bound of 40 bytes per input pixel plus 32 MB.
#   bench/whole_run.sh [--quick] [BUILD_DIR]     (BUILD_DIR: build, REPS: 3)
# --quick runs only the 1920 x 1080 cases.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
if [ "${1:-}" = "--quick" ]; then quick=1; shift; fi
build=${1:-build}
reps=${REPS:-3}
korvale="$build/app/korvale"
make_picture="$build/tools/make_picture"
if [ ! -x "$korvale" ] || [ ! -x "$make_picture" ]; then
  echo "build first: cmake -S . -B $build -G Ninja && cmake --build $build" >&2
  exit 2
fi
have_convert=1
if ! command -v convert >/dev/null 2>&1; then
  have_convert=0
  echo "ImageMagick not found: its column stays empty (apt-get install imagemagick)" >&2
fi
pin=()
if command -v taskset >/dev/null 2>&1; then pin=(taskset -c 0); fi

# {W H A B}: picture size and the columns and rows removed.
cases=("1920 1080 960 540" "1920 1080 0 0")
if [ "$quick" = 0 ]; then
  cases+=("4096 4096 2048 2048" "4096 4096 0 0" "6000 4000 2000 1333")
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# best_of CMD...: runs CMD $reps times under /usr/bin/time; sets $best (the
# least wall seconds), $best_cpu (the least user + system seconds) and
# $peak_kb (the largest peak resident set).
best_of() {
  best="" best_cpu=""
  peak_kb=0
  for _ in $(seq "$reps"); do
    /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" >/dev/null 2>&1
    read -r wall user sys kb <"$work/time"
    cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
    if [ -z "$best" ] || awk -v a="$wall" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$wall; fi
    if [ -z "$best_cpu" ] || awk -v a="$cpu" -v b="$best_cpu" 'BEGIN { exit !(a < b) }'; then
      best_cpu=$cpu
    fi
    if [ "$kb" -gt "$peak_kb" ]; then peak_kb=$kb; fi
  done
}

echo "| picture | to | korvale 1 thread s (CPU s) | korvale all threads s | ImageMagick 1 thread s (CPU s) | ratio | peak RSS MB | bytes/pixel | within bound |"
echo "|---|---|---:|---:|---:|---:|---:|---:|---|"
status=0
made=""
for c in "${cases[@]}"; do
  read -r w h a b <<<"$c"
  pic="$work/pic_${w}x${h}"
  if [[ " $made " != *" $w x $h "* ]]; then
    "$make_picture" "$w" "$h" "$pic"
    made="$made $w x $h "
  fi
  nw=$((w - a)) nh=$((h - b))
  args=(-i "$pic.bmp" -o "$work/out" -sizexminus "$a" -sizexminusy "$b")

  best_of env KORVALE_THREADS=1 "${pin[@]}" "$korvale" "${args[@]}"
  one="$best ($best_cpu)" one_wall=$best one_kb=$peak_kb
  best_of "$korvale" "${args[@]}"
  all=$best
  [ "$peak_kb" -gt "$one_kb" ] && one_kb=$peak_kb

  im="" ratio=""
  if [ "$have_convert" = 1 ]; then
    best_of env MAGICK_THREAD_LIMIT=1 "${pin[@]}" convert "$pic.bmp" -resize "${nw}x${nh}!" \
      "BMP3:$work/im.bmp"
    im="$best ($best_cpu)"
    ratio=$(awk -v k="$one_wall" -v m="$best" 'BEGIN { if (m > 0) printf "%.2f", k / m }')
  fi

  pixels=$((w * h))
  per_pixel=$(awk -v k="$one_kb" -v p="$pixels" 'BEGIN { printf "%.1f", k * 1024 / p }')
  bound_kb=$(((40 * pixels + 32 * 1024 * 1024) / 1024))
  ok=yes
  if [ "$one_kb" -gt "$bound_kb" ]; then ok=NO; status=1; fi
  printf "| %d x %d | %d x %d | %s | %s | %s | %s | %.1f | %s | %s |\n" "$w" "$h" "$nw" "$nh" \
    "$one" "$all" "$im" "$ratio" "$(awk -v k="$one_kb" 'BEGIN { print k / 1024 }')" "$per_pixel" "$ok"
done
exit $status
