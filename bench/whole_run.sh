#!/usr/bin/env bash
# Times whole runs of korvale against ImageMagick and libvips on generated
# pictures (BMP in and out; two jobs JPEG or PNG in and out, the file made
# from the generated picture by ImageMagick) and prints a table, one line per
# job:
#   korvale on one thread (KORVALE_THREADS=1, pinned to one core with
#   taskset) and on two (KORVALE_THREADS=2); ImageMagick's
#   `convert IN -resize WxH! BMP3:OUT` on one thread (MAGICK_THREAD_LIMIT=1,
#   pinned likewise); libvips' `vips resize` on one thread
#   (VIPS_CONCURRENCY=1, pinned likewise; it reads and writes BMP through its
#   ImageMagick loader, JPEG and PNG natively);
# each the best wall time of REPS runs, the four taking turns run by run.
# "ratio" is korvale's one-thread time over the faster peer's, "2 threads"
# korvale's two-thread time over its one-thread time; "CPU s" korvale's least
# user + system seconds on one thread (steadier than the wall time on a
# loaded machine); memory is korvale's peak resident set per input pixel.
#
# Fails (status 1) when a korvale run exceeds 40 bytes per input pixel plus
# 32 MB, or, unless --short, when a ratio exceeds 0.8.
#   bench/whole_run.sh [--short] [BUILD_DIR]     (BUILD_DIR: build, REPS: 3)
# --short runs the 1920 x 1080 jobs once each and never fails on time (CI).
# ONLY=PATTERN runs only the jobs whose "WxH to W'xH'" contains PATTERN.
set -euo pipefail
cd "$(dirname "$0")/.."

short=0
if [ "${1:-}" = "--short" ]; then short=1; shift; fi
build=${1:-build}
reps=${REPS:-3}
[ "$short" = 1 ] && reps=1
korvale="$build/app/korvale"
make_picture="$build/tools/make_picture"
if [ ! -x "$korvale" ] || [ ! -x "$make_picture" ]; then
  echo "build first: cmake -S . -B $build -G Ninja && cmake --build $build" >&2
  exit 2
fi
convert=/usr/bin/convert
vips=$(command -v vips || true)
[ -x "$convert" ] || { convert=""; echo "ImageMagick not found: its column stays empty" >&2; }
[ -n "$vips" ] || echo "libvips not found: its column stays empty" >&2
pin=()
if command -v taskset >/dev/null 2>&1; then pin=(taskset -c 0); fi

# {W H W' H' [FORMAT]}: picture size, the size it is shrunk to, and the
# format read and written (bmp when not given; jpg and png at ImageMagick's
# default quality and compression).
jobs=("1920 1080 960 540" "1920 1080 1280 720" "1920 1080 1919 1079" "1920 1080 1920 1080"
  "1920 1080 1920 540" "1920 1080 960 540 png")
if [ "$short" = 0 ]; then
  jobs+=("1999 1997 999 999" "4096 4096 2048 2048" "6000 4000 4000 2667" "6000 4000 600 400"
    "6000 4000 5999 4000" "6000 4000 3000 2000 jpg")
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# run_once KEY CMD...: runs CMD once under /usr/bin/time and keeps, for KEY,
# the least wall seconds (best[KEY]), the least user + system seconds
# (best_cpu[KEY]) and the largest peak resident set (peak_kb[KEY]). The wall
# time is taken to the microsecond around the run (time's own %e has 10 ms
# steps, a fifth of the shortest jobs).
declare -A best best_cpu peak_kb
run_once() {
  local key=$1 start end wall kb user sys cpu
  shift
  start=${EPOCHREALTIME/[^0-9]/}
  /usr/bin/time -f "%M %U %S" -o "$work/time" "$@" >/dev/null 2>&1
  end=${EPOCHREALTIME/[^0-9]/}
  wall=$(awk -v us=$((end - start)) 'BEGIN { printf "%.3f", us / 1e6 }')
  read -r kb user sys <"$work/time"
  cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
  if below "$wall" "${best[$key]:-}"; then best[$key]=$wall; fi
  if below "$cpu" "${best_cpu[$key]:-}"; then best_cpu[$key]=$cpu; fi
  if [ "$kb" -gt "${peak_kb[$key]:-0}" ]; then peak_kb[$key]=$kb; fi
}

