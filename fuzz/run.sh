#!/bin/bash
# run.sh TARGET SECONDS [libFuzzer options...]: fuzzes one target for the given time.
# Builds build-fuzz (clang, sanitizers) when needed; fuzzes a private copy of the seed
# corpus fuzz/corpus/TARGET in a temporary folder, so the corpus in git stays small;
# crash artifacts go to that folder, which is kept (and printed) only when the run found
# something. Targets: ppm_header rc_file paper_files line_encoder filter_job job_reader.
set -euo pipefail
fuzz=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$fuzz")
if [ $# -lt 2 ]; then
    echo "usage: $0 TARGET SECONDS [libFuzzer options...]" >&2
    exit 2
fi
target=$1
seconds=$2
shift 2
[ -d "$fuzz/corpus/$target" ] || { echo "unknown target: $target" >&2; exit 2; }

build=${VELNORA_FUZZ_BUILD:-$root/build-fuzz}
if [ ! -f "$build/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DVELNORA_FUZZ=ON -DVELNORA_TESTS=OFF > /dev/null
fi
cmake --build "$build" -j 2 --target "fuzz_$target" > /dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/vnfuzz-run.XXXXXX")
mkdir -p "$work/corpus" "$work/artifacts" "$work/tmp"
cp "$fuzz/corpus/$target/." "$work/corpus/" -r
timeout=10
[ "$target" = filter_job ] && timeout=60
quiet=()
[ "$target" = paper_files ] && quiet=(-close_fd_mask=2)   # the filter's messages

set +e
TMPDIR="$work/tmp" "$build/fuzz/$target" "$work/corpus" -max_total_time="$seconds" -timeout="$timeout" \
    -rss_limit_mb=2048 -artifact_prefix="$work/artifacts/" -print_final_stats=1 "${quiet[@]}" "$@" 2> "$work/log"
status=$?
set -e
grep -E '^#[0-9]+.*(DONE|INITED)|^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$work/log" || true
echo "$target: final corpus $(ls "$work/corpus" | wc -l) inputs"
if [ $status -ne 0 ] || [ -n "$(ls "$work/artifacts")" ]; then
    tail -n 60 "$work/log"
    echo "$target: the run failed (status $status); the log, corpus and artifacts are in $work" >&2
    exit 1
fi
rm -rf "$work"
