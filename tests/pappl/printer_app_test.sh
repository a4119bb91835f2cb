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
#     byte what velnora-filter writes for the same document and settings (PIN included);
#   - a PDF of 200 pages, cancelled with Cancel-Job once it prints: the job must end
#     canceled, its file closed for the printer (zero bytes, then the PJL trailer), none of
#     its programs left running, and a small job after it must print.
# Then `shutdown` must stop the server. Exits 77 (skipped) when velnora-printer-app was
# not built (no libpappl-dev), or without ipptool or Ghostscript. The server is stopped by
# its pid on every exit path (TERM, then KILL) and the folder removed.
set -euo pipefail
umask 022

readonly kPrinter=velnora
readonly kDriver=velnora_samplemodel
readonly kA5Pixels="3496 x 4961"   # the paper-information file's A5 at 600 dpi
readonly kClosingZeros=5768   # zero bytes a cancelled job sends before its end
readonly kUel=$'\033%-12345X'

say() { echo "printer_app_test: $*"; }
skip() { say "SKIPPED: $*"; exit 77; }

if [ $# -lt 2 ]; then
    echo "usage: $0 BUILD_DIR SOURCE_DIR" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
sourceDir=$(cd "$2" && pwd)
. "$sourceDir/tests/support/daemon.sh"

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
# The long job: 200 pages of a colour gradient (copies would not do: the printer makes them).
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -dDEVICEWIDTHPOINTS=420 -dDEVICEHEIGHTPOINTS=595 \
    -sOutputFile="$work/long.pdf" -c "200 { << /ShadingType 2 /ColorSpace /DeviceRGB /Coords [0 0 420 595]
    /Function << /FunctionType 2 /Domain [0 1] /C0 [1 0 0] /C1 [0 0 1] /N 1 >> >> shfill showpage } repeat" \
    > /dev/null 2>&1 || Fail "Ghostscript cannot make the long PDF"

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
    ATTR integer copies $copies
    ATTR octetString job-password $pin
    FILE $filename
    STATUS successful-ok
    EXPECT job-id
    DISPLAY job-id
}
EOF

# The server on a free loopback port: five tries.
started=false
for _ in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 40000))
    (exec 3<> "/dev/tcp/127.0.0.1/$port") 2> /dev/null && continue   # taken
    App server -o server-port="$port" -o listen-hostname=localhost -o log-level=debug \
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
    ipptool -t -d job="$job" -d jobuser="$user" -d format="$format" -d sides="$sides" -d pin="$pin" -d copies=1 \
        -f "$file" \
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

