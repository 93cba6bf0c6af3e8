# Sourced by the top-level commands.  require_root NAME SCRIPT ARGS...
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
