#!/bin/bash
# No program or library of the suite runs a shell command: none of the
# shipped binaries may import system(), popen() or any exec/spawn call.
# Usage: check_no_shell.sh BINARY...
set -euo pipefail
fail=0
for bin in "$@"; do
    imports=$(nm -D --undefined-only "$bin" | awk '{print $NF}' | sed 's/@.*//')
    bad=$(grep -xE 'system|popen|execl|execlp|execle|execv|execve|execvp|execvpe|fexecve|posix_spawn|posix_spawnp|wordexp' \
          <<<"$imports" || true)
    if [[ -n $bad ]]; then
        echo "FAIL: $(basename "$bin") imports: $(tr '\n' ' ' <<<"$bad")"
        fail=1
    else
        echo "ok: $(basename "$bin")"
    fi
done
exit $fail
