#!/bin/bash
# Gives the mount namespace it runs in (made by its caller with unshare) a
# fresh, empty /tmp and /dev/shm, then runs COMMAND.  The suite's daemon
# meets its clients through FIFOs at fixed paths under /tmp and its port
# locks are named semaphores in /dev/shm: private ones never meet those of a
# daemon or application running on the machine, nor of another sandbox.
#
# A checkout that itself lives under /tmp (a clone in /tmp/work, say) stays
# where it is: it is mounted back into the fresh /tmp at the same path.
#
#   tools/private-tmp.sh COMMAND [ARGS...]     (inside a new mount namespace)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
CWD=$(pwd -P)

mount -t tmpfs -o mode=1777 vem-shm /dev/shm
keep=()
for p in "$ROOT" "$CWD"; do
    [[ $p == /tmp/* ]] && keep+=("$p")
done
if ((${#keep[@]})); then
    # The machine's /tmp, reachable under our own /dev/shm for a moment.
    mkdir /dev/shm/.machine-tmp
    mount --rbind /tmp /dev/shm/.machine-tmp
fi
mount -t tmpfs -o mode=1777 vem-tmp /tmp
for p in "${keep[@]}"; do
    mkdir -p "$p"
    mount --rbind "/dev/shm/.machine-tmp/${p#/tmp/}" "$p"
done
if ((${#keep[@]})); then
    umount -l /dev/shm/.machine-tmp
    rmdir /dev/shm/.machine-tmp
fi
cd "$CWD"
exec "$@"