# --- A long job cancelled while it prints
cat > "$work/get-job.test" << 'EOF'
{
    OPERATION Get-Job-Attributes
    GROUP operation-attributes-tag
    ATTR charset attributes-charset utf-8
    ATTR naturalLanguage attributes-natural-language en
    ATTR uri printer-uri $uri
    ATTR integer job-id $id
    ATTR name requesting-user-name $jobuser
    ATTR keyword requested-attributes job-state,job-state-reasons
    STATUS successful-ok
    DISPLAY job-state
    DISPLAY job-state-reasons
}
EOF
cat > "$work/cancel-job.test" << 'EOF'
{
    OPERATION Cancel-Job
    GROUP operation-attributes-tag
    ATTR charset attributes-charset utf-8
    ATTR naturalLanguage attributes-natural-language en
    ATTR uri printer-uri $uri
    ATTR integer job-id $id
    ATTR name requesting-user-name $jobuser
    STATUS successful-ok
}
EOF
slow=$work/device/slow.prn
JobState() {   # "STATE REASONS" of job $1, empty when it cannot be asked
    ipptool -t -d id="$1" -d jobuser=dave "$uri" "$work/get-job.test" 2> /dev/null |
        awk -F' = ' '/job-state \(enum\)/ { s = $2 } /job-state-reasons/ { r = $2 } END { if (s != "") print s, r }'
}
HasEnded() { [[ $(JobState "$1") =~ ^(completed|canceled|aborted) ]]; }
IsPrinting() { [[ $(JobState "$1") == "processing"* ]] && [ -s "$slow" ]; }
# The server's descendants (every process whose chain of parents reaches it): "PID PGID COMM".
Descendants() {
    local dir pid ppid pgid comm chain
    for dir in /proc/[0-9]*; do
        pid=${dir#/proc/}
        chain=$pid
        comm=$(cat "$dir/comm" 2> /dev/null) || continue
        pgid=$(awk '{ sub(/.*\) /, ""); print $3 }' "$dir/stat" 2> /dev/null) || continue
        while [ -n "$chain" ] && [ "$chain" -gt 1 ]; do
            if [ "$chain" = "$serverPid" ] && [ "$pid" != "$serverPid" ]; then
                echo "$pid $pgid $comm"
                break
            fi
            ppid=$(awk '{ sub(/.*\) /, ""); print $2 }' "/proc/$chain/stat" 2> /dev/null) || break
            chain=$ppid
        done
    done
}
# The live processes of the job's process groups, and the server's children of the job's
# programs.
groups=
JobProcesses() {
    local dir state
    for dir in /proc/[0-9]*; do
        read -r _ _ state _ _ pgid _ 2> /dev/null < "$dir/stat" || continue
        [ "$state" != Z ] && [[ " $groups " == *" $pgid "* ]] && echo "${dir#/proc/} $(cat "$dir/comm" 2> /dev/null)"
    done
    Descendants | awk '$3 == "velnora-filter" || $3 == "rastertovelnora" || $3 == "gs" { print $1, $3 }'
}
NoJobProcesses() { [ -z "$(JobProcesses)" ]; }

ipptool -t -d job=slow -d jobuser=dave -d format=application/pdf -d sides=one-sided -d pin= -d copies=1 \
    -f "$work/long.pdf" "$uri" "$work/print.test" > "$work/slow.ipptool" 2>&1 ||
    { cat "$work/slow.ipptool"; Fail "Print-Job of the long job was refused"; }
id=$(sed -n 's/^ *job-id (integer) = \([0-9]*\)$/\1/p' "$work/slow.ipptool" | head -n 1)
[ -n "$id" ] || { cat "$work/slow.ipptool"; Fail "no job-id for the long job"; }
WaitFor 120 IsPrinting "$id" || Fail "the long job did not begin printing within 120 s ($(JobState "$id"))"
groups=$(Descendants | awk '$3 == "velnora-filter" { print $2 }' | sort -u | tr '\n' ' ')
[ -n "${groups// /}" ] || Fail "no velnora-filter runs for the long job while it prints"
ipptool -q -d id="$id" -d jobuser=dave "$uri" "$work/cancel-job.test" || Fail "Cancel-Job was refused"
WaitFor 60 HasEnded "$id" || Fail "the long job did not end within 60 s of Cancel-Job ($(JobState "$id"))"
[[ $(JobState "$id") == canceled* ]] || Fail "the long job ended as $(JobState "$id"), not canceled"
WaitFor 30 NoJobProcesses || Fail "the long job's programs still run after Cancel-Job: $(JobProcesses)"
[ "$(head -c ${#kUel} "$slow")" = "$kUel" ] || Fail "the cancelled job does not begin with the PJL header"
header=$(grep -a -b -o -F '@PJL ENTER LANGUAGE=' "$slow" | head -n 1 | cut -d: -f1 || true)
[ -n "$header" ] || Fail "the cancelled job has no @PJL ENTER LANGUAGE line"
# The longest run of zero bytes and where it begins.
read -r nZeros nZerosAt < <(od -An -v -tu1 -w1 "$slow" | awk '
    $1 == 0 { if (n++ == 0) at = NR - 1; if (n > best) { best = n; bestAt = at }; next }
    { n = 0 }
    END { print best + 0, bestAt + 0 }')
[ "$nZeros" -ge "$kClosingZeros" ] && [ "$nZerosAt" -gt "$header" ] ||
    Fail "the cancelled job lacks its $kClosingZeros zero bytes after the header (longest run $nZeros)"
trailer="$kUel@PJL EOJ NAME=\"slow\""$'\n'"$kUel"$'\n'
cmp -s <(tail -c ${#trailer} "$slow") <(printf '%s' "$trailer") ||
    Fail "the cancelled job does not end with its trailer: $(tail -c ${#trailer} "$slow" | od -c | head -n 5)"
say "slow: cancelled, closed for the printer after $(stat -c %s "$slow") bytes, nothing left running"
PrintAndCheck after image/pwg-raster "$work/gray.pwg" alice

App shutdown || Fail "shutdown failed"
for _ in $(seq 300); do kill -0 "$serverPid" 2> /dev/null || break; sleep 0.1; done
kill -0 "$serverPid" 2> /dev/null && Fail "the server still runs 30 s after shutdown"
wait "$serverPid" 2> /dev/null || true
serverPid=
say "shutdown stopped the server"
say "PASSED"
