#!/bin/bash
# End-to-end jobs through a real CUPS scheduler onto the KVRS emulator.
#
#   cups_jobs.sh CASE RASTERTOVEM KVRS_EMULATOR PPD_M2A PPD_M1A
#
# Each case runs in its own network and PID namespace (so cases may run in
# parallel, each with its scheduler on 127.0.0.1:8631 and its emulator on
# 127.0.0.1:9100) with a private cupsd whose ErrorPolicy is abort-job, a
# queue on CUPS's own socket backend, and the filter and PPDs under test.
# Set E2E_KEEP=1 to keep the scheduler's files for a look afterwards.
set -eu

case_name=${1:?case}
FILTER=$(realpath "${2:?rastertovem}")
EMU=$(realpath "${3:?kvrs-emulator}")
PPD_M2A=$(realpath "${4:?PPD of KVRS-M2A}")
PPD_M1A=$(realpath "${5:?PPD of KVRS-M1A}")
# shellcheck source=../../tools/e2e/harness.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../tools/e2e/harness.sh"
e2e_enter_namespace "$0" "$case_name" "$FILTER" "$EMU" "$PPD_M2A" "$PPD_M1A"

e2e_init
if [[ ${E2E_KEEP:-0} == 1 ]]; then
    trap 'e2e_stop_all; e2e_log "files kept in $E2E_BASE"' EXIT
else
    trap 'e2e_stop_all; rm -rf "$E2E_BASE"' EXIT
fi

# ---- Small checks ----------------------------------------------------------

fail() {
    e2e_log "FAIL: $*"
    [[ -n ${JOB:-} ]] && { e2e_job_attrs "$JOB" >&2; e2e_job_log "$JOB" |
        grep -E 'STATE:|\] [A-Z][a-z]|E \[' | grep -v 'envp\|argv\|Set job-printer' | tail -n 40 >&2; }
    ls -l "$E2E_BASE/out" >&2 || true
    exit 1
}
pass() { e2e_log "ok: $*"; }

