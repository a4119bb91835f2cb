#!/bin/bash
# documents.sh: what a document costs from PDF to printer job. Times velnora-filter (the
# queue filter: Ghostscript's PPM pages into rastertovelnora) against the fastest pipeline
# a user could build for the same kind of job, Ghostscript's own pwgraster device piped
# into gzip -6, on the first pages of a text manual and of a colour document with photos,
# A4 at 600 dpi, colour and gray jobs. Prints wall and CPU seconds per page (medians of
# the runs, taken in turn) and the ratios.
#
#   bench/documents.sh [--runs N] [--pages N] [--build DIR] [--data DIR]
#
# Installs the Debian packages whose PDFs it prints (valgrind, ghostscript-doc) when run
# as root; builds nothing: velnora-filter and rastertovelnora come from DIR (default
# build/). The documents are cut to their first pages once, into DATA/documents.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
runs=3 pages=6 build=$root/build data=$here/data

die() {
    echo "documents.sh: $*" >&2
    exit 1
}

while [ $# -gt 0 ]; do
    case $1 in
    --runs) runs=${2-}; shift 2 ;;
    --pages) pages=${2-}; shift 2 ;;
    --build) build=${2-}; shift 2 ;;
    --data) data=${2-}; shift 2 ;;
    -h | --help) sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed '$d' | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown option '$1' (see --help)" ;;
    esac
done
[[ $runs =~ ^[1-9][0-9]*$ && $pages =~ ^[1-9][0-9]*$ ]] || die "--runs and --pages take whole numbers from 1"
. "$root/scripts/need.sh"
need ghostscript valgrind ghostscript-doc gzip time
queue=$build/velnora-filter
[ -x "$queue" ] && [ -x "$build/rastertovelnora" ] || die "no velnora-filter and rastertovelnora in $build (cmake --build first)"

pdf_of() {   # pdf_of PACKAGE FILE: the installed file, unpacked when it is gzipped
    local f out=$data/documents/$2
    f=$(dpkg -L "$1" 2> /dev/null | grep -E "/$2(\.gz)?\$" | head -n 1 || true)
    [ -n "$f" ] && [ -s "$f" ] || die "$1 is installed but $2 is not on disk"
    if [[ $f == *.gz ]]; then
        [ -s "$out" ] || gzip -dc "$f" > "$out"
        f=$out
    fi
    echo "$f"
}

# The first pages of a document, as a PDF of its own.
cut_pages() {   # cut_pages PDF FIRST NAME
    local out=$data/documents/$3-${pages}p.pdf
    if [ ! -s "$out" ]; then
        gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -dFirstPage="$2" -dLastPage="$(($2 + pages - 1))" \
            -sOutputFile="$out.tmp" "$1" && mv "$out.tmp" "$out"
    fi
    echo "$out"
}

mkdir -p "$data/documents" "$data/documents/work"
work=$data/documents/work
text=$(cut_pages "$(pdf_of valgrind valgrind_manual.pdf)" 11 text)
color=$(cut_pages "$(pdf_of ghostscript-doc GS9_Color_Management.pdf)" 1 color)

# seconds RESULT-FILE COMMAND...: runs the command under /usr/bin/time; "wall cpu".
seconds() {
    local out=$1
    shift
    /usr/bin/time -f '%e %U %S' -o "$out.time" "$@" > /dev/null 2>> "$work/stderr.log" || die "failed: $*"
    awk '{ printf "%s %.3f\n", $1, $2 + $3 }' "$out.time"
}

median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

printf '| document | job | pages | velnora-filter wall s/page | CPU s/page | gs pwgraster + gzip -6 wall s/page | CPU s/page | wall ratio | CPU ratio |\n'
printf '|---|---|--:|--:|--:|--:|--:|--:|--:|\n'
for case in "text colour" "text gray" "color colour" "color gray"; do
    read -r doc mode <<< "$case"
    pdf=$text
    [ "$doc" = color ] && pdf=$color
    rc=$root/samples/sample.rc space=19
    [ "$mode" = gray ] && rc=$root/samples/sample-gray.rc space=18
    : > "$work/a" ; : > "$work/b"
    for ((r = 0; r < runs; r++)); do
        seconds "$work/q" "$queue" --rc "$rc" --pi "$root/samples/paperinfo" --model-root "$root/samples/model" "$pdf" >> "$work/a"
        seconds "$work/p" bash -c "gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pwgraster -r600 -g4961x7016 \
            -dcupsColorSpace=$space -dcupsBitsPerColor=8 -dFIXEDMEDIA -dPDFFitPage -sOutputFile=- '$pdf' | gzip -6" >> "$work/b"
    done
    qw=$(cut -d' ' -f1 "$work/a" | median) qc=$(cut -d' ' -f2 "$work/a" | median)
    pw=$(cut -d' ' -f1 "$work/b" | median) pc=$(cut -d' ' -f2 "$work/b" | median)
    awk -v d="$doc" -v m="$mode" -v n="$pages" -v qw="$qw" -v qc="$qc" -v pw="$pw" -v pc="$pc" 'BEGIN {
        printf "| %s | %s | %d | %.3f | %.3f | %.3f | %.3f | %.2f | %.2f |\n", d, m, n, qw / n, qc / n, pw / n, pc / n,
            (pw > 0 ? qw / pw : 0), (pc > 0 ? qc / pc : 0) }'
done
echo
echo "velnora-filter's CPU counts its children (Ghostscript and rastertovelnora); the pipeline's counts gs and gzip."
