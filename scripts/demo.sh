#!/bin/bash
# demo.sh: builds the filter and prints a sample job: three A4 pages at 600 dpi (a colour
# chart, a text page, a photo-like page) that the project generates, once in colour and
# once in gray, with the bundled model tables, paper-information and rc files.
# The jobs go to out/ beside the project; the inspector then tells what they hold and
# writes their pages as PNG images into out/png-color/ and out/png-gray/.
set -euo pipefail
. "$(dirname "$0")/need.sh"
need cmake g++ make zlib1g-dev libpng-dev
echo "== building the filter into build-demo/ (about a minute the first time)"
build "$root/build-demo" -DVELNORA_TESTS=OFF | grep --line-buffered -E '^\[ *[0-9]+%\]'   # cmake's progress
out=$root/out
mkdir -p "$out"
export VELNORA_ROOT=$root/samples/model   # the sample model's tables
export OWNER=${OWNER:-$(id -un)} TITLE=${TITLE:-Velnora sample job}
for mode in color gray; do
    rc=$root/samples/sample.rc
    [ "$mode" = gray ] && rc=$root/samples/sample-gray.rc
    job=$out/sample-$mode.prn
    echo "== printing the sample job in $mode to $job"
    "$root/build-demo/makesample" --pages 3 |
        "$root/build-demo/rastertovelnora" -pi "$root/samples/paperinfo" -rc "$rc" > "$job"
done
for mode in color gray; do
    job=$out/sample-$mode.prn
    rm -rf "$out/png-$mode"
    echo "== what $job holds ($(stat -c %s "$job") bytes), its pages written as PNG:"
    "$root/build-demo/velnora-decode" --png "$out/png-$mode" "$job" | grep -v '^  @PJL SET'
done
echo "== the pages as images: $out/png-color/page-{1,2,3}.png and $out/png-gray/page-{1,2,3}.png"
