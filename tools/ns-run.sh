#!/bin/bash
# Runs a command in a sandbox of its own: private network namespace (only
# loopback, up), private PID namespace (everything it starts dies with it),
# and a private mount namespace in which /tmp and /dev/shm are fresh tmpfs.
# The suite's fixed FIFO paths under /tmp and its named semaphores in
# /dev/shm therefore never meet those of a daemon or application running on
# the machine, nor those of another sandbox running at the same time.
#
#   tools/ns-run.sh COMMAND [ARGS...]      (as root)
set -euo pipefail
if (($# == 0)); then
    echo "usage: $0 COMMAND [ARGS...]" >&2
    exit 2
fi
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
exec unshare --net --pid --mount --fork --kill-child --mount-proc -- bash -c '
    set -e
    ip link set lo up
    exec "$0" "$@"' "$HERE/private-tmp.sh" "$@"