# Number of events of one kind in the emulator's job files.
count_events() {
    cat "$E2E_BASE"/out/*.events.jsonl 2>/dev/null | grep -c "\"kind\":\"$1\"" || true
}
count_receipts() {
    find "$E2E_BASE/out" -name '*.png' | wc -l
}
# Waits until the queue's attributes match a pattern (grep -E), or fails.
wait_printer() {
    local queue=$1 pattern=$2 secs=$3 deadline=$((SECONDS + $3))
    while ((SECONDS < deadline)); do
        if e2e_printer_attrs "$queue" | grep -Eq "$pattern"; then
            return 0
        fi
        sleep 0.2
    done
    e2e_printer_attrs "$queue" >&2
    fail "queue $queue never matched '$pattern' within ${secs}s"
}
expect_state() {
    local want=$1 secs=${2:-90} state
    state=$(e2e_wait_job "$JOB" "completed aborted canceled" "$secs") || fail "job $JOB did not end"
    [[ $state == "$want" ]] || fail "job $JOB ended $state, expected $want"
    pass "job $JOB ended $state"
}
job_log_has() {
    e2e_job_log "$JOB" | grep -Fq -- "$1" || fail "job $JOB log lacks '$1'"
}
# Printer-state-reasons of a queue, one line.
reasons() {
    e2e_printer_attrs "$1" | sed -n 's/^ *printer-state-reasons (keyword) = //p'
}

start() { # start [emulator args...]: scheduler, emulator, KVRS-M2A queue
    e2e_cups_start "$FILTER"
    e2e_emulator_start "$EMU" "$@"
    e2e_add_queue M2A "$PPD_M2A"
}

# ---- Cases -----------------------------------------------------------------

# The main job's road, on both models and both rolls: each raster CUPS makes
# from the PPDs' page sizes is exactly as wide as the model prints, in gray
# (8 bits, 0 = black) and in black and white (1 bit).
case_receipt() {
    start --model M2A --paper 80
    e2e_make_receipt_pdf "$E2E_BASE/work/receipt.pdf"
    JOB=$(e2e_print M2A "$E2E_BASE/work/receipt.pdf")
    expect_state completed
    job_log_has "Printing success"
    (($(count_receipts) == 1)) || fail "expected 1 receipt, found $(count_receipts)"
    grep -h '"kind":"graphics-print"' "$E2E_BASE"/out/*.events.jsonl | grep -q '"width":576' ||
        fail "KVRS-M2A 80 mm graphics are not 576 dots wide"
    pass "KVRS-M2A, 80 mm roll, gray: one receipt, 576 dots wide"

    # A custom size (its text reaches the filter through the PPD's string
    # parameter) within the printable width prints; 72 mm is 575 dots.
    rm -f "$E2E_BASE"/out/*
    JOB=$(e2e_print M2A "$E2E_BASE/work/receipt.pdf" -o PageSize=Custom.72x200mm)
    expect_state completed
    grep -h '"kind":"graphics-print"' "$E2E_BASE"/out/*.events.jsonl | grep -q '"width":575' ||
        fail "a 72 mm custom page is not 575 dots wide"
    pass "custom size 72 x 200 mm: 575 dots wide"

    # The KVRS-M1A on its 58 mm roll, chosen as the queue's default (read by
    # the filter from the PPD), printed as 1-bit black and white.  The 80 mm
    # document is scaled down and centred on the page: trim both ends.
    e2e_stop_emulator
    rm -f "$E2E_BASE"/out/*
    e2e_emulator_start "$EMU" --model M1A --paper 58
    e2e_add_queue M1A "$PPD_M1A" -o PageSize=VEMP58
    JOB=$(e2e_print M1A "$E2E_BASE/work/receipt.pdf" -o ColorModel=Black -o PaperConservation=3)
    expect_state completed
    job_log_has "Printing success"
    (($(count_receipts) == 1)) || fail "expected 1 receipt, found $(count_receipts)"
    grep -h '"kind":"graphics-print"' "$E2E_BASE"/out/*.events.jsonl | grep -q '"width":360' ||
        fail "KVRS-M1A 58 mm graphics are not 360 dots wide"
    pass "KVRS-M1A, 58 mm roll, black and white: one receipt, 360 dots wide"
}

# Every page of a multi-page PDF reaches the printer, in order; with a cut
# after every page each page is a receipt of its own.
case_multipage() {
    start
    local pages=4
    e2e_make_pages_pdf "$E2E_BASE/work/pages.pdf" $pages
    JOB=$(e2e_print M2A "$E2E_BASE/work/pages.pdf" -o CutSetting=4)
    expect_state completed
    local order
    order=$(e2e_job_log "$JOB" | sed -n 's/.*\] Finished page \([0-9]*\)$/\1/p' | tr '\n' ' ')
    [[ $order == "$(seq -s ' ' 1 $pages) " ]] || fail "pages finished in the order '$order'"
    job_log_has "Printing success"
    (($(count_receipts) == pages)) || fail "expected $pages receipts, found $(count_receipts)"
    (($(count_events graphics-print) >= pages)) ||
        fail "expected at least $pages graphics prints, found $(count_events graphics-print)"
    (($(count_events cut) == pages)) || fail "expected $pages cuts, found $(count_events cut)"
    pass "$pages pages, $pages receipts"
}

# A job to a printer whose cover is open waits; the queue shows the reason
# and the message; closing the cover lets the job finish.
case_cover_open() {
    start --set cover-open
    e2e_make_receipt_pdf "$E2E_BASE/work/receipt.pdf"
    JOB=$(e2e_print M2A "$E2E_BASE/work/receipt.pdf")
    wait_printer M2A 'printer-state-reasons .*cover-open' 60
    wait_printer M2A 'printer-state-message .* = Cover open' 10
    e2e_job_attrs "$JOB" | grep -q 'job-printer-state-message .* = Cover open' ||
        fail "the job does not show 'Cover open'"
    job_log_has "STATE: +cover-open"
    sleep 2 # still waiting, nothing printed
    [[ $(e2e_job_state "$JOB") == processing ]] || fail "job left processing while the cover is open"
    (($(count_receipts) == 0)) || fail "printed while the cover was open"
    pass "waiting with the cover open"

    e2e_emulator_ctl clear cover-open >/dev/null
    expect_state completed 60
    job_log_has "STATE: -cover-open"
    (($(count_receipts) == 1)) || fail "expected 1 receipt after closing the cover"
    [[ $(reasons M2A) != *cover-open* ]] || fail "cover-open still shown: $(reasons M2A)"
    pass "printed once the cover was closed"
}

# A printer reporting an unrecoverable error ends the job and nothing is
# printed.  The filter exits with 1; the scheduler treats a failing filter
# (unlike a failing backend, which ErrorPolicy governs) by stopping the job:
# processing-stopped with job-completed-with-errors.  The queue itself goes
# on: once the printer is well again the next job prints.
case_unrecoverable() {
    start --set unrecoverable-error
    e2e_make_receipt_pdf "$E2E_BASE/work/receipt.pdf"
    JOB=$(e2e_print M2A "$E2E_BASE/work/receipt.pdf")
    local state
    state=$(e2e_wait_job "$JOB" "completed aborted canceled processing-stopped" 90) ||
        fail "job $JOB did not end"
    [[ $state == processing-stopped || $state == aborted ]] ||
        fail "job $JOB ended $state, expected processing-stopped (or aborted)"
    e2e_job_attrs "$JOB" | grep -q 'job-state-reasons .*job-completed-with-errors' ||
        fail "job $JOB is not marked job-completed-with-errors"
    job_log_has "STATE: +printer-stopped"
    job_log_has "Printer Unrecoverable error"
    job_log_has "Printing not complete"
    (($(count_events graphics-print) == 0)) || fail "graphics were printed"
    pass "job $JOB ended $state with errors, nothing printed"

    e2e_emulator_ctl clear unrecoverable-error >/dev/null
    JOB=$(e2e_print M2A "$E2E_BASE/work/receipt.pdf")
    expect_state completed
    (($(count_receipts) == 1)) || fail "expected 1 receipt after the error cleared"
    pass "the next job printed (reasons now: $(reasons M2A))"
}

# A job cancelled while it waits for the printer ends canceled, and the
# filter says so.
case_cancel() {
    start --set cover-open
    e2e_make_receipt_pdf "$E2E_BASE/work/receipt.pdf"
    JOB=$(e2e_print M2A "$E2E_BASE/work/receipt.pdf")
    wait_printer M2A 'printer-state-reasons .*cover-open' 60
    cancel "$JOB"
    expect_state canceled 60
    # The scheduler keeps reading the filter after the cancel; give the
    # filter's last lines time to reach the log.
    local i
    for ((i = 0; i < 50; i++)); do
        e2e_job_log "$JOB" | grep -Fq "Job cancelled" && break
        sleep 0.2
    done
    job_log_has "Job cancelled"
    (($(count_events graphics-print) == 0)) || fail "graphics were printed"
    pass "canceled with 'Job cancelled' (queue reasons now: $(reasons M2A))"
}

# "STATE: +paused" (a recoverable error) makes the scheduler mark the queue
# stopped, while the running job keeps waiting; "-paused" makes the queue
# idle again and the job finishes.
case_paused() {
    start --set recoverable-error
    e2e_make_receipt_pdf "$E2E_BASE/work/receipt.pdf"
    JOB=$(e2e_print M2A "$E2E_BASE/work/receipt.pdf")
    wait_printer M2A 'printer-state-reasons .*paused' 60
    wait_printer M2A 'printer-state \(enum\) = stopped' 10
    [[ $(e2e_job_state "$JOB") == processing ]] || fail "the job did not keep waiting"
    e2e_job_attrs "$JOB" | grep -q 'job-printer-state-message .* = Recoverable error' ||
        fail "the job does not show 'Recoverable error'"
    pass "queue stopped (paused) while the job waits"
    e2e_emulator_ctl clear recoverable-error >/dev/null
    expect_state completed 60
    wait_printer M2A 'printer-state \(enum\) = idle' 10
    [[ $(reasons M2A) != *paused* ]] || fail "paused still shown: $(reasons M2A)"
    pass "queue idle again, job completed"
}

# A job cancelled while the printer reports a recoverable error must not
# leave the queue stopped: the scheduler does not clear the "paused" reason
# a job's filter set, so the filter has to take it back when it ends.
case_paused_cancel() {
    start --set recoverable-error
    e2e_make_receipt_pdf "$E2E_BASE/work/receipt.pdf"
    JOB=$(e2e_print M2A "$E2E_BASE/work/receipt.pdf")
    wait_printer M2A 'printer-state \(enum\) = stopped' 60
    cancel "$JOB"
    expect_state canceled 60
    # The printer still reports the error, yet the queue is no longer
    # stopped: the filter took "paused" back as it ended.
    wait_printer M2A 'printer-state \(enum\) = idle' 20
    [[ $(reasons M2A) != *paused* ]] || fail "paused still shown: $(reasons M2A)"
    pass "queue idle again after the cancel"
    e2e_emulator_ctl clear recoverable-error >/dev/null
    JOB=$(e2e_print M2A "$E2E_BASE/work/receipt.pdf")
    expect_state completed 60
    pass "the queue went on printing after a cancel during a recoverable error"
}

case "$case_name" in
    receipt | multipage | cover_open | unrecoverable | cancel | paused | paused_cancel)
        "case_$case_name"
        ;;
    *) e2e_die "unknown case $case_name" ;;
esac
