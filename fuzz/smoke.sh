#!/bin/bash
# smoke.sh: each fuzz target over its seed corpus and then a bounded number of mutations
# (a count, not a time), for CI. Builds build-fuzz when needed. Exits non-zero on any
# crash or failed check; the log and the artifacts of a failing target are kept and
# printed, everything else is removed.
set -euo pipefail
fuzz=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$fuzz")
build=${VELNORA_FUZZ_BUILD:-$root/build-fuzz}
if [ ! -f "$build/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DVELNORA_FUZZ=ON -DVELNORA_TESTS=OFF > /dev/null
fi
cmake --build "$build" -j 2 > /dev/null

failed=0
for target in ppm_header rc_file paper_files line_encoder job_reader filter_job; do
    runs=4000
    [ "$target" = filter_job ] && runs=150   # a process per input
    quiet=()
    [ "$target" = paper_files ] && quiet=(-close_fd_mask=2)   # the filter's messages
    work=$(mktemp -d "${TMPDIR:-/tmp}/vnfuzz-smoke.XXXXXX")
    mkdir -p "$work/corpus" "$work/artifacts" "$work/tmp"
    cp -r "$fuzz/corpus/$target/." "$work/corpus/"
    if TMPDIR="$work/tmp" "$build/fuzz/$target" "$work/corpus" -runs="$runs" -seed=1 "${quiet[@]}" \
        -timeout=60 -rss_limit_mb=2048 -artifact_prefix="$work/artifacts/" > "$work/log" 2>&1; then
        echo "fuzz smoke $target: ok ($(grep -Eo '^#[0-9]+' "$work/log" | tail -1 | tr -d '#') runs)"
        rm -rf "$work"
    else
        tail -n 40 "$work/log"
        echo "fuzz smoke $target: FAILED; log and artifacts in $work" >&2
        failed=1
    fi
done
exit $failed