# below A B: true when B is empty or A < B (decimal seconds).
below() {
  [ -z "$2" ] || awk -v a="$1" -v b="$2" 'BEGIN { exit !(a < b) }'
}

echo "| job | korvale 1 thread s | CPU s | ImageMagick s | libvips s | ratio | korvale 2 threads s | 2 threads / 1 | bytes/pixel |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|"
status=0
made=""
for job in "${jobs[@]}"; do
  read -r w h nw nh ext <<<"$job"
  ext=${ext:-bmp}
  name="${w}x${h} to ${nw}x${nh}"
  [ "$ext" = bmp ] || name="$name $ext"
  [[ "$name" == *"${ONLY:-}"* ]] || continue
  pic="$work/pic_${w}x${h}"
  if [[ " $made " != *" $w x $h "* ]]; then
    "$make_picture" "$w" "$h" "$pic"
    made="$made $w x $h "
  fi
  if [ "$ext" != bmp ] && [ ! -f "$pic.$ext" ]; then
    [ -n "$convert" ] || { echo "$name: needs ImageMagick to make its file" >&2; continue; }
    "$convert" "$pic.bmp" "$pic.$ext"
  fi
  im_out="BMP3:$work/im.bmp"
  [ "$ext" = bmp ] || im_out="$work/im.$ext"
  args=(-i "$pic.$ext" -out "$work/out.$ext" -sizexminus $((w - nw)) -sizexminusy $((h - nh)))

  hs=$(awk -v a="$nw" -v b="$w" 'BEGIN { printf "%.9f", a / b }')
  vs=$(awk -v a="$nh" -v b="$h" 'BEGIN { printf "%.9f", a / b }')
  # The four programs take turns, $reps rounds, so that a machine that slows
  # down for a while slows them all alike.
  best=() best_cpu=() peak_kb=()
  for _ in $(seq "$reps"); do
    run_once one env KORVALE_THREADS=1 "${pin[@]}" "$korvale" "${args[@]}"
    run_once two env KORVALE_THREADS=2 "$korvale" "${args[@]}"
    if [ -n "$convert" ]; then
      run_once im env MAGICK_THREAD_LIMIT=1 "${pin[@]}" "$convert" "$pic.$ext" \
        -resize "${nw}x${nh}!" "$im_out"
    fi
    if [ -n "$vips" ]; then
      run_once vi env VIPS_CONCURRENCY=1 "${pin[@]}" "$vips" resize "$pic.$ext" \
        "$work/vips.$ext" "$hs" --vscale "$vs"
    fi
  done
  one=${best[one]} one_cpu=${best_cpu[one]} two=${best[two]}
  kb=${peak_kb[one]}
  [ "${peak_kb[two]}" -gt "$kb" ] && kb=${peak_kb[two]}
  im=${best[im]:-} vi=${best[vi]:-} peer=$im
  if [ -n "$vi" ] && below "$vi" "$peer"; then peer=$vi; fi
  ratio=""
  if [ -n "$peer" ]; then
    ratio=$(awk -v k="$one" -v m="$peer" 'BEGIN { if (m > 0) printf "%.2f", k / m }')
    if [ "$short" = 0 ] && awk -v r="$ratio" 'BEGIN { exit !(r > 0.8) }'; then status=1; fi
  fi
  scaling=$(awk -v a="$two" -v b="$one" 'BEGIN { if (b > 0) printf "%.2f", a / b }')

  pixels=$((w * h))
  per_pixel=$(awk -v k="$kb" -v p="$pixels" 'BEGIN { printf "%.1f", k * 1024 / p }')
  if [ "$kb" -gt $(((40 * pixels + 32 * 1024 * 1024) / 1024)) ]; then
    per_pixel="$per_pixel (over the bound)"
    status=1
  fi
  printf "| %s | %s | %s | %s | %s | %s | %s | %s | %s |\n" "$name" \
    "$one" "$one_cpu" "$im" "$vi" "$ratio" "$two" "$scaling" "$per_pixel"
done
exit $status
