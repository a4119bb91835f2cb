#!/bin/bash
# run.sh: the filter's benchmark. Prints what a page costs the filter (CPU, wall time,
# peak memory, output size) against the least any filter with this output pays (reading
# the pages, zlib with the job's setting over the filter's own PWG document) and against
# a peer (libcups's PWG raster writer piped through gzip -6), then the filter's memory
# against one page buffer and how its cost grows with pages and copies.
#
#   bench/run.sh [--runs N] [--inputs "text color white noise"] [--modes "rgb gray"]
#                [--pages-per-input N] [--growth-pages N] [--copies N] [--data DIR]
#                [--filter PATH] [--keep-jobs]
#
# Installs the Debian packages it lacks (as root), builds the filter into build-bench/
# and its helpers into DATA/bin, makes its inputs into DATA/inputs once, and writes the
# table and the raw figures into DATA/results/STAMP/. See bench/README.md.
set -euo pipefail
shopt -s inherit_errexit

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")

runs=5
inputs="text color white noise"
modes="rgb gray"
pages_all=""
growth=10
copies=3
data=$here/data
filter=""
keep_jobs=0

usage() {
    sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed '$d' | sed 's/^# \{0,1\}//'
    cat << 'EOF'

Options:
  --runs N             measurements of each case, taken in turn; medians shown (default 5)
  --inputs "LIST"      any of: text color white noise (default: all four)
  --modes "LIST"       rgb (colour jobs, sample.rc) and/or gray (sample-gray.rc) (default: both)
  --pages-per-input N  pages of every input (default: text 5, color 3, white 2, noise 2)
  --growth-pages N     pages of the growth check's long jobs, white and text (default 10;
                       0 leaves the growth and copies checks out)
  --copies N           uncollated copies of the copies check (default 3)
  --data DIR           where inputs, helpers, jobs and results go (default bench/data)
  --filter PATH        time this filter binary instead of building build-bench/
  --keep-jobs          keep the last run's jobs and peer outputs in DATA/work
EOF
}

die() {
    echo "run.sh: $*" >&2
    exit 1
}

number() {   # number NAME VALUE [MIN]
    [[ $2 =~ ^[0-9]+$ ]] && [ "$2" -ge "${3:-0}" ] || die "$1 needs a whole number of at least ${3:-0}, not '$2'"
}

while [ $# -gt 0 ]; do
    case $1 in
    --runs) number --runs "${2-}" 1; runs=$2; shift 2 ;;
    --inputs) inputs=${2-}; shift 2 ;;
    --modes) modes=${2-}; shift 2 ;;
    --pages-per-input) number --pages-per-input "${2-}" 1; pages_all=$2; shift 2 ;;
    --growth-pages) number --growth-pages "${2-}" 0; growth=$2; shift 2 ;;
    --copies) number --copies "${2-}" 2; copies=$2; shift 2 ;;
    --data) data=${2-}; [ -n "$data" ] || die "--data needs a folder"; shift 2 ;;
    --filter) filter=${2-}; [ -n "$filter" ] || die "--filter needs a path"; shift 2 ;;
    --keep-jobs) keep_jobs=1; shift ;;
    -h | --help) usage; exit 0 ;;
    *) echo "run.sh: unknown option '$1' (see --help)" >&2; exit 2 ;;
    esac
done
[ "$growth" = 1 ] && die "--growth-pages must be 0 or at least 2"
for i in $inputs; do
    case $i in text | color | white | noise) ;; *) die "unknown input '$i' (text color white noise)" ;; esac
done
for m in $modes; do
    case $m in rgb | gray) ;; *) die "unknown mode '$m' (rgb gray)" ;; esac
done
read -ra list <<< "$inputs"
inputs="${list[*]}"   # one blank between names
read -ra list <<< "$modes"
modes="${list[*]}"
[ -n "$inputs" ] || die "no inputs"
[ -n "$modes" ] || die "no modes"

W=4961 H=7016   # A4 at 600 dpi
text_first=38   # the Valgrind manual's "Core" chapters: dense running text
color_first=19  # Ghostscript's colour-management paper: photos, charts, figures
pages_of() {
    if [ -n "$pages_all" ]; then echo "$pages_all"; return; fi
    case $1 in text) echo 5 ;; color) echo 3 ;; white) echo 2 ;; noise) echo 2 ;; esac
}
want_text=0 want_color=0
case " $inputs " in *" text "*) want_text=1 ;; esac
case " $inputs " in *" color "*) want_color=1 ;; esac
if [ "$growth" -gt 0 ]; then want_text=1; fi

