#!/bin/bash
# The queues "tools/print-receipt.sh --serve" leaves running are usable from
# outside its namespaces, by an ordinary user, with the very lines it prints,
# until "--stop" ends them.
#
#   serve_test.sh BUILD_DIR
set -eu

BUILD=$(realpath "${1:?build dir}")
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$ROOT/tools/e2e/harness.sh"

# Not in /tmp: the namespace --serve makes has a /tmp of its own.
T=$(mktemp -d /run/kvrs-serve.XXXXXX)
chmod 0755 "$T"
export KVRS_QUEUES_DIR=$T/q
Q=$KVRS_QUEUES_DIR
SOCK=$Q/run/cups.sock
OUT=$T/out
serve() { "$ROOT/tools/print-receipt.sh" --no-build --build "$BUILD" --out "$OUT" "$@"; }
trap 'serve --stop >/dev/null 2>&1 || true; rm -rf "$T"' EXIT
fail() {
    e2e_log "FAIL: $*"
    [[ -e $Q/log/error_log ]] && grep -E 'E \[|STATE:' "$Q/log/error_log" | tail -n 20 >&2
    exit 1
}
# An ordinary user, outside the namespaces: the user nobody, with no home.
as_user() { runuser -u nobody -- env -u CUPS_SERVER HOME=/nonexistent "$@"; }
# "request id is KVRS-M2A-2 (1 file(s))" -> KVRS-M2A-2
submit() { as_user lp -h "$SOCK" "$@" | sed -n 's/^request id is \([^ ]*\) .*/\1/p'; }
done_job() { as_user lpstat -h "$SOCK" -W completed -o | grep -q "^$1 "; }

lines=$(serve --serve) || fail "--serve failed: $lines"
e2e_log "--serve said: $lines"
[[ $lines == *"lp -h $SOCK -d KVRS-M2A"* && $lines == *"tools/print-receipt.sh --stop"* ]] ||
    fail "--serve did not print the lines to use"
[[ -s $OUT/receipt-r01.png && -e $OUT/receipt.pdf ]] || fail "no sample receipt in $OUT"
# The queues go through our backend to the daemon left running in there.
pid=$(awk '{print $1}' "$Q/pid")
daemon() { pgrep -x wardlinkd --ns "$pid" --nslist pid; }
daemon >/dev/null || fail "no wardlinkd running beside the scheduler"
devices=$(as_user lpstat -h "$SOCK" -v)
[[ $devices == *"KVRS-M2A: vemcupsintf://eth/127.0.0.1/9100/3000"* &&
    $devices == *"KVRS-M1A: vemcupsintf://eth/127.0.0.2/9100/3000"* ]] ||
    fail "device URIs: $devices"
# The same scheduler cannot be left running twice.
! serve --serve >/dev/null 2>&1 || fail "a second --serve was accepted"

# The README's example, and the smaller model on its 58 mm roll.
id2=$(submit -d KVRS-M2A -o CutSetting=4 -o DitherType=3 -o CDPin=1 "$OUT/receipt.pdf")
id1=$(submit -d KVRS-M1A -o PageSize=VEMP58 "$OUT/receipt.pdf")
[[ -n $id1 && -n $id2 ]] || fail "lp refused a job"
e2e_poll 90 done_job "$id1" && e2e_poll 90 done_job "$id2" || fail "jobs $id1 $id2 did not complete"
e2e_poll 10 test -s "$OUT/KVRS-M1A/job-0001-r01.png" || fail "no picture from the KVRS-M1A"
grep -q '"kind":"graphics-print".*"width":360' "$OUT"/KVRS-M1A/job-0001.events.jsonl ||
    fail "the KVRS-M1A did not print 360 dots wide"
grep -q '"kind":"drawer' "$OUT"/KVRS-M2A/job-0002.events.jsonl || fail "CDPin=1 opened no drawer"
e2e_log "ok: $id2 and $id1 printed; pictures in $OUT/KVRS-M2A and $OUT/KVRS-M1A"

# lpstat, lpoptions and cancel as printed.
as_user lpstat -h "$SOCK" -p | grep -q 'printer KVRS-M1A is idle' || fail "lpstat -p"
CUPS_SERVERROOT=$Q/etc as_user lpoptions -h "$SOCK" -p KVRS-M2A -l | grep -q '^DitherType/.*\*3' ||
    fail "lpoptions -l: $(CUPS_SERVERROOT=$Q/etc as_user lpoptions -h "$SOCK" -p KVRS-M2A -l 2>&1)"
held=$(submit -d KVRS-M2A -H indefinite "$OUT/receipt.pdf")
as_user cancel -h "$SOCK" "$held" || fail "cancel $held"
! as_user lpstat -h "$SOCK" -o | grep -q "^$held " || fail "$held still waiting"
[[ ! -e $OUT/KVRS-M2A/job-0003.events.jsonl ]] || fail "$held was printed"
grep -Eq '^KVRS-M1A nobody [0-9]+ .* total 1 ' "$Q/log/page_log" || fail "page log: $(cat "$Q/log/page_log")"
e2e_log "ok: lpstat, lpoptions, cancel; the page log counts the pages"

daemon_pid=$(daemon)
serve --stop | grep -q stopped || fail "--stop did not say it stopped"
! kill -0 "$pid" 2>/dev/null || fail "the namespace's first process is still alive"
! kill -0 "$daemon_pid" 2>/dev/null || fail "wardlinkd $daemon_pid is still alive"
[[ ! -e $Q ]] || fail "$Q is still there"
! as_user lpstat -h "$SOCK" -r 2>/dev/null | grep -q 'is running' || fail "the scheduler still answers"
e2e_log "ok: --stop ended everything"
