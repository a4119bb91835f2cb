#!/bin/bash
# demo.sh: builds the filter and prints a sample job: three A4 pages at 600 dpi (a colour
# chart, a text page, a photo-like page) that the project generates, once in colour and
# once in gray, with the bundled model tables, paper-information and rc files.
# The jobs go to out/ beside the project; the inspector then tells what they hold.
set -euo pipefail
. "$(dirname "$0")/need.sh"
need cmake g++ make zlib1g-dev
build "$root/build-demo" -DVELNORA_TESTS=OFF > /dev/null
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
    echo "== what $job holds ($(stat -c %s "$job") bytes):"
    "$root/build-demo/velnora-decode" "$job" | grep -v '^  @PJL SET'
done