# ---- packages ----------------------------------------------------------------
. "$root/scripts/need.sh"   # need PACKAGE...: installs what is missing
pkgs=(gcc g++ make cmake zlib1g-dev libcups2-dev gzip coreutils)
[ "$want_text" = 1 ] && pkgs+=(ghostscript valgrind)
[ "$want_color" = 1 ] && pkgs+=(ghostscript ghostscript-doc)
need "${pkgs[@]}"

# pdf_of PACKAGE NAME: the path of the PDF (or gzipped PDF) NAME that PACKAGE ships.
pdf_of() {
    local f
    f=$(dpkg -L "$1" 2> /dev/null | grep -E "/$2(\.gz)?\$" | head -n 1 || true)
    [ -n "$f" ] && [ -s "$f" ] ||
        die "$1 is installed but $2 is not on disk (is /usr/share/doc excluded by dpkg's path-exclude? then: apt-get install --reinstall $1 after removing the exclusion)"
    echo "$f"
}

# ---- folders, helpers, filter ------------------------------------------------
mkdir -p "$data" || die "cannot make $data (use --data DIR)"
data=$(cd "$data" && pwd)
bin=$data/bin in_dir=$data/inputs work=$data/work
mkdir -p "$bin" "$in_dir" "$work"
[ -w "$data" ] || die "$data is not writable (use --data DIR)"

compile() {   # compile NAME LANG LIBS...
    local name=$1 lang=$2 src
    shift 2
    if [ "$lang" = c ]; then src=$here/src/$name.c; else src=$here/src/$name.cpp; fi
    if [ ! -x "$bin/$name" ] || [ "$src" -nt "$bin/$name" ]; then
        if [ "$lang" = c ]; then
            cc -std=gnu11 -O2 -Wall -Wextra -o "$bin/$name.tmp" "$src" "$@"
        else
            g++ -std=c++20 -O2 -Wall -Wextra -o "$bin/$name.tmp" "$src" "$@"
        fi
        mv -f "$bin/$name.tmp" "$bin/$name"
    fi
}
compile runstat c
compile ppmtool c
compile jobdoc c -lz
compile zfloor c -lz
compile peer_pwg c -lcups
compile report cpp

if [ -z "$filter" ]; then
    echo "building the filter into build-bench/" >&2
    cmake -S "$root" -B "$root/build-bench" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELNORA_TESTS=OFF > /dev/null
    cmake --build "$root/build-bench" -j "$(nproc)" --target rastertovelnora > /dev/null
    filter=$root/build-bench/rastertovelnora
fi
[ -x "$filter" ] || die "no filter at $filter"
filter=$(cd "$(dirname "$filter")" && pwd)/$(basename "$filter")

# ---- inputs ------------------------------------------------------------------
# check_ppm FILE PAGES: the stream holds PAGES pages of W x H.
check_ppm() {
    local got
    got=$("$bin/ppmtool" info < "$1") || die "$1 is not a PPM stream"
    [ "$got" = "$2 $W $H" ] || die "$1 holds '$got' (pages width height), not '$2 $W $H'"
}

render() {   # render PDF FIRST COUNT OUT
    local pdf=$1 first=$2 count=$3 out=$4 src=$1
    if [[ $pdf == *.gz ]]; then
        src=$in_dir/$(basename "${pdf%.gz}")
        if [ ! -s "$src" ]; then
            gzip -dc "$pdf" > "$src.tmp"
            mv -f "$src.tmp" "$src"
        fi
    fi
    gs -dSAFER -dBATCH -dNOPAUSE -dQUIET -sDEVICE=ppmraw -r600 -g${W}x${H} -dFIXEDMEDIA -dPDFFitPage \
        -dFirstPage="$first" -dLastPage="$((first + count - 1))" -sOutputFile=- "$src" > "$out.tmp"
    check_ppm "$out.tmp" "$count"
    mv -f "$out.tmp" "$out"
}

# make_input CASE NAME PAGES: the input NAME with PAGES pages, made once, becomes the
# input of CASE.
declare -A input_file input_pages
make_input() {
    local case=$1 name=$2 n=$3 out pdf
    out=$in_dir/$name-${n}p.ppm
    if [ ! -s "$out" ]; then
        echo "making the $name input, $n pages" >&2
        case $name in
        text)
            pdf=$(pdf_of valgrind valgrind_manual.pdf)
            render "$pdf" "$text_first" "$n" "$out"
            ;;
        color)
            pdf=$(pdf_of ghostscript-doc GS9_Color_Management.pdf)
            render "$pdf" "$color_first" "$n" "$out"
            ;;
        white | noise)
            "$bin/ppmtool" "$name" "$W" "$H" "$n" > "$out.tmp"
            mv -f "$out.tmp" "$out"
            ;;
        esac
    fi
    input_file[$case]=$out
    input_pages[$case]=$n
}

