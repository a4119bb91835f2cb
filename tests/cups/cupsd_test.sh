#!/bin/bash
# cupsd_test.sh BUILD_DIR SOURCE_DIR: prints through a real cupsd. Installs the build into
# a private prefix, starts a private cupsd on a free loopback port with one queue whose
# device is a file and whose PPD is the installed SampleModel.ppd, and submits jobs over
# IPP with ipptool:
#   - a 4-page PDF in two collated copies, duplex, gray, with a PIN, a job name and a
#     user: the device file must decode (velnora-decode) to 8 gray duplex pages with the
#     PIN, the name and the user in the PJL header;
#   - the PPD's own options given as job attributes (InputSlot, MediaType, TonerSaveMode),
#     then the IPP attributes CUPS maps onto them (media-source, media-type,
#     print-quality): both must reach the PJL header;
#   - a long job cancelled with Cancel-Job while it prints: the job must be closed for the
#     printer (zero bytes, then the PJL trailer) and none of its programs left running.
# This runs once with cupsd started as root (it runs its filters as lp and accepts only a
# filter that is root-owned and not writable by group or others, in a folder of the same
# kind) and, when the test runs as root, once more with cupsd started as nobody (it then
# runs everything as nobody and checks no permissions; it signals only the filter's own
# pid on a cancel, not its process group). Exits 77 (skipped) without cupsd, ipptool,
# Ghostscript, the installed velnora-cups filter or the installed PPD.
#
# How the private daemon is set up (everything under one temporary folder, 0755, that
# is removed on every exit path):
#   - cups-files.conf puts every folder and file of cupsd inside the run's folder
#     (ServerRoot, ServerBin, RequestRoot, TempDir, StateDir, CacheDir, the three logs
#     and Printcap: left out, cupsd writes the system's /etc/printcap), with
#     `FileDevice Yes` for the file: device; cupsd.conf listens on 127.0.0.1 only.
#   - ServerBin holds `daemon`, a link to the system's folder (cupsd starts each filter
#     through daemon/cups-exec), and `filter`, with links to the system's filters
#     (pdftopdf runs before ours) and one to the installed velnora-cups. A root cupsd
#     checks the file a link leads to, but the folder of the link, not the file's own:
#     the test checks the installed filter's folder itself.
#   - The queue is written into printers.conf (0600) before cupsd starts, its PPD copied
#     to ServerRoot/ppd: there is no lpadmin beside LPRng (Debian's cups-client conflicts
#     with lprng).
#   - cupsd -f runs as the test's child and is stopped by its pid (TERM, then KILL).
set -euo pipefail
umask 022
PATH=$PATH:/usr/sbin

readonly kQueue=velnora
readonly kModel=SampleModel
readonly kPin=4711
readonly kJobName="Quarterly report"
readonly kJobUser=alice
readonly kSlowName="slow job"
readonly kSlowUser=slowpoke
readonly kClosingZeros=5768   # zero bytes a cancelled job sends before its end
readonly kUel=$'\033%-12345X'

say() { echo "cupsd_test: $*"; }
skip() { say "SKIPPED: $*"; exit 77; }

