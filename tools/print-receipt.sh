#!/bin/bash
# The main job: print a sample receipt through a real CUPS scheduler onto
# the KVRS printer emulator, and leave the receipt's picture in ./out.
#
#   tools/print-receipt.sh [--keep] [--build DIR]
#
# On a fresh Debian 12 machine (as root, or a user who may use sudo) it
# installs the missing packages, builds the filter and the emulator in
# build/normal, makes the sample receipt (a PDF drawn with ghostscript),
# and then, inside a private network and PID namespace with only loopback:
# starts a private cupsd (its own configuration and spool in a temporary
# directory, listening on 127.0.0.1 only), starts kvrs-emulator on
# 127.0.0.1:9100 (SNMP on 127.0.0.1:161), adds a KVRS-M2A queue on
# socket://127.0.0.1:9100 with the built PPD and filter, prints the
# receipt through CUPS's usual chain
# (pdftopdf, gstoraster, rastertovem), waits for the job to complete, stops
# everything and copies the picture to out/receipt-r01.png.  The system's
# own CUPS is never used or touched.  --keep leaves the temporary directory
# (scheduler logs, emulator events) in place; --build DIR builds in DIR
# instead of build/normal.

# No pipefail: the harness reads short answers with early-exiting filters.
set -eu

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ROOT/tools/e2e/harness.sh"

keep=0
build=$ROOT/build/normal
args=("$@")
while (($#)); do
    arg=$1
    shift
    case "$arg" in
        --keep) keep=1 ;;
        --build)
            build=$(realpath -m "${1:?--build needs a directory}")
            shift
            ;;
        -h | --help)
            sed -n '2,/^$/p' "$0" | sed 's/^# \{0,1\}//'
            exit 0
            ;;
        *)
            echo "print-receipt: unknown argument $arg (try --help)" >&2
            exit 2
            ;;
    esac
done
outdir=$ROOT/out

# ---- Outside: packages, build, then the same script in the namespace -------
if [[ ${E2E_IN_NS:-} != "$$" ]]; then
    # Root is needed for the packages, the namespaces and the scheduler.
    source "$ROOT/tools/require-root.sh"
    require_root print-receipt "$0" "${args[@]}"
    export PRINT_RECEIPT_T0=$EPOCHSECONDS
    "$ROOT/tools/install-deps.sh"
    echo "print-receipt: building the filter and the emulator in $build"
    cmake -S "$ROOT" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ >/dev/null
    cmake --build "$build" --target rastertovem kvrs-emulator -j "$(nproc)" >/dev/null
    e2e_enter_namespace "$0" "${args[@]}"
fi

# ---- Inside the namespace: the print itself --------------------------------
e2e_init
# The files stay for a look when asked to, or when something failed.
finish() {
    local rc=$?
    e2e_stop_all
    if [[ $keep == 1 || $rc != 0 ]]; then
        echo "print-receipt: scheduler and emulator files kept in $E2E_BASE" >&2
    else
        rm -rf "$E2E_BASE"
    fi
}
trap finish EXIT

e2e_make_receipt_pdf "$E2E_BASE/work/receipt.pdf"
e2e_cups_start "$build/cups/filter/rastertovem"
e2e_emulator_start "$build/tools/emulator/kvrs-emulator" --model M2A --paper 80 --quiet
e2e_add_queue KVRS-M2A "$build/ppd/kvrs-m2a.ppd"

# Error diffusion, so that the gray wedge shows as shades.
id=$(e2e_print KVRS-M2A "$E2E_BASE/work/receipt.pdf" -t "Sample receipt" -o DitherType=3)
e2e_log "job $id submitted; waiting for it to finish"
if ! state=$(e2e_wait_job "$id" "completed aborted canceled" 90) || [[ $state != completed ]]; then
    e2e_job_log "$id" | grep -E 'STATE:|INFO|ERROR|E \[' | tail -n 30 >&2 || true
    e2e_die "the job did not complete (state: ${state:-unknown})"
fi
# The emulator finishes its pictures as it ends.
e2e_stop_all

shopt -s nullglob
pictures=("$E2E_BASE"/out/*.png)
((${#pictures[@]})) || e2e_die "the emulator drew no receipt (see $E2E_BASE/out)"
mkdir -p "$outdir"
rm -f "$outdir"/receipt-r*.png
n=0
for p in "${pictures[@]}"; do
    n=$((n + 1))
    cp "$p" "$(printf '%s/receipt-r%02d.png' "$outdir" "$n")"
done
cp "$E2E_BASE"/out/*.events.jsonl "$outdir/receipt.events.jsonl" 2>/dev/null || true

# Under sudo, hand the pictures to the user who asked for them.
if [[ -n ${SUDO_UID:-} && -n ${SUDO_GID:-} ]]; then
    chown -R "$SUDO_UID:$SUDO_GID" "$outdir"
fi
took=$((EPOCHSECONDS - ${PRINT_RECEIPT_T0:-$EPOCHSECONDS}))
echo "print-receipt: printed in $took s through CUPS onto the KVRS-M2A emulator."
echo "print-receipt: the receipt's picture: $outdir/receipt-r01.png"
if ((n > 1)); then
    echo "print-receipt: (more receipts: $(cd "$outdir" && ls receipt-r*.png | tr '\n' ' '))"
fi