for i in $inputs; do
    make_input "$i" "$i" "$(pages_of "$i")"
done
# The growth check's long jobs repeat the 1-page job's page, so that any difference per
# page comes from the job's length, not from the pages' content. The copies job prints
# the long text job with --copies uncollated copies.
if [ "$growth" -gt 0 ]; then
    for i in white text; do
        make_input "$i-1" "$i" 1
        long=$in_dir/$i-1p-x$growth.ppm
        if [ ! -s "$long" ]; then
            for ((k = 0; k < growth; k++)); do cat "${input_file[$i-1]}"; done > "$long.tmp"
            check_ppm "$long.tmp" "$growth"
            mv -f "$long.tmp" "$long"
        fi
        input_file[$i-$growth]=$long
        input_pages[$i-$growth]=$growth
    done
    input_file[text-copies]=${input_file[text-$growth]}
    input_pages[text-copies]=$growth
fi

# ---- settings ----------------------------------------------------------------
export VELNORA_ROOT=$root/samples/model
unset PASSWORD VNREDVAL OUTPUTTRAY
export OWNER=bench TITLE=bench
paperinfo=$root/samples/paperinfo
declare -A rc=([rgb]=$root/samples/sample.rc [gray]=$root/samples/sample-gray.rc)
rc[copies]=$work/copies.rc
{ cat "${rc[rgb]}"; printf 'Copies=%s\nCollate=OFF\n' "$copies"; } > "${rc[copies]}"

stamp=$(date +%Y%m%d-%H%M%S)
res=$data/results/$stamp
mkdir -p "$res"
raw=$res/raw.tsv meta=$res/meta.tsv log=$res/stderr.log
: > "$log"
printf '# run\tcase\tmode\tkind\tpages\twall_s\tuser_s\tsys_s\tmaxrss_kb\tbytes\n' > "$raw"

# measure RUN CASE MODE KIND PAGES OUTFILE -- RUNSTAT-ARGS: one raw line. The bytes are
# OUTFILE's size (the job, the peer's output). For KIND zlib the command is zfloor,
# whose own line (the compression alone: WALL USER SYS STREAM_BYTES) replaces
# runstat's times; its peak RSS stays runstat's.
measure() {
    local run=$1 case=$2 mode=$3 kind=$4 pages=$5 outfile=$6 r bytes=0 w u s rss
    shift 7
    r=$("$bin/runstat" "$@" 2>> "$log") || {
        tail -n 5 "$log" >&2
        die "$kind failed on $case ($mode), run $run: $*"
    }
    read -r w u s rss _ <<< "$r"
    if [ "$kind" = zlib ]; then
        read -r w u s bytes < "$work/zfloor.txt"
    elif [ "$outfile" != - ]; then
        bytes=$(stat -c %s "$outfile")
    fi
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$run" "$case" "$mode" "$kind" "$pages" \
        "$w" "$u" "$s" "$rss" "$bytes" >> "$raw"
}

run_filter() {   # run_filter RUN CASE MODE RC
    local job=$work/${2}-$3.prn
    measure "$1" "$2" "$3" filter "${input_pages[$2]}" "$job" -- \
        -i "${input_file[$2]}" -o "$job" -- "$filter" -pi "$paperinfo" -rc "$4"
}

# ---- preparation: one unmeasured pass ----------------------------------------
# Runs the filter once per case (which also brings the inputs into the page cache),
# takes its PWG document out of the job for the floor, and checks the floor's stream
# and the peer's document against the job.
{
    printf 'date\t%s\n' "$(date '+%Y-%m-%d %H:%M')"
    printf 'commit\t%s\n' "$(git -C "$root" rev-parse --short HEAD 2> /dev/null || echo unknown)$(git -C "$root" diff --quiet HEAD -- . ':!bench' 2> /dev/null || echo '+changes')"
    printf 'filter\t%s\n' "${filter#"$root"/}"
    printf 'cpu\t%s\n' "$(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //' || echo unknown)"
    printf 'cores\t%s\n' "$(nproc)"
    printf 'runs\t%s\n' "$runs"
    printf 'width\t%s\nheight\t%s\n' "$W" "$H"
    printf 'inputs\t%s\nmodes\t%s\n' "$inputs" "$modes"
    for i in $inputs; do printf 'pages:%s\t%s\n' "$i" "${input_pages[$i]}"; done
    if [ "$growth" -gt 0 ]; then
        printf 'growth-mode\trgb\ngrowth-pages\t%s\ncopies\t%s\n' "$growth" "$copies"
    fi
} > "$meta"

