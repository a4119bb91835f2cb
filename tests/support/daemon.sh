# daemon.sh: sourced by the tests that print through a real spooler (LPRng, cupsd): waiting
# for a condition, stopping a daemon by its pid, and finding the programs a job left.

# WaitFor SECONDS COMMAND...: runs the command every 0.1 s until it succeeds; false when
# it has not within SECONDS.
WaitFor() {
    local nEnd=$((SECONDS + $1))
    shift
    while [ "$SECONDS" -lt "$nEnd" ]; do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

# StopProcess PID: SIGTERM, up to 10 s to end, then SIGKILL; a child of the shell is
# collected.
StopProcess() {
    local pid=$1
    kill -TERM "$pid" 2> /dev/null || true
    for _ in $(seq 100); do
        kill -0 "$pid" 2> /dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2> /dev/null || true
    wait "$pid" 2> /dev/null || true
}

# LiveProcesses NAME...: a "PID NAME" line for every process, zombies left out, that runs
# one of the named programs.
LiveProcesses() {
    local dir comm state
    for dir in /proc/[0-9]*; do
        comm=$(cat "$dir/comm" 2> /dev/null) || continue
        [[ " $* " == *" $comm "* ]] || continue
        read -r _ _ state _ 2> /dev/null < "$dir/stat" || continue
        if [ "$state" != Z ]; then
            echo "${dir#/proc/} $comm"
        fi
    done
}

# ExpectClosedJob FILE TITLE: the printer job in FILE was cancelled and closed for the
# printer: it begins with the PJL header, holds the closing run of kClosingZeros zero bytes
# after "@PJL ENTER LANGUAGE", and ends with the trailer of the job named TITLE. Uses the
# caller's Fail, kUel and kClosingZeros.
ExpectClosedJob() {
    local file=$1 title=$2 header nZeros nZerosAt trailer
    [ "$(head -c ${#kUel} "$file")" = "$kUel" ] || Fail "the cancelled job does not begin with the PJL header"
    header=$(grep -a -b -o -F '@PJL ENTER LANGUAGE=PWGRASTER' "$file" | head -n 1 | cut -d: -f1 || true)
    [ -n "$header" ] || Fail "the cancelled job has no @PJL ENTER LANGUAGE line"
    # The longest run of zero bytes and where it begins.
    read -r nZeros nZerosAt < <(od -An -v -tu1 -w1 "$file" | awk '
        $1 == 0 { if (n++ == 0) at = NR - 1; if (n > best) { best = n; bestAt = at }; next }
        { n = 0 }
        END { print best + 0, bestAt + 0 }')
    [ "$nZeros" -ge "$kClosingZeros" ] && [ "$nZerosAt" -gt "$header" ] ||
        Fail "the cancelled job lacks its $kClosingZeros zero bytes after the header (longest run $nZeros)"
    trailer="$kUel@PJL EOJ NAME=\"$title\""$'\n'"$kUel"$'\n'
    cmp -s <(tail -c ${#trailer} "$file") <(printf '%s' "$trailer") ||
        Fail "the cancelled job does not end with its trailer: $(tail -c ${#trailer} "$file" | od -c | head -n 5)"
}
