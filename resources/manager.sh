#!/bin/bash
# Starts and stops the sample node. The panel runs it as root from the bundle's Resources folder:
#
#   sudo ./bash ./manager.sh up      start the node; done once it answers its status query
#   sudo ./bash ./manager.sh down    stop the node; done once it is gone
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
log_file=$run_dir/sample-node.log

# The pid file names our node only while that process runs this node program (--exec): a pid left
# behind by a node that died, and since taken by another process, is never signalled.
daemon() {
    start-stop-daemon --quiet --pidfile "$run_dir/sample-node.pid" --exec "$node" "$@"
}

# Whether something accepts connections on the node's port; with "node", whether it answers as the node.
listening() {
    local reply=
    { exec 3<>/dev/tcp/127.0.0.1/8080; } 2>/dev/null || return 1
    if [[ ${1-} == node ]]; then
        printf 'GET /get_status HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nConnection: close\r\n\r\n' >&3
        read -r -N 4096 -t 2 reply <&3
    fi
    exec 3<&-
    [[ ${1-} != node || ($reply == 'HTTP/1.1 200 '* && $reply == *'{"state":1}') ]]
}

up() {
    local i
    [[ -f $node && -x $node ]] || fail "the sample node program is missing: $node"
    if ! daemon --status; then
        listening && fail "port 8080 is already in use by another program"
        : >"$log_file" || fail "cannot write $log_file"
        daemon --start --background --make-pidfile --output "$log_file" --chdir / 9>&- ||
            fail "cannot start the sample node program: $node"
    fi
    # Normally it answers at once. Until it has started its program it does not count as running.
    for ((i = 0; i < 50; i++)); do
        listening node && return 0
        sleep 0.1
        daemon --status || fail "the sample node stopped at start: $(tail -n 1 -- "$log_file")"
    done
    fail "the sample node does not answer on 127.0.0.1:8080 within 5 seconds"
}

down() {
    daemon --stop --retry TERM/5/KILL/2 --oknodo --remove-pidfile || fail "the sample node does not stop"
}

if [[ $# -ne 1 || ($1 != up && $1 != down) ]]; then
    # Printable characters only, so the reason stays one line.
    given=$*
    fail "unknown command '${given//[^[:print:]]/?}': use 'up' or 'down'"
fi

[[ -d $run_dir ]] || mkdir -m 0755 -- "$run_dir" 2>/dev/null
[[ -d $run_dir && -w $run_dir ]] || fail "cannot write $run_dir (manager.sh must run as root)"

# One run at a time: the panel may start and stop at once.
exec 9>"$run_dir/lock" || fail "cannot write $run_dir/lock"
flock -w 30 9 || fail "another manager.sh run did not finish within 30 seconds"

"$1"
