#!/bin/bash
# Starts and stops the sample node. The panel runs it as root from the bundle's Resources folder:
#
#   sudo ./bash ./manager.sh up      start the node; done once it answers its status query
#   sudo ./bash ./manager.sh down    stop the node
#
# Both are idempotent. Exit status 0 means done; anything else comes with one line on standard error that
# says why, which the panel passes on to its log.

set -u
umask 022
# Root runs this: take no command from a caller's PATH.
PATH=/usr/sbin:/usr/bin:/sbin:/bin

fail() {
    printf 'manager.sh: %s\n' "$*" >&2
    exit 1
}

# The node lies next to this script, wherever the caller stands.
here=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")" && pwd -P) || fail "cannot find the folder of manager.sh"
node=$here/sample-node
# The pid file and the log live outside the bundle, where only root can write.
run_dir=/run/nodepanel-sample-node
pid_file=$run_dir/sample-node.pid
log_file=$run_dir/sample-node.log
# In tenths of a second.
start_wait=50
stop_wait=50
kill_wait=20

# Whether pid is a live process running this bundle's node (a zombie runs nothing). A node started before
# its program was replaced shows the old file as deleted; it is still ours to stop.
is_our_node() {
    local exe
    exe=$(readlink "/proc/$1/exe" 2>/dev/null) || return 1
    [[ $exe == "$node_file" || $exe == "$node_file (deleted)" ]]
}

# Whether pid is a process that has not ended (a zombie has).
is_alive() {
    local stat
    read -r stat 2>/dev/null <"/proc/$1/stat" || return 1
    stat=${stat##*) }
    [[ ${stat%% *} != Z ]]
}

# Prints the pid the pid file names if that process is our node. A node that died leaves its pid file
# behind, and by now the pid may belong to an unrelated process, which must never be signalled.
recorded_node() {
    local pid=
    [[ -f $pid_file ]] || return 1
    read -r pid <"$pid_file" || [[ -n $pid ]] || return 1
    [[ $pid =~ ^[1-9][0-9]{0,9}$ ]] && is_our_node "$pid" || return 1
    printf '%s\n' "$pid"
}

# Waits up to limit tenths of a second for check pid to fail. True if it did.
wait_until_not() {
    local check=$1 pid=$2 limit=$3 i
    for ((i = 0; i < limit; i++)); do
        "$check" "$pid" || return 0
        sleep 0.1
    done
    ! "$check" "$pid"
}

stop_node() {
    local pid=$1
    kill -TERM "$pid" 2>/dev/null
    wait_until_not is_our_node "$pid" "$stop_wait" && return 0
    is_our_node "$pid" && kill -KILL "$pid" 2>/dev/null
    wait_until_not is_our_node "$pid" "$kill_wait"
}

# Prints the pid of every process that runs this bundle's node, recorded or not.
all_nodes() {
    local entry
    for entry in /proc/[1-9]*; do
        is_our_node "${entry#/proc/}" && printf '%s\n' "${entry#/proc/}"
    done
}

# Writes pid to the pid file, whole or not at all.
record() {
    printf '%s\n' "$1" >"$pid_file.new" && mv -f -- "$pid_file.new" "$pid_file"
}

# 0: a node answers its status query on the port; 1: nothing listens there; 2: something else does.
probe() {
    "$node" probe
}

up() {
    local pid i reason
    [[ -f $node && -x $node ]] || fail "the sample node program is missing: $node"

    # Already running: the recorded node, or one that lost its record (down would stop it all the same).
    pid=$(recorded_node) || pid=$(all_nodes | head -n 1)
    if [[ -n $pid ]]; then
        record "$pid" || fail "cannot write $pid_file"
        # Normally it answers at once.
        for ((i = 0; i < start_wait; i++)); do
            probe && return 0
            sleep 0.1
        done
        fail "the sample node (pid $pid) runs but does not answer on 127.0.0.1:8080"
    fi
    rm -f -- "$pid_file"

    probe
    case $? in
    1) ;;
    0 | 2) fail "port 8080 is already in use by another program" ;;
    *) fail "cannot run the sample node program: $node" ;;
    esac

    : >"$log_file" || fail "cannot write $log_file"
    # Detached: a session of its own, no terminal, and nothing of ours held open (fd 9 is our lock).
    (cd / && exec setsid "$node" </dev/null >>"$log_file" 2>&1 9>&-) &
    pid=$!
    if ! record "$pid"; then
        kill -KILL "$pid" 2>/dev/null
        fail "cannot write $pid_file"
    fi

    for ((i = 0; i < start_wait; i++)); do
        probe && return 0
        if ! is_alive "$pid"; then
            rm -f -- "$pid_file"
            reason=$(tail -n 1 -- "$log_file" 2>/dev/null)
            fail "the sample node stopped at start: ${reason:-it wrote no reason}"
        fi
        sleep 0.1
    done
    stop_node "$pid"
    rm -f -- "$pid_file"
    fail "the sample node did not answer on 127.0.0.1:8080 within $((start_wait / 10)) seconds"
}

# Stops the recorded node and any other copy of it that lost its pid file, and nothing else.
down() {
    local pid
    for pid in $(all_nodes); do
        stop_node "$pid" || fail "the sample node (pid $pid) does not stop"
    done
    rm -f -- "$pid_file"
}

if [[ $# -eq 0 ]]; then
    fail "no command given: use 'up' or 'down'"
elif [[ $# -ne 1 || ($1 != up && $1 != down) ]]; then
    # Printable characters only, so the reason stays one line.
    given=$*
    fail "unknown command '${given//[^[:print:]]/?}': use 'up' or 'down'"
fi

[[ -d $run_dir ]] || mkdir -m 0755 -- "$run_dir" 2>/dev/null
if [[ ! -d $run_dir || ! -w $run_dir ]]; then
    fail "cannot write $run_dir (manager.sh must run as root)"
fi
# A node program reached through a link runs as its target, which is what /proc shows.
node_file=$(readlink -f -- "$node") || node_file=$node

# One run at a time: the panel may start and stop at once.
exec 9>"$run_dir/lock" || fail "cannot write $run_dir/lock"
flock -w 30 9 || fail "another manager.sh run did not finish within 30 seconds"

"$1"
