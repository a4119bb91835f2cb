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
