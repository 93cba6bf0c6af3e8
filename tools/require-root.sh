# shellcheck shell=bash
# Sourced by the top-level commands: what they check before doing anything.
VEM_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
#
#   require_root NAME SCRIPT ARGS...   re-run SCRIPT through sudo when not root
#   require_namespaces NAME            stop at once when the private network,
#                                      PID and mount namespaces cannot be made
#   vem_build NAME BUILD_DIR LOG TARGET... [-- CMAKE ARGS...]
#                                      configure and build, showing progress

# Root is needed for apt-get, the network namespaces and a private CUPS
# scheduler: re-run SCRIPT through sudo when we can, else say so plainly.
require_root() {
    local name=$1
    shift
    [[ $(id -u) -eq 0 ]] && return 0
    if command -v sudo >/dev/null 2>&1; then
        exec sudo -E bash "$@"
    fi
    echo "$name: this command needs root (apt-get, unshare, a private CUPS);" >&2
    echo "$name: run it as root, or install sudo and run it as a user who may use it." >&2
    exit 1
}

# Everything runs inside private namespaces.  Where they cannot be made
# (a chroot whose root is not a mount point, a container without the
# right to make them), say so before installing or building anything.
require_namespaces() {
    local name=$1 err
    if err=$(unshare --net --pid --mount --fork --kill-child --mount-proc -- true 2>&1); then
        return 0
    fi
    echo "$name: cannot create the private network, PID and mount namespaces this command" >&2
    echo "$name: runs in (unshare says: ${err:-nothing})." >&2
    if [[ $err == *propagation* ]] || ! mountpoint -q / 2>/dev/null; then
        echo "$name: / is not a mount point here, as in a plain chroot: bind-mount the root" >&2
        echo "$name: directory onto itself (mount --bind DIR DIR) before entering it." >&2
    else
        echo "$name: in a container, it needs the right to create namespaces" >&2
        echo "$name: (CAP_SYS_ADMIN, for example a privileged container)." >&2
    fi
    echo "$name: nothing was installed or built." >&2
    exit 1
}

# vem_build NAME BUILD_DIR LOG TARGET... [-- CMAKE ARGS...]: configures
# BUILD_DIR (with the CMAKE ARGS) and builds the targets ("all" for
# everything), the compiler's output going to LOG.  Shows how far the build
# is, on one line on a terminal and every tenth on a log, and on failure the
# end of LOG.
vem_build() {
    local name=$1 dir=$2 log=$3
    shift 3
    local targets=() cmake_args=()
    while (($#)) && [[ $1 != -- ]]; do
        targets+=("$1")
        shift
    done
    (($#)) && shift
    cmake_args=("$@")
    mkdir -p "$dir"
    : >"$log"
    if ! cmake -S "$VEM_ROOT" -B "$dir" "${cmake_args[@]}" >>"$log" 2>&1; then
        tail -n 30 "$log" >&2
        echo "$name: configuring $dir failed (whole output in $log)" >&2
        return 1
    fi
    local line pct shown=-10 tty=0 status
    [[ -t 1 ]] && tty=1
    set +e
    cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}" 2>&1 | tee -a "$log" |
        while IFS= read -r line; do
            [[ $line =~ ^\[\ *([0-9]+)%\]\ (.*)$ ]] || continue
            pct=${BASH_REMATCH[1]}
            if ((tty)); then
                printf '\r\033[K%s: building %3d%% %.60s' "$name" "$pct" "${BASH_REMATCH[2]}"
            elif ((pct >= shown + 10)); then
                shown=$pct
                printf '%s: building %3d%%\n' "$name" "$pct"
            fi
        done
    status=${PIPESTATUS[0]}
    set -e
    ((tty)) && printf '\r\033[K'
    if ((status != 0)); then
        grep -E 'error|Error' "$log" | head -n 20 >&2
        echo "$name: the build failed (whole output in $log)" >&2
        return 1
    fi
}