echo "preparing: one unmeasured pass of every job" >&2
for i in $inputs; do
    for m in $modes; do
        job=$work/$i-$m.prn doc=$work/$i-$m.pwg
        "$filter" -pi "$paperinfo" -rc "${rc[$m]}" < "${input_file[$i]}" > "$job" 2>> "$log" ||
            die "the filter failed on $i ($m); see $log"
        r=$("$bin/jobdoc" "$job" "$doc") || die "cannot read the $i ($m) job"
        read -r head stream _ _ docpages <<< "$r"
        [ "$docpages" = "${input_pages[$i]}" ] ||
            die "the $i ($m) job holds $docpages pages, not ${input_pages[$i]}"
        "$bin/zfloor" "$doc" "$work/$i-$m.floor.gz" > /dev/null || die "zfloor failed on $doc"
        same=no
        if cmp -s "$work/$i-$m.floor.gz" <(tail -c +"$((head + 1))" "$job" | head -c "$stream"); then same=yes; fi
        printf 'same-stream:%s:%s\t%s\n' "$i" "$m" "$same" >> "$meta"
        peer_args=()
        [ "$m" = gray ] && peer_args=(--gray)
        "$bin/peer_pwg" "${peer_args[@]}" < "${input_file[$i]}" 2>> "$log" | gzip -6 > "$work/$i-$m.peer.gz" ||
            die "the peer failed on $i ($m); see $log"
        r=$("$bin/jobdoc" --gz "$work/$i-$m.peer.gz" /dev/null) || die "cannot read the peer's $i ($m) document"
        read -r _ _ _ _ docpages <<< "$r"
        [ "$docpages" = "${input_pages[$i]}" ] ||
            die "the peer's $i ($m) document holds $docpages pages, not ${input_pages[$i]}"
    done
done

# the growth check's jobs, the copies job printing each page --copies times
if [ "$growth" -gt 0 ]; then
    for c in white-1 "white-$growth" text-1 "text-$growth" text-copies; do
        job=$work/$c-rgb.prn rcfile=${rc[rgb]} want=${input_pages[$c]}
        if [ "$c" = text-copies ]; then rcfile=${rc[copies]} want=$((want * copies)); fi
        "$filter" -pi "$paperinfo" -rc "$rcfile" < "${input_file[$c]}" > "$job" 2>> "$log" ||
            die "the filter failed on $c; see $log"
        r=$("$bin/jobdoc" "$job" /dev/null) || die "cannot read the $c job"
        read -r _ _ _ _ docpages <<< "$r"
        [ "$docpages" = "$want" ] || die "the $c job holds $docpages pages, not $want"
    done
fi

# ---- measurements, taken in turn ---------------------------------------------
for ((run = 1; run <= runs; run++)); do
    echo "run $run of $runs" >&2
    for i in $inputs; do
        measure "$run" "$i" - read "${input_pages[$i]}" - -- -- cat "${input_file[$i]}"
        for m in $modes; do
            run_filter "$run" "$i" "$m" "${rc[$m]}"
            measure "$run" "$i" "$m" zlib "${input_pages[$i]}" - -- -o "$work/zfloor.txt" -- \
                "$bin/zfloor" "$work/$i-$m.pwg" "$work/$i-$m.floor.gz"
            peer_args=()
            [ "$m" = gray ] && peer_args=(--gray)
            measure "$run" "$i" "$m" peer "${input_pages[$i]}" "$work/$i-$m.peer.gz" -- \
                -i "${input_file[$i]}" -o "$work/$i-$m.peer.gz" -- "$bin/peer_pwg" "${peer_args[@]}" '|' gzip -6
        done
    done
    if [ "$growth" -gt 0 ]; then
        for c in white-1 "white-$growth" text-1 "text-$growth"; do
            run_filter "$run" "$c" rgb "${rc[rgb]}"
        done
        run_filter "$run" text-copies rgb "${rc[copies]}"
    fi
done

"$bin/report" "$meta" "$raw" | tee "$res/table.md"
if [ "$keep_jobs" = 0 ]; then
    rm -f "$work"/*.prn "$work"/*.pwg "$work"/*.gz
fi
echo "raw figures and this table: $res" >&2
