#!/bin/bash
# printer_app_test.sh BUILD_DIR SOURCE_DIR: the driverless printer end to end. Installs the
# build into a private prefix, starts velnora-printer-app on a free loopback port as an
# ordinary user (nobody, through setpriv, when the test runs as root) with HOME, TMPDIR
# and XDG_CONFIG_HOME in the test's own folder, adds a printer of the sample model on a
# file: device folder, and prints over IPP with ipptool:
#   - a gray PWG raster page a little off the paper's pixel size (PAPPL rounds the size
#     differently from the paper-information file): the job file must decode
#     (velnora-decode) to one A5 page of the paper's exact pixels, with the job's name and
#     user in the PJL header;
#   - a JPEG on A5: one page of the same size;
#   - a 2-page colour PDF, two-sided, with a job-password: its job file must be byte for
#     byte what velnora-filter writes for the same document and settings (PIN included).
# Then `shutdown` must stop the server. Exits 77 (skipped) when velnora-printer-app was
# not built (no libpappl-dev), or without ipptool or Ghostscript. The server is stopped by
# its pid on every exit path (TERM, then KILL) and the folder removed.
set -euo pipefail
umask 022

readonly kPrinter=velnora
readonly kDriver=velnora_samplemodel
readonly kA5Pixels="3496 x 4961"   # the paper-information file's A5 at 600 dpi

say() { echo "printer_app_test: $*"; }
skip() { say "SKIPPED: $*"; exit 77; }

if [ $# -lt 2 ]; then
    echo "usage: $0 BUILD_DIR SOURCE_DIR" >&2
    exit 2
fi
build=$(cd "$1" && pwd)

[ -x "$build/velnora-printer-app" ] || skip "velnora-printer-app was not built (PAPPL, Debian libpappl-dev, missing)"
command -v ipptool > /dev/null || skip "ipptool is missing (Debian package cups-ipp-utils)"
command -v gs > /dev/null || skip "Ghostscript is missing (Debian package ghostscript)"

work=$(mktemp -d "${TMPDIR:-/tmp}/printer_app_test.XXXXXX")
chmod 755 "$work"
# A sanitized build reports leaks; those inside PAPPL's own client commands are not ours.
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$(cd "$(dirname "$0")" && pwd)/lsan.supp"

serverPid=
CleanUp() {
    if [ -n "$serverPid" ] && kill -0 "$serverPid" 2> /dev/null; then
        kill -TERM "$serverPid" 2> /dev/null || true
        for _ in $(seq 100); do kill -0 "$serverPid" 2> /dev/null || break; sleep 0.1; done
        kill -KILL "$serverPid" 2> /dev/null || true
        wait "$serverPid" 2> /dev/null || true
    fi
    rm -rf "$work"
}
trap CleanUp EXIT
trap 'exit 1' INT TERM HUP

Fail() {
    say "FAILED: $*"
    [ -f "$work/home/server.log" ] && { say "the server's log ends:"; tail -40 "$work/home/server.log"; }
    exit 1
}

cmake --install "$build" --prefix "$work/prefix" > "$work/install.log" || Fail "cmake --install failed"
app=$work/prefix/bin/velnora-printer-app
decode=$work/prefix/bin/velnora-decode
[ -x "$app" ] && [ -x "$decode" ] || Fail "the install lacks velnora-printer-app or velnora-decode"
mkdir -p "$work/home" "$work/device"

# The application's commands, as the user the server runs as, with its private folders.
asUser=()
if [ "$(id -u)" = 0 ]; then
    chown nobody "$work/home" "$work/device"
    asUser=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups)
fi
App() {
    "${asUser[@]}" env HOME="$work/home" TMPDIR="$work/home" XDG_CONFIG_HOME="$work/home" "$app" "$@"
}

# The documents: small pages made by Ghostscript.
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pwgraster -dcupsColorSpace=18 -dcupsBitsPerColor=8 -r600 \
    -dDEVICEWIDTHPOINTS=420 -dDEVICEHEIGHTPOINTS=595 -sOutputFile="$work/gray.pwg" \
    -c "0.3 setgray 72 72 144 144 rectfill showpage" > /dev/null 2>&1 || Fail "Ghostscript cannot make PWG raster"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=jpeg -r72 -g144x144 -sOutputFile="$work/photo.jpg" \
    -c "1 0 0 setrgbcolor 20 20 50 50 rectfill showpage" > /dev/null 2>&1 || Fail "Ghostscript cannot make a JPEG"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -dDEVICEWIDTHPOINTS=420 -dDEVICEHEIGHTPOINTS=595 \
    -sOutputFile="$work/two.pdf" -c "1 0 0 setrgbcolor 72 72 144 144 rectfill showpage" \
    -c "0 0 1 setrgbcolor 72 72 100 100 rectfill showpage" > /dev/null 2>&1 || Fail "Ghostscript cannot make a PDF"

cat > "$work/print.test" << 'EOF'
{
    NAME "Print-Job $job"
    OPERATION Print-Job
    GROUP operation-attributes-tag
    ATTR charset attributes-charset utf-8
    ATTR naturalLanguage attributes-natural-language en
    ATTR uri printer-uri $uri
    ATTR name requesting-user-name $jobuser
    ATTR name job-name $job
    ATTR mimeMediaType document-format $format
    GROUP job-attributes-tag
    ATTR keyword media iso_a5_148x210mm
    ATTR keyword sides $sides
    ATTR octetString job-password $pin
    FILE $filename
    STATUS successful-ok
    EXPECT job-id
}
EOF