if [ $# -lt 2 ]; then
    echo "usage: $0 BUILD_DIR SOURCE_DIR" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
sourceDir=$(cd "$2" && pwd)
. "$sourceDir/tests/support/daemon.sh"

command -v cupsd > /dev/null || skip "cupsd is missing (Debian package cups-daemon)"
command -v ipptool > /dev/null || skip "ipptool is missing (Debian package cups-ipp-utils)"
command -v gs > /dev/null || skip "Ghostscript is missing (Debian package ghostscript)"
systemServerBin=$(cups-config --serverbin 2> /dev/null || echo /usr/lib/cups)
[ -x "$systemServerBin/daemon/cups-exec" ] || skip "$systemServerBin/daemon/cups-exec is missing (cups-daemon)"
[ -x "$systemServerBin/filter/pdftopdf" ] || skip "$systemServerBin/filter/pdftopdf is missing (cups-filters)"

# The job's programs still alive, as "PID NAME" lines: those whose environment names a
# PPD of the test's folder (cupsd sets PPD for its filters; their children inherit it),
# so that programs of other tests on the machine do not count.
JobProcesses() {
    local pid comm
    while read -r pid comm; do
        if grep -q -z "^PPD=$work/" "/proc/$pid/environ" 2> /dev/null; then
            echo "$pid $comm"
        fi
    done < <(LiveProcesses velnora-cups velnora-filter rastertovelnora gs pdftopdf)
}
NoJobProcesses() { [ -z "$(JobProcesses)" ]; }
KillJobProcesses() {
    local pid _
    while read -r pid _; do
        [ -n "$pid" ] && kill -KILL "$pid" 2> /dev/null || true
    done < <(JobProcesses)
}

cupsdPid=
work=
StopDaemon() {
    [ -n "$cupsdPid" ] || return 0
    StopProcess "$cupsdPid"
    cupsdPid=
}
CleanUp() {
    StopDaemon
    # A job's programs that outlived a failed check would keep files open in the folder.
    [ -z "$work" ] || KillJobProcesses || true
    [ -z "$work" ] || rm -rf "$work"
}
trap CleanUp EXIT
trap 'exit 1' INT TERM HUP

work=$(mktemp -d "${TMPDIR:-/tmp}/velnora-cupsd.XXXXXX")
work=$(cd "$work" && pwd -P)
chmod 0755 "$work"

prefix=$work/prefix
if ! DESTDIR='' cmake --install "$build" --prefix "$prefix" > "$work/install.log" 2>&1; then
    cat "$work/install.log"
    say "FAILED: cmake --install $build"
    exit 1
fi
filter=$prefix/lib/cups/filter/velnora-cups
ppd=$prefix/share/ppd/velnora/$kModel.ppd
[ -x "$filter" ] || skip "the installation has no lib/cups/filter/velnora-cups"
[ -f "$ppd" ] || skip "the installation has no share/ppd/velnora/$kModel.ppd"
grep -q '^\*InputSlot Tray1[/:]' "$ppd" && grep -q '^\*InputSlot Tray2[/:]' "$ppd" ||
    { say "FAILED: $ppd lacks the input slots Tray1 and Tray2"; exit 1; }
[ -x "$prefix/bin/velnora-decode" ] || { say "FAILED: the installation lacks bin/velnora-decode"; exit 1; }
grep -q -E '^\*cupsFilter2: *"[^"]* velnora-cups"' "$ppd" ||
    { say "FAILED: $ppd has no *cupsFilter2 line naming velnora-cups"; exit 1; }
# Small pages keep the test fast: the first jobs on A4 (120 x 170 pixels), the slow one on
# Letter, large enough for each copy to take a while.
printf 'TestPaperInfo 600 600 dpi\nA4: 120 170\nLetter: 2550 3300\n' > "$prefix/share/velnora/paperinfo"

# The documents: four pages in colour (A4 size, small when rendered at the test's
# paper), and one Letter page with a colour gradient for the job that is cancelled.
cat > "$work/four-pages.ps" << 'EOF'
%!PS
<< /PageSize [595 842] >> setpagedevice
1 0 0 setrgbcolor 0 0 297 421 rectfill showpage
0 0 1 setrgbcolor 297 421 297 421 rectfill showpage
0 0.6 0 setrgbcolor 100 100 300 500 rectfill showpage
0.5 0 0.5 setrgbcolor 0 421 595 421 rectfill showpage
EOF
cat > "$work/slow.ps" << 'EOF'
%!PS
<< /PageSize [612 792] >> setpagedevice
<< /ShadingType 2 /ColorSpace /DeviceRGB /Coords [0 0 612 792]
   /Function << /FunctionType 2 /Domain [0 1] /C0 [1 0 0] /C1 [0 0 1] /N 1 >> >> shfill
showpage
EOF
for doc in four-pages slow; do
    gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sOutputFile="$work/$doc.pdf" "$work/$doc.ps"
done
chmod 0644 "$work"/*.pdf


ShowDaemon() {
    echo "--- cupsd's error_log (last lines)"
    tail -n 60 "$run/log/error_log" 2> /dev/null || true
    echo "--- cupsd's output"
    cat "$run/cupsd.out" 2> /dev/null || true
}
Fail() {
    say "FAILED${runName:+ ($runName)}: $*"
    ShowDaemon
    exit 1
}

jobId=
# Writes an ipptool test file $1 for Print-Job of the document $2 with the user $3, the
# job name $4 and the job attributes on standard input, one `ATTR type name value` a line.
WritePrintJob() {
    {
        echo '{'
        echo '    NAME "Print-Job"'
        echo '    OPERATION Print-Job'
        echo '    GROUP operation-attributes-tag'
        echo '    ATTR charset attributes-charset utf-8'
        echo '    ATTR naturalLanguage attributes-natural-language en'
        echo '    ATTR uri printer-uri $uri'
        echo "    ATTR name requesting-user-name \"$3\""
        echo "    ATTR name job-name \"$4\""
        echo '    ATTR mimeMediaType document-format application/pdf'
        echo '    GROUP job-attributes-tag'
        sed 's/^/    /'
        echo "    FILE \"$2\""
        echo '    STATUS successful-ok'
        echo '    EXPECT job-id OF-TYPE integer'
        echo '    DISPLAY job-id'
        echo '}'
    } > "$1"
}

# Submits the job of the test file $1; prints its job id.
Submit() {
    local out id
    out=$(ipptool -t "$uri" "$1" 2>&1) || { echo "$out" >&2; return 1; }
    id=$(sed -n 's/^ *job-id (integer) = \([0-9]*\)$/\1/p' <<< "$out" | head -n 1)
    [ -n "$id" ] || { echo "$out" >&2; return 1; }
    echo "$id"
}

# The job's state as "STATE REASONS" (state as a keyword: pending, processing,
# completed, ...), or nothing when cupsd does not answer.
JobState() {
    ipptool -t -d "job=$1" "$uri" "$run/get-job.test" 2> /dev/null |
        awk -F' = ' '/job-state \(enum\)/ { s = $2 } /job-state-reasons/ { r = $2 } END { if (s != "") print s, r }'
}
HasEnded() { [[ $(JobState "$1") =~ ^(completed|canceled|aborted) ]]; }
IsPrinting() { [[ $(JobState "$1") == "processing "* ]] && [ -s "$run/device" ]; }

# What is left in the folder cupsd gives its filters as TMPDIR (cupsd keeps nothing of
# its own there with this configuration).
LeftInTempDir() { ls -A "$run/spool/tmp"; }

# Decodes the device file; fails when it is not a well-formed job.
Decode() {
    decoded=$("$prefix/bin/velnora-decode" "$run/device" 2>&1) || { echo "$decoded"; Fail "$1: the job is malformed"; }
}
ExpectPjl() {
    local what=$1 line
    shift
    for line; do
        grep -q -x -F "  $line" <<< "$decoded" || { echo "$decoded"; Fail "$what: no PJL line $line"; }
    done
}
ExpectNoPjl() {
    local what=$1 line
    shift
    for line; do
        ! grep -q -x -F "  $line" <<< "$decoded" || { echo "$decoded"; Fail "$what: unexpected PJL line $line"; }
    done
}

# Prints the job ($1 says what it is) of the test file $2 and waits for it to complete;
# its id is left in jobId.
PrintAndWait() {
    local what=$1 state
    jobId=$(Submit "$2") || Fail "$what: Print-Job was refused"
    WaitFor 120 HasEnded "$jobId" || Fail "$what: the job did not end within 120 s ($(JobState "$jobId"))"
    state=$(JobState "$jobId")
    [[ $state == completed* ]] || Fail "$what: the job ended as $state"
}

# The job's page count in cupsd's page log: the sum of the filter's "PAGE: n copies"
# lines, which cupsd writes as one "total" line when the job ends.
PagesLogged() {
    awk -v id="$1" '$3 == id { for (i = 4; i < NF; i++) if ($i == "total") { print $(i + 1); exit } }' \
        "$run/log/page_log" 2> /dev/null
}
HasPagesLogged() { [ -n "$(PagesLogged "$1")" ]; }

# Starts cupsd as the user $1 (root or another) for the run in $run on a free loopback
# port; false when it cannot listen there.
StartDaemon() {
    local user=$1 port=$2
    cat > "$run/etc/cupsd.conf" << EOF
Listen 127.0.0.1:$port
Browsing No
WebInterface No
LogLevel debug
MaxLogSize 0
DefaultAuthType None
<Location />
  Order allow,deny
  Allow from 127.0.0.1
</Location>
EOF
    uri=ipp://127.0.0.1:$port/printers/$kQueue
    if [ "$user" = root ]; then
        cupsd -f -c "$run/etc/cupsd.conf" -s "$run/etc/cups-files.conf" > "$run/cupsd.out" 2>&1 &
    else
        setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups \
            cupsd -f -c "$run/etc/cupsd.conf" -s "$run/etc/cups-files.conf" > "$run/cupsd.out" 2>&1 &
    fi
    cupsdPid=$!
    WaitFor 20 Answers && return 0
    StopDaemon
    return 1
}
Answers() {
    kill -0 "$cupsdPid" 2> /dev/null || return 1
    ipptool -q "$uri" "$run/get-printer.test" 2> /dev/null
}

# One run: cupsd started as the user $1, with all the jobs.
RunAs() {
    local user=$1 group owner
    runName=as-$user
    run=$work/$runName
    group=$(id -g "$user")
    mkdir -p "$run/etc/ppd" "$run/serverbin/filter" "$run/spool/tmp" "$run/state" "$run/cache" "$run/log"
    ln -s "$systemServerBin/daemon" "$run/serverbin/daemon"
    for program in "$systemServerBin"/filter/*; do
        ln -s "$program" "$run/serverbin/filter/"
    done
    ln -s "$filter" "$run/serverbin/filter/velnora-cups"
    # The queue's default paper source is Tray1, as `lpadmin -o InputSlot-default=Tray1`
    # would set it: CUPS never passes a default, the filter must read it from the PPD.
    sed 's/^\*DefaultInputSlot:.*/*DefaultInputSlot: Tray1/' "$ppd" > "$run/etc/ppd/$kQueue.ppd"
    cat > "$run/etc/cups-files.conf" << EOF
ServerRoot $run/etc
ServerBin $run/serverbin
RequestRoot $run/spool
TempDir $run/spool/tmp
StateDir $run/state
CacheDir $run/cache
AccessLog $run/log/access_log
ErrorLog $run/log/error_log
PageLog $run/log/page_log
Printcap $run/etc/printcap
SystemGroup root
FileDevice Yes
EOF
    (umask 077 && cat > "$run/etc/printers.conf") << EOF
<DefaultPrinter $kQueue>
Info Velnora $kModel
MakeModel Velnora $kModel
DeviceURI file://$run/device
State Idle
StateTime 0
Type 8392700
Accepting Yes
Shared No
JobSheets none none
QuotaPeriod 0
PageLimit 0
KLimit 0
OpPolicy default
ErrorPolicy abort-job
</DefaultPrinter>
EOF
    cat > "$run/get-printer.test" << 'EOF'
{
    OPERATION Get-Printer-Attributes
    GROUP operation-attributes-tag
    ATTR charset attributes-charset utf-8
    ATTR naturalLanguage attributes-natural-language en
    ATTR uri printer-uri $uri
    ATTR keyword requested-attributes printer-state
    STATUS successful-ok
}
EOF
    cat > "$run/get-job.test" << 'EOF'
{
    OPERATION Get-Job-Attributes
    GROUP operation-attributes-tag
    ATTR charset attributes-charset utf-8
    ATTR naturalLanguage attributes-natural-language en
    ATTR uri printer-uri $uri
    ATTR integer job-id $job
    ATTR keyword requested-attributes job-state,job-state-reasons
    STATUS successful-ok
    DISPLAY job-state
    DISPLAY job-state-reasons
}
EOF
    cat > "$run/cancel-job.test" << 'EOF'
{
    OPERATION Cancel-Job
    GROUP operation-attributes-tag
    ATTR charset attributes-charset utf-8
    ATTR naturalLanguage attributes-natural-language en
    ATTR uri printer-uri $uri
    ATTR integer job-id $job
    ATTR name requesting-user-name $canceller
    STATUS successful-ok
}
EOF
    if [ "$user" != root ]; then
        # cupsd writes its spool, state, cache, logs and the device as this user.
        chown -R "$user:$group" "$run"
    fi

    local started=false port
    for _ in 1 2 3 4 5; do
        port=$((20000 + RANDOM % 40000))
        (exec 3<> "/dev/tcp/127.0.0.1/$port") 2> /dev/null && continue   # taken
        StartDaemon "$user" "$port" && { started=true; break; }
    done
    $started || Fail "cupsd did not answer on any of five loopback ports"
    say "$runName: cupsd listens on 127.0.0.1 port $port"

    # --- A secure gray duplex job in two collated copies
    WritePrintJob "$run/secure.test" "$work/four-pages.pdf" "$kJobUser" "$kJobName" << EOF
ATTR integer copies 2
ATTR keyword multiple-document-handling separate-documents-collated-copies
ATTR keyword sides two-sided-long-edge
ATTR keyword print-color-mode monochrome
ATTR octetString job-password $kPin
EOF
    PrintAndWait "the secure job" "$run/secure.test"
    Decode "the secure job"
    ExpectPjl "the secure job" "@PJL SET USERNAME=\"$kJobUser\"" "@PJL SET JOBNAME=\"$kJobName\"" \
        "@PJL JOB NAME=\"$kJobName\"" "@PJL SET HOLD=STORE" "@PJL SET HOLDKEY=$kPin" \
        "@PJL SET RENDERMODE=GRAYSCALE" "@PJL SET DUPLEX=ON" "@PJL SET SOURCETRAY=TRAY1"
    nPages=$(grep -c -E '^page [0-9]+:' <<< "$decoded" || true)
    nGray=$(grep -c -E 'ColorSpace +18 \(sGray\)' <<< "$decoded" || true)
    [ "$nPages" = 8 ] && [ "$nGray" = 8 ] || {
        echo "$decoded"
        Fail "the secure job: expected 8 gray pages (4 pages, 2 copies), found $nPages pages, $nGray gray"
    }
    # Collated: the pages come as 1 2 3 4 1 2 3 4, four different pages twice over.
    rm -rf "$run/pages" && mkdir "$run/pages"
    "$prefix/bin/velnora-decode" --png "$run/pages" "$run/device" > /dev/null 2>&1 || Fail "velnora-decode --png failed"
    order=$(cd "$run/pages" && ls | sort -V | xargs md5sum | awk '{ if (!($1 in n)) n[$1] = ++k; printf "%s ", n[$1] }')
    [ "$order" = "1 2 3 4 1 2 3 4 " ] || Fail "the secure job's pages are not collated copies: $order"
    grep -q -x -F "PJL trailer: EOJ NAME=\"$kJobName\"" <<< "$decoded" || { echo "$decoded"; Fail "the secure job: no EOJ trailer"; }
    WaitFor 30 HasPagesLogged "$jobId" || Fail "the secure job is not in cupsd's page log"
    [ "$(PagesLogged "$jobId")" = 8 ] || Fail "the secure job is logged with $(PagesLogged "$jobId") pages, not 8"
    say "$runName: printed 8 gray duplex pages of \"$kJobName\" for $kJobUser, held under its PIN"

    # --- The PPD's options given directly, and the IPP attributes CUPS maps onto them
    WritePrintJob "$run/ppd-options.test" "$work/four-pages.pdf" "$kJobUser" "PPD options" << 'EOF'
ATTR keyword InputSlot Tray2
ATTR keyword MediaType Thick
ATTR boolean TonerSaveMode true
ATTR enum print-quality 4
EOF
    PrintAndWait "the job with PPD options" "$run/ppd-options.test"
    Decode "the job with PPD options"
    ExpectPjl "the job with PPD options" "@PJL SET SOURCETRAY=TRAY2" "@PJL SET MEDIATYPE=THICK" \
        "@PJL SET ECONOMODE=ON" "@PJL SET APTMODE=OFF"
    say "$runName: InputSlot, MediaType and TonerSaveMode reach the printer"

    WritePrintJob "$run/ipp-attributes.test" "$work/four-pages.pdf" "$kJobUser" "IPP attributes" << 'EOF'
ATTR keyword media-source tray-2
ATTR keyword media-type stationery-heavyweight
ATTR enum print-quality 5
EOF
    PrintAndWait "the job with IPP attributes" "$run/ipp-attributes.test"
    Decode "the job with IPP attributes"
    ExpectPjl "the job with IPP attributes" "@PJL SET SOURCETRAY=TRAY2" "@PJL SET MEDIATYPE=THICK" \
        "@PJL SET APTMODE=ON"
    ExpectNoPjl "the job with IPP attributes" "@PJL SET ECONOMODE=ON"
    say "$runName: media-source, media-type and print-quality reach the printer"
    WaitFor 30 NoJobProcesses || Fail "the job's programs are still running: $(JobProcesses)"
    [ -z "$(LeftInTempDir)" ] || Fail "left in the filters' TMPDIR: $(LeftInTempDir)"

    # --- A long job cancelled while it prints
    # 999 copies of a Letter page keep the filter sending far longer than the test waits.
    WritePrintJob "$run/slow.test" "$work/slow.pdf" "$kSlowUser" "$kSlowName" << 'EOF'
ATTR integer copies 999
ATTR keyword media na_letter_8.5x11in
EOF
    : > "$run/device"
    id=$(Submit "$run/slow.test") || Fail "the slow job: Print-Job was refused"
    WaitFor 60 IsPrinting "$id" || Fail "the slow job did not begin printing within 60 s ($(JobState "$id"))"
    ipptool -q -d "job=$id" -d "canceller=$kSlowUser" "$uri" "$run/cancel-job.test" || Fail "Cancel-Job was refused"
    WaitFor 30 HasEnded "$id" || Fail "the slow job did not end within 30 s of Cancel-Job ($(JobState "$id"))"
    [[ $(JobState "$id") == canceled* ]] || Fail "the slow job ended as $(JobState "$id"), not canceled"
    WaitFor 30 NoJobProcesses || Fail "the slow job's programs are still running after Cancel-Job: $(JobProcesses)"
    ExpectClosedJob "$run/device" "$kSlowName"
    [ -z "$(LeftInTempDir)" ] || Fail "left in the filters' TMPDIR after the cancel: $(LeftInTempDir)"
    say "$runName: cancelled: the job was closed after $(stat -c %s "$run/device") bytes, nothing left running"

    StopDaemon
    runName=
}

