#!/bin/bash
# End-to-end jobs through a real CUPS scheduler onto the KVRS emulator.
#
#   cups_jobs.sh CASE RASTERTOVEM KVRS_EMULATOR PPD_M2A PPD_M1A \
#                [VEMCUPSINTF WARDLINKD FAKEUSB]
#
# Without the last three the queues reach the printer through CUPS's socket
# backend and the filter asks for status in-band; with them, through our
# backend, the port-sharing daemon and the Ethernet driver (the filter asks
# through the side channel), and the USB cases use the fake USB bus.
# Each case runs in its own namespaces (cases may run side by side) with a
# private cupsd (ErrorPolicy abort-job).  E2E_KEEP=1 keeps its files.
set -eu

case_name=${1:?case}
FILTER=$(realpath "${2:?rastertovem}")
EMU=$(realpath "${3:?kvrs-emulator}")
PPD_M2A=$(realpath "${4:?PPD of KVRS-M2A}")
PPD_M1A=$(realpath "${5:?PPD of KVRS-M1A}")
BACKEND=${6:+$(realpath "$6")}
WARDLINKD=${7:+$(realpath "$7")}
FAKEUSB=${8:+$(realpath "$8")}
# shellcheck source=../../tools/e2e/harness.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../tools/e2e/harness.sh"
e2e_enter_namespace "$0" "$case_name" "$FILTER" "$EMU" "$PPD_M2A" "$PPD_M1A" ${BACKEND:+"$BACKEND" "$WARDLINKD" "$FAKEUSB"}

e2e_init
trap 'e2e_stop_all; [[ ${E2E_KEEP:-0} == 1 ]] && e2e_log "files kept in $E2E_BASE" || rm -rf "$E2E_BASE"' EXIT
RECEIPT=$E2E_BASE/work/receipt.pdf
ENDED="completed aborted canceled processing-stopped" # a stopped job stays stopped

