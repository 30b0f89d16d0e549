# What scripts/run, scripts/screenshots and scripts/test share. Sourced, not run.

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# wait_for SECONDS WHAT CONDITION...: tries the condition every 0.1 s; when the time is up, says what it
# waited for and fails, which ends a script that runs with -e.
wait_for() {
    local seconds=$1 what=$2
    shift 2
    local end=$((SECONDS + seconds))
    until "$@"; do
        if [ "$SECONDS" -ge "$end" ]; then
            echo "Gave up after $seconds s waiting for $what." >&2
            return 1
        fi
        sleep 0.1
    done
}
not() { ! "$@"; }
# Whether the process is gone.
ended() { ! kill -0 "$1" 2>/dev/null; }

# Whether the node answers, asked as manager.sh asks: a connection to its port. Starts nothing.
node_answers() {
    timeout 2 bash -c 'exec 3<>/dev/tcp/127.0.0.1/8080' 2>/dev/null
}