# The server on a free loopback port: five tries.
started=false
for _ in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 40000))
    (exec 3<> "/dev/tcp/127.0.0.1/$port") 2> /dev/null && continue   # taken
    # Started without the App function, so that $! is the server's own pid (setpriv and env
    # exec it) and the clean-up's signals reach it, not a subshell.
    "${asUser[@]}" env HOME="$work/home" TMPDIR="$work/home" XDG_CONFIG_HOME="$work/home" \
        "$app" server -o server-port="$port" -o listen-hostname=localhost -o log-level=debug \
        -o log-file="$work/home/server.log" > "$work/server.out" 2>&1 &
    serverPid=$!
    for _ in $(seq 100); do
        (exec 3<> "/dev/tcp/127.0.0.1/$port") 2> /dev/null && { started=true; break; }
        kill -0 "$serverPid" 2> /dev/null || break
        sleep 0.2
    done
    $started && break
    kill -TERM "$serverPid" 2> /dev/null || true
    wait "$serverPid" 2> /dev/null || true
    serverPid=
done
$started || Fail "velnora-printer-app did not listen on any of five loopback ports"
say "the server listens on localhost port $port"

App drivers | grep -q "^$kDriver " || Fail "drivers does not list $kDriver"
App add -d "$kPrinter" -v "file://$work/device" -m "$kDriver" || Fail "add failed"
uri=ipp://localhost:$port/ipp/print/$kPrinter

# Prints one document and waits for its job file to decode: ONE page of the paper's size.
PrintAndCheck() {
    local job=$1 format=$2 file=$3 user=$4 pages=${5:-1} sides=${6:-one-sided} pin=${7:-}
    local decoded=$work/$1.decoded
    ipptool -t -d job="$job" -d jobuser="$user" -d format="$format" -d sides="$sides" -d pin="$pin" -f "$file" \
        "$uri" "$work/print.test" \
        > "$work/$job.ipptool" 2>&1 || { cat "$work/$job.ipptool"; Fail "Print-Job of $job was refused"; }
    # The job is written while it prints: it is whole once it decodes (a hang guard of 120 s).
    for _ in $(seq 600); do
        [ -f "$work/device/$job.prn" ] && "$decode" "$work/device/$job.prn" > "$decoded" 2>&1 && break
        sleep 0.2
    done
    "$decode" "$work/device/$job.prn" > "$decoded" 2>&1 || { cat "$decoded"; Fail "$job.prn does not decode"; }
    [ "$(grep -c '^page [0-9]*:' "$decoded")" = "$pages" ] || { cat "$decoded"; Fail "$job: not $pages page(s)"; }
    grep -q "Width *${kA5Pixels% x *}$" "$decoded" && grep -q "Height *${kA5Pixels#* x }$" "$decoded" ||
        { cat "$decoded"; Fail "$job: the page is not A5's $kA5Pixels pixels"; }
    grep -q "@PJL SET PAPER=A5" "$decoded" || { cat "$decoded"; Fail "$job: not printed on A5"; }
    grep -q "@PJL JOB NAME=\"$job\"" "$decoded" || { cat "$decoded"; Fail "$job: the job's name is missing"; }
    grep -q "@PJL SET USERNAME=\"$user\"" "$decoded" || { cat "$decoded"; Fail "$job: the user is missing"; }
    say "$job ($format) printed: $pages A5 page(s)"
}

PrintAndCheck gray image/pwg-raster "$work/gray.pwg" alice
PrintAndCheck photo image/jpeg "$work/photo.jpg" bob
PrintAndCheck report application/pdf "$work/two.pdf" carol 2 two-sided-long-edge 4711
grep -q "@PJL SET HOLDKEY=4711" "$work/report.decoded" || Fail "report: the PIN is missing"
printf '[SampleModel]\n' > "$work/direct.rc"
share=$work/prefix/share/velnora
PASSWORD= "$work/prefix/bin/velnora-filter" --rc "$work/direct.rc" --pi "$share/paperinfo" --model-root "$share/model" \
    -ncarol -Jreport -Zcopies=1,media=A5,duplex=long,color=color,quality=normal,tray=AutoSelect,mediatype=Plain,pin=4711 \
    "$work/two.pdf" > "$work/direct.prn" 2> "$work/direct.log" || { cat "$work/direct.log"; Fail "velnora-filter failed"; }
cmp "$work/direct.prn" "$work/device/report.prn" || Fail "the PDF job differs from velnora-filter's for the same settings"
say "report: byte for byte velnora-filter's job"

App shutdown || Fail "shutdown failed"
for _ in $(seq 300); do kill -0 "$serverPid" 2> /dev/null || break; sleep 0.1; done
kill -0 "$serverPid" 2> /dev/null && Fail "the server still runs 30 s after shutdown"
wait "$serverPid" 2> /dev/null || true
serverPid=
say "shutdown stopped the server"
say "PASSED"
