#!/bin/bash
# spooler_test.sh BUILD_DIR SOURCE_DIR: prints through a real LPRng daemon. Installs the
# build into a private prefix, starts a private lpd whose queue is the `velnora` entry of
# SOURCE_DIR/examples/printcap (its installed copy), and checks what LPRng does with the
# filter's exit statuses: two jobs the filter refuses (2, a bad -Z option; 7, a paper the
# paper file lacks) end in error and the queue goes on to print a two-page colour PDF as a
# secure gray job in two copies, checked in the device file; then a long job is cancelled
# with lprm while it prints, and the test checks that the job was closed for the printer
# and that nothing was left behind. Last, a table of statuses goes through two more
# queues whose filter is a stand-in that exits with the status the job names (-Z exit=N),
# one queue as LPRng sets it by default, one with :stop_on_abort: for each status, the
# job's end (done, error, hold), how often the filter ran, and whether the queue goes on
# to print the next job. Needs root (lpd runs its filters as daemon) and unshare; exits
# 77 (skipped) without them.
#
# How the private daemon is set up (everything under one temporary folder, 0755):
#   - lpd reads only /etc/lprng/lpd.conf, so it runs in a mount and pid namespace of its
#     own (unshare --mount --pid --fork --mount-proc --propagation private) with the
#     private lpd.conf bind-mounted over that file; lpr, lpq and lprm run in the same
#     namespace, and leaving it ends every process left in it.
#   - lpd.conf: printcap_path and lpd_printcap_path name the private printcap,
#     perms_path a perms file holding "DEFAULT ACCEPT", lockfile a private lock (lpd
#     appends the port), lpd_port=PORT and lpd_listen_port=127.0.0.1%PORT (a numeric
#     address) a free loopback port, unix_socket_path=off, server_tmp_dir a private
#     folder, pass_env=TMPDIR hands lpd's TMPDIR to the filters, done_jobs=100 keeps
#     every ended job listed so that the test can read how each ended (by default LPRng
#     lists one, the latest, and removes the others with their files; of two jobs that
#     end within the same second either may go at once).
#   - printcap: the example's entry with @PREFIX@, @SPOOLDIR@ and its :lp= device
#     replaced; the device is a file, which must exist before the job. The two stand-in
#     queues retry a failed job after 1 s (connect_interval, max_connect_interval)
#     instead of 10 s and then 20 s; their other settings are LPRng's defaults
#     (send_try 3, send_failure_action remove, stop_on_abort off).
#   - Started as root, lpd and its filters run as daemon: the spool folder, the device,
#     the log (lpd -L) and the filters' TMPDIR belong to daemon, and the installed files
#     are readable by it. Otherwise lpd exits at once without a word.
#   - A new spool folder for each run: jobs left in one print again at the next start.
#     Its status file, status.pr, is written only when it exists: made beforehand, it
#     keeps the filter's messages, which `lpq -L` shows.
# The namespace also gets a private /tmp (a folder of the test's, 1777), where the filters
# stage their pages, so nothing they could leave outlasts the test.
set -euo pipefail
umask 022
PATH=$PATH:/usr/sbin

readonly kQueue=velnora
readonly kJobTitle="Q3 \"draft\" report's"   # LPRng turns ", ', ; and $ into _
readonly kJobTitleSent="Q3 _draft_ report_s"
readonly kJobOwner='o"neil'
readonly kJobOwnerSent=o_neil
readonly kSlowTitle="slow job"
readonly kSlowOwner=slowpoke
readonly kClosingZeros=5768   # zero bytes a cancelled job sends before its end
readonly kUel=$'\033%-12345X'
readonly kStatusQueue=velnora-status   # the stand-in filter, LPRng's defaults
readonly kStopQueue=velnora-stop       # the same with :stop_on_abort

say() { echo "spooler_test: $*"; }
skip() { say "SKIPPED: $*"; exit 77; }

