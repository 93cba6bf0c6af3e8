#!/bin/bash
# Installs the Debian packages that building, testing and the main job need.
# Only missing packages are installed; "apt-get update" runs first, once, and
# only when something is missing.  Must run as root (the callers re-run
# themselves through sudo when they can).
set -euo pipefail

PACKAGES=(
    # toolchain
    g++ make cmake pkg-config binutils
    clang libclang-rt-14-dev            # sanitizer build and libFuzzer runtime
    # libraries the suite calls
    libusb-1.0-0-dev libcups2-dev libcupsimage2-dev libpng-dev zlib1g-dev
    # test and benchmark frameworks
    libgtest-dev libgmock-dev libbenchmark-dev
    # the private network namespace the tests run in
    iproute2 util-linux
    # a real CUPS scheduler, its filters and tools for end-to-end jobs
    cups cups-filters cups-ppdc cups-ipp-utils cups-client cups-bsd ghostscript
    # a real SNMP client, to check the emulator's agent, and a real SNMP
    # agent, to check the drivers' queries (its service is never started)
    snmp snmpd
    # the emulator's bitmap font
    psf-unifont
)

missing=()
for p in "${PACKAGES[@]}"; do
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

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q

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
apt-get install -y -q --no-install-recommends "${missing[@]}"

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
