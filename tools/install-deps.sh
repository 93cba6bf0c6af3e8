#!/bin/bash
# Installs the Debian packages the suite needs; only missing ones.
#
#   tools/install-deps.sh [--print | --test | --all]
#
#   --print   what the main job needs: build the filter and the emulator,
#             run a private CUPS scheduler and print (tools/print-receipt.sh)
#   --test    that, and what the test suite adds: clang with its sanitizer
#             and fuzzing runtime, GoogleTest, the benchmark library, an
#             SNMP client (tools/run-tests.sh)
#   --all     the same as --test (the default)
#
# "apt-get update" runs first, once, and only when something is missing.
# Must run as root (the callers re-run themselves through sudo when they can).
set -euo pipefail

PRINT_PACKAGES=(
    # toolchain
    g++ make cmake pkg-config binutils
    # libraries the suite calls (configure needs them all)
    libusb-1.0-0-dev libcups2-dev libcupsimage2-dev libpng-dev zlib1g-dev
    # the private network namespace the jobs run in
    iproute2 util-linux
    # a real CUPS scheduler, its filters and tools, ghostscript for the PDF
    cups cups-filters cups-ipp-utils cups-client ghostscript
    # the emulator's bitmap font
    psf-unifont
)
TEST_PACKAGES=(
    clang libclang-rt-14-dev            # sanitizer build and libFuzzer runtime
    libgtest-dev libgmock-dev libbenchmark-dev
    cups-ppdc cups-bsd                  # the PPD tools the tests check with
    snmp                                # a real SNMP client, to check the emulator's agent
    snmpd                               # a real SNMP agent, to check the drivers' queries
)

usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; }
packages=("${PRINT_PACKAGES[@]}" "${TEST_PACKAGES[@]}")
case "${1:---all}" in
    --print) packages=("${PRINT_PACKAGES[@]}") ;;
    --test | --all) ;;
    -h | --help)
        usage
        exit 0
        ;;
    *)
        echo "install-deps: unknown option $1 (try --help)" >&2
        exit 2
        ;;
esac
if (($# > 1)); then
    echo "install-deps: one option at most (try --help)" >&2
    exit 2
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if ((${#missing[@]} == 0)); then
    exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
    echo "install-deps: these Debian packages are missing: ${missing[*]}" >&2
    echo "install-deps: installing them needs root; run this command as root or through sudo." >&2
    exit 1
fi

echo "install-deps: installing ${missing[*]} (and what they need)"
export DEBIAN_FRONTEND=noninteractive
# apt's own output goes to a log; here a line of progress, and on failure
# the end of the log.
log=$(mktemp /tmp/install-deps.XXXXXX.log)
fail() {
    tail -n 30 "$log" >&2
    echo "install-deps: $1 failed (whole output in $log)" >&2
    exit 1
}
apt-get update -q >"$log" 2>&1 || fail "apt-get update"
# snmpd is installed for its program only: the tests start it themselves,
# with their own configuration, inside network namespaces they made.  Its
# packaged service must never run on this machine, so while apt installs it
# a policy denies it every start (an existing policy, such as the one
# container images carry, is left as it is), and afterwards it is disabled
# wherever an init system would otherwise start it at boot.
policy=/usr/sbin/policy-rc.d
own_policy=
if [[ " ${missing[*]} " == *" snmpd "* && ! -e $policy ]]; then
    own_policy=$policy
    trap 'rm -f "$own_policy"' EXIT
    cat >"$policy" <<'POLICY'
#!/bin/sh
# Written by install-deps.sh for the length of one installation.
for arg; do
    case "$arg" in
        snmpd | snmpd.service) exit 101 ;;
    esac
done
exit 0
POLICY
    chmod 755 "$policy"
fi

# No recommends: cups would otherwise pull in avahi, colord and cups-browsed,
# which no test wants running.
tty=0
[[ -t 1 ]] && tty=1
apt-get install -y -q --no-install-recommends "${missing[@]}" 2>&1 | tee -a "$log" |
    awk -v tty="$tty" '
        /newly installed/ { total = $3; print "install-deps: " $0; fflush() }
        /^Setting up / {
            n++
            if (tty) { printf "\r\033[Kinstall-deps: set up %d of %d", n, total }
            else if (n % 25 == 0 || n == total) { printf "install-deps: set up %d of %d\n", n, total }
            fflush()
        }
        END { if (tty) printf "\r\033[K" }'
((PIPESTATUS[0] == 0)) || fail "apt-get install"
if [[ " ${missing[*]} " == *" snmpd "* ]]; then
    # systemd as the running init: stop and disable the unit.  Without it
    # (containers often have no systemctl, or one with nothing running),
    # remove the boot links the package left for either init system.
    if command -v systemctl >/dev/null && [[ -d /run/systemd/system ]]; then
        systemctl disable --now snmpd.service >/dev/null 2>&1 || true
    fi
    if command -v deb-systemd-helper >/dev/null; then
        deb-systemd-helper disable snmpd.service >/dev/null 2>&1 || true
    fi
    if command -v update-rc.d >/dev/null; then
        update-rc.d snmpd disable >/dev/null 2>&1 || true
    fi
fi
if [[ -n $own_policy ]]; then
    rm -f "$own_policy"
    trap - EXIT
fi
rm -f "$log"
echo "install-deps: done"
