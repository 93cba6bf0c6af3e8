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
    # a real SNMP client, to check the emulator's agent
    snmp
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
# No recommends: cups would otherwise pull in avahi, colord and cups-browsed,
# which no test wants running.
apt-get install -y -q --no-install-recommends "${missing[@]}"