if [ $# -lt 2 ]; then
    echo "usage: $0 BUILD_DIR SOURCE_DIR" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
sourceDir=$(cd "$2" && pwd)
. "$sourceDir/tests/support/daemon.sh"

# ---------------------------------------------------------------------------------------
# Outside the namespace: the private folder, the installation, the files of the spooler

if [ "${3:-}" != --in-namespace ]; then
    [ "$(id -u)" = 0 ] || skip "needs root: lpd runs its filters as the user daemon"
    for program in lpd lpr lpq lprm; do
        command -v "$program" > /dev/null || skip "LPRng's $program is missing (Debian package lprng)"
    done
    command -v gs > /dev/null || skip "Ghostscript is missing (Debian package ghostscript)"
    [ -f /etc/lprng/lpd.conf ] || skip "/etc/lprng/lpd.conf is missing: nothing to mount the private one over"
    id daemon > /dev/null 2>&1 || skip "there is no user daemon to run lpd's filters"
    unshare --mount --pid --fork --mount-proc --propagation private true 2> /dev/null ||
        skip "cannot make a mount and pid namespace with unshare"

    work=$(mktemp -d "${TMPDIR:-/tmp}/velnora-spooler.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    work=$(cd "$work" && pwd -P)
    trap 'exit 1' INT TERM HUP
    chmod 0755 "$work"

    prefix=$work/prefix
    if ! DESTDIR='' cmake --install "$build" --prefix "$prefix" > "$work/install.log" 2>&1; then
        cat "$work/install.log"
        say "FAILED: cmake --install $build"
        exit 1
    fi
    example=$prefix/share/doc/velnora/examples/printcap
    for file in bin/velnora-filter bin/rastertovelnora bin/velnora-decode share/velnora/sample.rc \
        share/velnora/paperinfo share/doc/velnora/examples/printcap; do
        [ -e "$prefix/$file" ] || { say "FAILED: the installation lacks $file"; exit 1; }
    done
    cmp -s "$sourceDir/examples/printcap" "$example" || { say "FAILED: $example differs from examples/printcap"; exit 1; }
    # Small pages keep the test fast: the first job on A4 (120 x 170 pixels), the slow one
    # on Letter, large enough for each copy to take a while.
    printf 'TestPaperInfo 600 600 dpi\nA4: 120 170\nLetter: 2550 3300\n' > "$prefix/share/velnora/paperinfo"
    if ! setpriv --reuid=daemon --regid=daemon --clear-groups test -x "$prefix/bin/velnora-filter" -a \
        -r "$prefix/share/velnora/paperinfo"; then
        say "FAILED: the user daemon cannot reach $prefix (is a parent folder of $work closed to others?)"
        exit 1
    fi

    # The documents: two colour pages as PDF; one colour page in PostScript for the job
    # that is cancelled (printed in many copies).
    cat > "$work/two-pages.ps" << 'EOF'
%!PS
<< /PageSize [72 102] >> setpagedevice
1 0 0 setrgbcolor 0 0 36 51 rectfill 0 0 1 setrgbcolor 36 51 36 51 rectfill showpage
0 0.6 0 setrgbcolor 10 10 50 80 rectfill showpage
EOF
    gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sOutputFile="$work/two-pages.pdf" "$work/two-pages.ps"
    echo "A job for the stand-in filter" > "$work/note.txt"
    cat > "$work/slow.ps" << 'EOF'
%!PS
<< /PageSize [612 792] >> setpagedevice
<< /ShadingType 2 /ColorSpace /DeviceRGB /Coords [0 0 612 792]
   /Function << /FunctionType 2 /Domain [0 1] /C0 [1 0 0] /C1 [0 0 1] /N 1 >> >> shfill
showpage
EOF

    # lpd's side, all of it daemon's: spool, device, log, temporary folders.
    mkdir -p "$work/etc" "$work/var/spool/$kQueue" "$work/var/spool/$kStatusQueue" \
        "$work/var/spool/$kStopQueue" "$work/var/lpd-tmp" "$work/var/filter-tmp" "$work/tmp" "$work/bin"
    chmod 1777 "$work/tmp"
    : > "$work/var/device"
    : > "$work/var/stand-in-device"
    : > "$work/var/stand-in-runs"
    : > "$work/var/lpd.log"
    for queue in "$kQueue" "$kStatusQueue" "$kStopQueue"; do
        : > "$work/var/spool/$queue/status.pr"
    done
    chown -R daemon:daemon "$work/var"
    chmod 0700 "$work/var/filter-tmp"
    echo "DEFAULT ACCEPT" > "$work/etc/lpd.perms"
    : > "$work/etc/lpd.conf"   # written in the namespace, once the port is chosen

    # The example's local queue, with the private prefix, spool and device.
    awk -v q="$kQueue" '$0 ~ "^" q "[|:]" { p = 1; print; next } p && /^[ \t]/ { print; next } { p = 0 }' \
        "$example" | sed -e "s|@PREFIX@|$prefix|g" -e "s|@SPOOLDIR@|$work/var/spool|g" \
        -e "s|^\([ \t]*:lp=\).*|\1$work/var/device|" > "$work/etc/printcap"
    grep -q ":filter=$prefix/bin/velnora-filter " "$work/etc/printcap" ||
        { cat "$work/etc/printcap"; say "FAILED: no $kQueue queue with velnora-filter in $example"; exit 1; }

    # The stand-in filter: reads the job, notes "QUEUE USER STATUS" for each run, exits
    # with the status of the job's -Z exit=N (0 without it).
    cat > "$work/bin/exit-with" << EOF
#!/bin/sh
status=0 queue= user=
for arg; do
    case \$arg in
        -Zexit=*) status=\${arg#-Zexit=} ;;
        -P*) queue=\${arg#-P} ;;
        -n*) user=\${arg#-n} ;;
    esac
done
cat > /dev/null
echo "\$queue \$user \$status" >> '$work/var/stand-in-runs'
exit "\$status"
EOF
    chmod 0755 "$work/bin/exit-with"
    for queue in "$kStatusQueue" "$kStopQueue"; do
        printf '%s\n' "$queue" "    :sd=$work/var/spool/$queue" "    :lp=$work/var/stand-in-device" \
            "    :filter=$work/bin/exit-with" "    :sh" "    :mx#0" "    :connect_interval#1" \
            "    :max_connect_interval#1"
        [ "$queue" != "$kStopQueue" ] || echo "    :stop_on_abort"
    done >> "$work/etc/printcap"

    status=0
    unshare --mount --pid --fork --mount-proc --propagation private --kill-child \
        bash "$0" "$build" "$sourceDir" --in-namespace "$work" || status=$?
    exit "$status"
fi

# ---------------------------------------------------------------------------------------
# In the namespace: the daemon, the jobs and the checks

work=$4
prefix=$work/prefix
device=$work/var/device
spool=$work/var/spool/$kQueue
filterTmp=$work/var/filter-tmp
printer=$kQueue@127.0.0.1
lpdPid=

StopDaemon() {
    [ -n "$lpdPid" ] || return 0
    StopProcess "$lpdPid"
    lpdPid=
}
trap StopDaemon EXIT

ShowSpooler() {
    local queue
    for queue in "$kQueue" "$kStatusQueue" "$kStopQueue"; do
        echo "--- lpq -L $queue"
        lpq -P "$queue@127.0.0.1" -L 2>&1 | tail -n 30 || true
        echo "--- spool $queue"
        ls -la "$work/var/spool/$queue" || true
    done
    echo "--- lpd log"
    tail -n 40 "$work/var/lpd.log" || true
    echo "--- the stand-in's runs"
    cat "$work/var/stand-in-runs" || true
}

Fail() {
    say "FAILED: $*"
    ShowSpooler
    exit 1
}


# Field $2 of lpq's line of the job of user $1 (each job has its own user): 1 its rank
# ("active", "done", "error", "hold", a number), 4 its number, 0 the whole line; nothing
# when it is not listed. The queue is $queueAt (the printer's by default).
JobField() {
    lpq -P "${queueAt:-$printer}" 2>&1 | awk -v user="$1@" -v n="$2" \
        '!found && substr($2, 1, length(user)) == user { print $n; found = 1 }'
}
JobRank() { JobField "$1" 1; }
JobNumber() { JobField "$1" 4; }

# The job has ended, done or not: it is listed with a rank that is neither a place in
# the queue nor "active" (or "active(attempt-N)", or "stalled").
HasEnded() {
    local rank
    rank=$(JobRank "$1")
    [ -n "$rank" ] && [[ ! $rank =~ ^([0-9]+|active.*|stalled.*)$ ]]
}
IsGone() { [ -z "$(JobRank "$1")" ]; }
IsPrinting() { [ "$(JobRank "$1")" = active ] && [ -s "$device" ]; }

# The job's programs still alive in the namespace, as "PID NAME" lines.
JobProcesses() { LiveProcesses velnora-filter rastertovelnora gs; }
NoJobProcesses() { [ -z "$(JobProcesses)" ]; }

# What the filters may leave: nothing in their TMPDIR, nothing in /tmp (the private one:
# staged pages, ec_tmppage_*), nothing in the spool but LPRng's own files and those of
# the jobs still listed ($@: their numbers).
ExpectNothingLeft() {
    local left number kept='^(control|status|unspooler|lock|fifo\.lock|lpq|log)'
    left=$(ls -A "$filterTmp")
    [ -z "$left" ] || Fail "left in the filter's TMPDIR: $left"
    left=$(ls -A /tmp | grep -v -x -F "$workInTmp" || true)
    [ -z "$left" ] || Fail "left in /tmp: $left"
    for number in "$@"; do
        kept="$kept|^[cdh]fA0*$number([^0-9]|\$)"
    done
    left=$(ls -A "$spool" | grep -v -E "$kept" || true)
    [ -z "$left" ] || Fail "left in the spool: $left"
}

# Starts lpd on a free loopback port; false when it cannot listen there.
StartDaemon() {
    local port=$1
    cat > "$work/etc/lpd.conf" << EOF
printcap_path=$work/etc/printcap
lpd_printcap_path=$work/etc/printcap
perms_path=$work/etc/lpd.perms
lockfile=$work/var/lpd.lock
lpd_port=$port
lpd_listen_port=127.0.0.1%$port
unix_socket_path=off
server_tmp_dir=$work/var/lpd-tmp
pass_env=TMPDIR
done_jobs=100
EOF
    TMPDIR=$filterTmp lpd -F -L "$work/var/lpd.log" > "$work/lpd.out" 2>&1 &
    lpdPid=$!
    WaitFor 10 Answers && return 0
    StopDaemon
    return 1
}
Answers() {
    kill -0 "$lpdPid" 2> /dev/null || return 1
    local text
    text=$(lpq -P "$printer" 2>&1)
    [[ $text == *"Printer: $kQueue@"* && $text != *"cannot open connection"* ]]
}

# The private /tmp. When the work folder itself lies in /tmp, it is mounted again at its
# own path inside the private one, so that every path stays valid; $workInTmp is the
# first component of that path, the one name the private /tmp holds.
workInTmp=
if [[ $work == /tmp/* ]]; then
    relative=${work#/tmp/}
    workInTmp=${relative%%/*}
    mkdir -p "$work/tmp/$relative"
    mount --bind "$work" "$work/tmp/$relative" 2> /dev/null || skip "cannot bind-mount $work"
fi
mount --rbind "$work/tmp" /tmp 2> /dev/null || skip "cannot mount a private /tmp"
mount --bind "$work/etc/lpd.conf" /etc/lprng/lpd.conf 2> /dev/null ||
    skip "cannot mount the private lpd.conf over /etc/lprng/lpd.conf"

started=false
for _ in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 40000))
    (exec 3<> "/dev/tcp/127.0.0.1/$port") 2> /dev/null && continue   # taken
    StartDaemon "$port" && { started=true; break; }
done
$started || { cat "$work/lpd.out"; Fail "lpd did not answer on any of five loopback ports"; }
say "lpd listens on 127.0.0.1 port $port"

# The queue's printing as lpc reports it: "enabled", "disabled" or "aborted".
PrintingOf() {
    lpc status "$1@127.0.0.1" 2>&1 | awk -v q="$1@" 'substr($1, 1, length(q)) == q { print $2; exit }'
}
IsAborted() { [ "$(PrintingOf "$1")" = aborted ]; }
# Whether the spool folder $1 holds files of job number $2.
HoldsJob() { ls -A "$1" | grep -q -E "^[cdh]fA0*$2([^0-9]|\$)"; }

# --- Jobs the filter refuses end in error, nothing reaches the printer, the queue goes on
# Each: the owner, the -Z options, LPRng's name for the status (2 and, from the settings,
# 7: a paper the paper file does not list), a piece of the filter's message. The next
# job, the secure gray one below, must print; the refused jobs stay listed in error.

readonly kRefusedJobs=(
    "refused2|copies=0|JABORT|for copies; valid values: 1 to 999"
    "refused7|media=Legal|JNOSPOOL|Legal: paper info not found in paperinf"
)
refusedOwners=()
refusedNumbers=()
for job in "${kRefusedJobs[@]}"; do
    IFS='|' read -r owner options lprngName message <<< "$job"
    refusedOwners+=("$owner")
    lpr -P "$printer" -U "$owner" -J "$owner" -Z "$options" "$work/two-pages.pdf" ||
        Fail "lpr refused the job of $owner"
    WaitFor 60 HasEnded "$owner" || Fail "the job with -Z $options did not end within 60 s"
    [ "$(JobRank "$owner")" = error ] || Fail "the job with -Z $options ended as $(JobRank "$owner"), not error"
    log=$(lpq -P "$printer" -L 2>&1)
    grep -q -F "filter exit status '$lprngName'" <<< "$log" || Fail "lpq -L does not report $lprngName for -Z $options"
    grep -q -F "$message" <<< "$log" || Fail "lpq -L does not show the filter's message \"$message\""
    [ ! -s "$device" ] || Fail "the job with -Z $options sent $(stat -c %s "$device") bytes to the printer"
    refusedNumbers+=("$(JobNumber "$owner")")
done
say "refused: ${refusedOwners[*]}, in error, nothing sent"

# --- A secure gray job in two copies

lpr -P "$printer" -U "$kJobOwner" -J "$kJobTitle" -Z pin=1234,copies=2,color=mono "$work/two-pages.pdf" ||
    Fail "lpr refused the job"
WaitFor 120 HasEnded "$kJobOwnerSent" || Fail "the job did not end within 120 s"
[ "$(JobRank "$kJobOwnerSent")" = "done" ] || Fail "the job ended as $(JobRank "$kJobOwnerSent")"
firstJob=$(JobNumber "$kJobOwnerSent")

decoded=$("$prefix/bin/velnora-decode" "$device" 2>&1) || { echo "$decoded"; Fail "the job is malformed"; }
for line in "@PJL SET USERNAME=\"$kJobOwnerSent\"" "@PJL SET JOBNAME=\"$kJobTitleSent\"" \
    "@PJL JOB NAME=\"$kJobTitleSent\"" "@PJL SET HOLD=STORE" "@PJL SET HOLDKEY=1234"; do
    grep -q -x -F "  $line" <<< "$decoded" || { echo "$decoded"; Fail "no PJL line $line"; }
done
nPages=$(grep -c -E '^page [0-9]+:' <<< "$decoded" || true)
nGray=$(grep -c -E 'ColorSpace +18 \(sGray\)' <<< "$decoded" || true)
[ "$nPages" = 4 ] && [ "$nGray" = 4 ] ||
    { echo "$decoded"; Fail "expected 4 gray pages (2 pages, 2 copies), found $nPages pages, $nGray gray"; }
grep -q -x -F "PJL trailer: EOJ NAME=\"$kJobTitleSent\"" <<< "$decoded" || { echo "$decoded"; Fail "no EOJ trailer"; }
WaitFor 30 NoJobProcesses || Fail "the job's programs are still running: $(JobProcesses)"
for owner in "${refusedOwners[@]}"; do
    [ "$(JobRank "$owner")" = error ] || Fail "the refused job of $owner is $(JobRank "$owner") after the next job printed"
done
ExpectNothingLeft "$firstJob" "${refusedNumbers[@]}"
say "printed: 4 gray pages of \"$kJobTitleSent\" for $kJobOwnerSent, held under its PIN"

# --- A long job cancelled while it prints
# The filter closes a job with its closing sequence when the cancellation comes while a
# page is being sent; 999 uncollated copies of one page keep it sending (the copies are
# read back from a copy file in TMPDIR) for far longer than the test waits.

: > "$device"
lpr -P "$printer" -U "$kSlowOwner" -J "$kSlowTitle" -Z copies=999,media=Letter "$work/slow.ps" ||
    Fail "lpr refused the slow job"
WaitFor 60 IsPrinting "$kSlowOwner" || Fail "the slow job did not begin printing within 60 s"
slowJob=$(JobNumber "$kSlowOwner")
[ -n "$slowJob" ] || Fail "lpq does not list the slow job"
lprm -P "$printer" "$slowJob" > /dev/null 2>&1 || Fail "lprm failed"
WaitFor 30 IsGone "$kSlowOwner" || Fail "the slow job is still listed after lprm"
WaitFor 30 NoJobProcesses || Fail "the filter is still running after lprm: $(JobProcesses)"

ExpectClosedJob "$device" "$kSlowTitle"
ExpectNothingLeft "$firstJob" "${refusedNumbers[@]}"
say "cancelled: the job was closed after $(stat -c %s "$device") bytes, nothing left behind"

# --- What LPRng does with each exit status, through the stand-in filter
# Each case: the status; the job's rank once it has ended and lpq's text for it; how
# often the filter ran (send_try is 3); whether the queue goes on to print the next job
# (on) or stops until `lpc start` (stop): the queue with LPRng's defaults, then the one
# with :stop_on_abort. A job tried more than once holds up the queue: the next job,
# sent after the first run, runs after the last. Once the next job has printed, the job
# is still listed as it ended, with its files, and was not run again.
readonly kStatusCases=(
    "0|done||1|on|on"
    "1|error|ERROR: too many errors|3|on|on"
    "2|error|ERROR: aborting operations|1|on|stop"
    "5|error|ERROR: aborting operations|1|on|stop"
    "6|hold||1|on|on"
    "7|error|ERROR: aborting operations|1|on|stop"
    "13|error|ERROR: aborting operations|1|on|stop"
    "14|error|ERROR: aborting operations|1|on|stop"
)
Runs() { grep -c -x -F "$1 $2 $3" "$work/var/stand-in-runs" || true; }
# The number of the line of the stand-in's last run for the queue $1 and the user $2.
LastRunAt() { grep -n "^$1 $2 " "$work/var/stand-in-runs" | tail -n 1 | cut -d: -f1; }
HasRun() { [ "$(Runs "$queue" "$1" "$status")" -ge 1 ]; }
HasEndedAfter() { HasEnded "$1" && [ "$(Runs "$queue" "$1" "$status")" -ge "$2" ]; }

for case in "${kStatusCases[@]}"; do
    IFS='|' read -r status rank text nRuns byDefault withStop <<< "$case"
    for queue in "$kStatusQueue" "$kStopQueue"; do
        expected=$byDefault
        [ "$queue" = "$kStatusQueue" ] || expected=$withStop
        queueAt=$queue@127.0.0.1
        owner=exit$status
        next=after$status
        what="$queue: the job that exits $status"
        lpr -P "$queueAt" -U "$owner" -Z "exit=$status" "$work/note.txt" || Fail "lpr refused a job for $queue"
        if [ "$nRuns" -gt 1 ]; then
            WaitFor 60 HasRun "$owner" || Fail "$what did not run within 60 s"
            lpr -P "$queueAt" -U "$next" "$work/note.txt" || Fail "lpr refused a job for $queue"
        fi
        WaitFor 60 HasEndedAfter "$owner" "$nRuns" || Fail "$what did not end within 60 s"
        line=$(JobField "$owner" 0)
        number=$(JobNumber "$owner")
        [ "$(JobRank "$owner")" = "$rank" ] || Fail "$what ended as \"$line\", not $rank"
        [[ $line == *"$text"* ]] || Fail "$what is listed as \"$line\", without \"$text\""
        [ "$(Runs "$queue" "$owner" "$status")" = "$nRuns" ] ||
            Fail "$what ran $(Runs "$queue" "$owner" "$status") times, not $nRuns"

        if [ "$expected" = stop ]; then
            WaitFor 30 IsAborted "$queue" || Fail "$queue: printing is $(PrintingOf "$queue") after status $status, not aborted"
            lpr -P "$queueAt" -U "$next" "$work/note.txt" || Fail "lpr refused a job for $queue"
            [[ $(JobRank "$next") =~ ^[0-9]+$ ]] || Fail "$queue: the next job is $(JobRank "$next") while printing is aborted"
            lpc start "$queueAt" > /dev/null 2>&1 || Fail "lpc start $queueAt failed"
        elif [ "$nRuns" = 1 ]; then
            lpr -P "$queueAt" -U "$next" "$work/note.txt" || Fail "lpr refused a job for $queue"
        fi
        WaitFor 60 HasEnded "$next" || Fail "$queue: the job after status $status did not end within 60 s"
        [ "$(JobRank "$next")" = done ] || Fail "$queue: the job after status $status ended as $(JobRank "$next")"
        [ "$(PrintingOf "$queue")" = enabled ] || Fail "$queue: printing is $(PrintingOf "$queue") after the next job"
        [ "$(LastRunAt "$queue" "$next")" -gt "$(LastRunAt "$queue" "$owner")" ] ||
            Fail "$queue: the next job ran before the last run of the job that exits $status"

        [ "$(JobRank "$owner")" = "$rank" ] || Fail "$what is $(JobRank "$owner") once the next job printed"
        HoldsJob "$work/var/spool/$queue" "$number" || Fail "$what is listed without its files"
        [ "$(Runs "$queue" "$owner" "$status")" = "$nRuns" ] || Fail "$what ran again when the next job printed"
    done
    say "status $status: $rank$([ "$nRuns" = 1 ] || echo " after $nRuns runs"), queue $byDefault (with stop_on_abort: $withStop)"
done
queueAt=

StopDaemon
say "passed"