if [ "$(id -u)" = 0 ]; then
    id lp > /dev/null 2>&1 || skip "there is no user lp to run a root cupsd's filters"
    # A root cupsd runs the filters as lp: the installation must be readable by lp, and
    # the filter root-owned, not writable by group or others, in such a folder.
    setpriv --reuid=lp --regid="$(id -g lp)" --clear-groups test -x "$filter" -a -r "$prefix/share/velnora/paperinfo" ||
        { say "FAILED: the user lp cannot reach $prefix (is a parent folder of $work closed to others?)"; exit 1; }
    for path in "$filter" "$(dirname "$filter")"; do
        [ "$(stat -c %u "$path")" = 0 ] && [ $((0$(stat -c %a "$path") & 022)) = 0 ] ||
            { ls -ld "$path"; say "FAILED: $path is not root-owned or is writable by group or others"; exit 1; }
    done
    RunAs root
    if ! id nobody > /dev/null 2>&1; then
        say "no user nobody: cupsd was not run as an ordinary user"
    elif ! setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups test -x "$filter" 2> /dev/null; then
        say "the user nobody cannot run $filter (or there is no setpriv): cupsd was not run as an ordinary user"
    else
        RunAs nobody
    fi
else
    RunAs "$(id -un)"
fi
say "passed"