fail() {
    e2e_log "FAIL: $*"
    [[ -n ${JOB:-} ]] && { e2e_job_attrs "$JOB"; e2e_job_log "$JOB" | grep -E 'STATE:|E \[' | tail -n 30; } >&2
    exit 1
}
pass() { e2e_log "ok: $*"; }
count_events() { cat "$E2E_BASE"/out/*.events.jsonl 2>/dev/null | grep -c "\"kind\":\"$1\"" || true; }
count_receipts() { find "$E2E_BASE/out" -name '*.png' | wc -l; }
reasons() { e2e_printer_attrs "$1" | sed -n 's/^ *printer-state-reasons (keyword) = //p'; }
job_log_has() { e2e_job_log "$JOB" | grep -Fq -- "$1"; }
expect_log() { job_log_has "$1" || fail "job $JOB log lacks '$1'"; }
printer_matches() { e2e_printer_attrs "$1" | grep -Eq "$2"; }
wait_printer() { # QUEUE PATTERN SECS: the queue's attributes come to match PATTERN
    e2e_poll "$3" printer_matches "$1" "$2" || fail "queue $1 never matched '$2': $(e2e_printer_attrs "$1")"
}
expect_state() { # STATE [SECS]
    local state
    state=$(e2e_wait_job "$JOB" "$ENDED" "${2:-90}") || fail "job $JOB did not end"
    [[ $state == "$1" ]] || fail "job $JOB ended $state, expected $1"
}
# The job completed as one receipt whose graphics are WIDTH dots wide.
expect_receipt() {
    expect_state completed
    expect_log "Printing success"
    (($(count_receipts) == 1)) || fail "expected 1 receipt, found $(count_receipts)"
    grep -h '"kind":"graphics-print"' "$E2E_BASE"/out/*.events.jsonl | grep -q "\"width\":$1" ||
        fail "graphics are not $1 dots wide"
}
start() { # [emulator args...]: scheduler, emulator, KVRS-M2A queue, the receipt
    if [[ -n $BACKEND ]]; then
        e2e_daemon_start "$WARDLINKD"
        e2e_cups_start "$FILTER" "$BACKEND"
        e2e_emulator_start "$EMU" --udp 127.0.0.1:3000 "$@"
        E2E_DEVICE_URI=vemcupsintf://eth/127.0.0.1/9100/3000 e2e_add_queue M2A "$PPD_M2A"
    else
        e2e_cups_start "$FILTER"
        e2e_emulator_start "$EMU" "$@"
        e2e_add_queue M2A "$PPD_M2A"
    fi
    e2e_make_receipt_pdf "$RECEIPT"
}
# Nothing in the printed stream was read as something it is not: a hole in
# the data makes graphics bytes show up as unknown or cut-off commands.
expect_whole_stream() {
    local bad
    bad=$(cat "$@" | grep -cE '"kind":"(unknown|truncated)"' || true)
    ((bad == 0)) || fail "$bad unknown or cut-off commands in the printed stream"
}

# The main job's road on both models: the rasters CUPS makes from the PPDs'
# rolls are exactly as wide as the model prints, in gray (8 bits) on the
# KVRS-M2A's 80 mm roll and in black and white (1 bit) on the KVRS-M1A's
# 58 mm roll, chosen as the queue's default (the filter reads it from the PPD).
case_receipt() {
    start --model M2A --paper 80
    JOB=$(e2e_print M2A "$RECEIPT")
    expect_receipt 576
    pass "KVRS-M2A, 80 mm, gray: 576 dots"
    e2e_stop_emulator
    rm -f "$E2E_BASE"/out/*
    e2e_emulator_start "$EMU" --model M1A --paper 58
    e2e_add_queue M1A "$PPD_M1A" -o PageSize=VEMP58
    JOB=$(e2e_print M1A "$RECEIPT" -o ColorModel=Black -o PaperConservation=3)
    expect_receipt 360
    pass "KVRS-M1A, 58 mm, black and white: 360 dots"
}

# Every page of a multi-page PDF reaches the printer, in order; with a cut
# after every page each page is a receipt of its own.
case_multipage() {
    start
    e2e_make_pages_pdf "$E2E_BASE/work/pages.pdf" 4
    JOB=$(e2e_print M2A "$E2E_BASE/work/pages.pdf" -o CutSetting=4)
    expect_state completed
    local order
    order=$(e2e_job_log "$JOB" | sed -n 's/.*\] Finished page \([0-9]*\)$/\1/p' | tr '\n' ' ')
    [[ $order == "1 2 3 4 " ]] || fail "pages finished in the order '$order'"
    (($(count_receipts) == 4)) || fail "expected 4 receipts, found $(count_receipts)"
    pass "4 pages, 4 receipts"
}

# A job to a printer whose cover is open waits; the queue shows the reason
# and the message; closing the cover lets the job finish.
case_cover_open() {
    start --set cover-open
    JOB=$(e2e_print M2A "$RECEIPT")
    wait_printer M2A 'printer-state-reasons .*cover-open' 60
    wait_printer M2A 'printer-state-message .* = Cover open' 10
    e2e_job_attrs "$JOB" | grep -q 'job-printer-state-message .* = Cover open' ||
        fail "the job does not show 'Cover open'"
    expect_log "STATE: +cover-open"
    sleep 2 # still waiting, nothing printed
    [[ $(e2e_job_state "$JOB") == processing ]] || fail "job left processing while the cover is open"
    (($(count_receipts) == 0)) || fail "printed while the cover was open"
    e2e_emulator_ctl clear cover-open >/dev/null
    expect_state completed 60
    expect_log "STATE: -cover-open"
    (($(count_receipts) == 1)) || fail "expected 1 receipt after closing the cover"
    [[ $(reasons M2A) != *cover-open* ]] || fail "cover-open still shown: $(reasons M2A)"
    pass "waited with the cover open, printed once it was closed"
}

# A printer reporting an unrecoverable error ends the job with nothing
# printed.  The filter exits with 1, which the scheduler answers (unlike a
# failing backend, which ErrorPolicy governs) by stopping the job.
case_unrecoverable() {
    start --set unrecoverable-error
    JOB=$(e2e_print M2A "$RECEIPT")
    local state
    state=$(e2e_wait_job "$JOB" "$ENDED" 90) || fail "job $JOB did not end"
    [[ $state == processing-stopped || $state == aborted ]] ||
        fail "job $JOB ended $state, expected processing-stopped (or aborted)"
    e2e_job_attrs "$JOB" | grep -q 'job-state-reasons .*job-completed-with-errors' ||
        fail "job $JOB is not marked job-completed-with-errors"
    expect_log "Printer Unrecoverable error"
    (($(count_events graphics-print) == 0)) || fail "graphics were printed"
    pass "job $JOB ended $state with errors, nothing printed"
}

# A job cancelled while it waits for the printer ends canceled, and the
# filter says so (its last lines reach the log after the state changes).
case_cancel() {
    start --set cover-open
    JOB=$(e2e_print M2A "$RECEIPT")
    wait_printer M2A 'printer-state-reasons .*cover-open' 60
    cancel "$JOB"
    expect_state canceled 60
    e2e_poll 10 job_log_has "Job cancelled" || fail "job $JOB log lacks 'Job cancelled'"
    (($(count_events graphics-print) == 0)) || fail "graphics were printed"
    pass "canceled with 'Job cancelled'"
}

# "STATE: +paused" (a recoverable error) makes the scheduler stop the queue
# and the scheduler never takes it back itself: a job cancelled meanwhile
# must leave the queue idle (the filter takes "paused" back as it ends),
# even though the printer still reports the error, and the queue goes on.
case_paused_cancel() {
    start --set recoverable-error
    JOB=$(e2e_print M2A "$RECEIPT")
    wait_printer M2A 'printer-state \(enum\) = stopped' 60
    [[ $(reasons M2A) == *paused* ]] || fail "stopped without 'paused': $(reasons M2A)"
    cancel "$JOB"
    expect_state canceled 60
    wait_printer M2A 'printer-state \(enum\) = idle' 20
    [[ $(reasons M2A) != *paused* ]] || fail "paused still shown: $(reasons M2A)"
    e2e_emulator_ctl clear recoverable-error >/dev/null
    JOB=$(e2e_print M2A "$RECEIPT")
    expect_state completed 60
    pass "queue idle after the cancel, and printing again"
}

# The printer is offline (takes data, answers no status, SNMP silent) when
# a multi-page job starts: the job waits, says so, and completes with every
# page whole once the printer is back.
case_offline_back() {
    start --set offline
    e2e_make_pages_pdf "$E2E_BASE/work/pages.pdf" 3
    JOB=$(e2e_print M2A "$E2E_BASE/work/pages.pdf" -o CutSetting=4)
    e2e_poll 60 job_log_has "Waiting printer online" || fail "the job never said it waits for the printer"
    (($(count_receipts) == 0)) || fail "printed while the printer was offline"
    e2e_emulator_ctl clear offline >/dev/null
    expect_state completed 120
    (($(count_receipts) == 3)) || fail "expected 3 receipts, found $(count_receipts)"
    expect_whole_stream "$E2E_BASE"/out/*.events.jsonl
    pass "offline, then back: 3 whole pages"
}

# _host NAME ADDR: a network namespace (held by a sleeping process) joined
# to the test's bridge at ADDR/24; prints the holder's PID.
_host() {
    local name=$1 addr=$2 pid
    unshare --net sleep infinity </dev/null >/dev/null 2>&1 &
    pid=$!
    ip link add "v$name" type veth peer name "p$name"
    ip link set "p$name" netns "$pid"
    ip link set "v$name" master kvrsbr0 up
    nsenter --net=/proc/$pid/ns/net sh -c "ip link set lo up; ip link set p$name up; ip addr add $addr/24 dev p$name"
    echo "$pid"
}

# CUPS lists exactly the printers the backend can find: the network printers
# in the test's own network whose description names the line (one without
# it is left out), and the first serial port when there is one.
case_listing() {
    # A private network 198.51.100.0/24 on a bridge, three hosts on it.
    ip link add kvrsbr0 type bridge
    ip addr add 198.51.100.1/24 dev kvrsbr0
    ip link set kvrsbr0 up
    local h addr descr
    for h in "2:KVRS-M2A Receipt Printer" "3:Office laser" "4:KVRS-M1A kvrs"; do
        addr=198.51.100.${h%%:*}
        descr=${h#*:}
        local pid
        pid=$(_host "h${h%%:*}" "$addr")
        nsenter --net=/proc/$pid/ns/net "$EMU" --tcp "$addr:9100" --snmp "*:161" \
            --sysdescr "$descr" --out "$E2E_BASE/out" --quiet >"$E2E_BASE/log/host$addr.out" 2>&1 &
    done
    e2e_cups_start "$FILTER" "$BACKEND"
    local listed
    listed=$(lpinfo --include-schemes vemcupsintf -v 2>&1) || fail "lpinfo failed: $listed"
    e2e_log "lpinfo: $listed"
    local got want
    got=$(grep -o 'vemcupsintf://[^ ]*' <<<"$listed" | sort | tr '\n' ' ')
    want="vemcupsintf://eth/198.51.100.2/9100/3000 vemcupsintf://eth/198.51.100.4/9100/3000 "
    [[ -e /dev/ttyS0 ]] && want+="vemcupsintf://serial/19200/8/1/none/dtrdsr/dev/ttyS0 "
    [[ $got == "$want" ]] || fail "listed '$got', expected '$want'"
    # A description holding two of the keywords is reported once for each
    # (the scheduler shows each URI once; the backend's lines show both).
    local twice
    twice=$(grep -c 'Printer ID: KVRS-M1A kvrs, URI: vemcupsintf://eth/198.51.100.4/9100/3000' \
        "$E2E_BASE/log/error_log" || true)
    ((twice == 2)) || fail "the two-keyword printer was reported $twice times"
    pass "listed the KVRS network printers only"
}

# A USB printer on the fake bus: CUPS lists it, and a job reaches it
# through the daemon (which owns the port) with status asked by USB control
# request.
case_usb() {
    local conf=$E2E_BASE/run/usb.conf usbout=$E2E_BASE/out/usb
    mkdir -p "$usbout"
    chmod 0755 "$E2E_BASE/run"
    printf 'output %s\ndevice m2a vid=0xF1E0 pid=0x0002 serial=A1\ndevice odd vid=0xF1E0 pid=0x0007\n' \
        "$usbout" >"$conf"
    chmod 0644 "$conf"
    local env=("LD_PRELOAD=$FAKEUSB" "VEM_FAKEUSB_CONFIG=$conf")
    e2e_daemon_start "$WARDLINKD" "${env[@]}"
    E2E_BACKEND_ENV=("${env[@]}")
    e2e_cups_start "$FILTER" "$BACKEND"
    local listed
    listed=$(lpinfo --include-schemes vemcupsintf -v 2>&1) || fail "lpinfo failed: $listed"
    grep -q '^direct vemcupsintf://usb/f1e0/0002$' <<<"$listed" || fail "KVRS-M2A not listed: $listed"
    grep -q '^direct vemcupsintf://usb/f1e0/0007$' <<<"$listed" || fail "unknown product not listed: $listed"
    lpinfo --include-schemes vemcupsintf -l -v 2>&1 | grep -q 'make-and-model = ZOLVANT USB VID:0xF1E0 PID:0x0007' ||
        fail "the unknown product is not named by its IDs"
    E2E_DEVICE_URI=vemcupsintf://usb/f1e0/0002 e2e_add_queue M2A "$PPD_M2A"
    e2e_make_receipt_pdf "$RECEIPT"
    JOB=$(e2e_print M2A "$RECEIPT")
    expect_state completed
    # The daemon closes the port once the backend has gone; the fake writes
    # the job then.
    e2e_poll 20 eval 'compgen -G "$usbout/*.png" >/dev/null' || fail "no receipt from the USB printer"
    expect_whole_stream "$usbout"/*.events.jsonl
    grep -q '"kind":"graphics-print".*"width":576' "$usbout"/*.events.jsonl || fail "no 576-dot graphics"
    pass "USB printer listed and printed to through the daemon"
}

case "$case_name" in
    receipt | multipage | cover_open | unrecoverable | cancel | paused_cancel | offline_back | listing | usb) "case_$case_name" ;;
    *) e2e_die "unknown case $case_name" ;;
esac
