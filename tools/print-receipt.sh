#!/bin/bash
# The main job: print a sample receipt through a real CUPS scheduler onto
# the KVRS printer emulator, and leave the receipt's picture in out/.
#
#   tools/print-receipt.sh [--serve | --stop] [--socket] [--keep] [--build DIR] [--out DIR]
#                          [--no-build]
#
#   (no option)   install the missing packages, build the filter, the backend
#                 vemcupsintf, libwardlink, the daemon wardlinkd and the
#                 emulator, print the sample receipt, stop everything;
#                 the picture is out/receipt-r01.png
#   --serve       the same, then leave the scheduler (and the daemon) running
#                 with two queues, KVRS-M2A and KVRS-M1A (one emulator each),
#                 for your own lp, lpstat, cancel and lpoptions; it prints the
#                 lines to use
#   --stop        end what --serve left running
#   --socket      queues on CUPS's own socket backend (socket://ADDRESS:9100)
#                 instead of vemcupsintf and wardlinkd; builds only the filter
#                 and the emulator
#   --keep        keep the scheduler's logs and the emulator's files
#   --build DIR   build in DIR instead of build/normal
#   --out DIR     pictures go to DIR instead of out/
#   --no-build    use the programs already built in the build directory
#   -h, --help    this text
#
# As root, or as a user who may use sudo.  Everything runs inside a private
# network and PID namespace whose only interface is loopback: a private
# cupsd (configuration, spool and logs in a directory of its own), the
# daemon wardlinkd (with the namespace's own /tmp and /dev/shm), the
# emulators.  A job goes filter -> vemcupsintf -> libwardlink -> wardlinkd ->
# Ethernet driver -> emulator (vemcupsintf://eth/ADDRESS/9100/3000), the
# filter asking the printer's status through CUPS's side channel; with
# --socket, filter -> socket backend -> emulator.  The system's own CUPS and
# any wardlinkd installed on the machine are never used or touched.  The scheduler left by --serve also listens on a Unix socket,
# /run/kvrs-cups/run/cups.sock, which `lp -h` reaches from any shell.

# No pipefail: the harness reads short answers with early-exiting filters.
set -eu

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ROOT/tools/e2e/harness.sh"
source "$ROOT/tools/require-root.sh"

usage() { sed -n '2,/^# No pipefail/p' "$0" | sed '$d; s/^# \{0,1\}//'; }
mode=print
transport=stack
keep=0
do_build=1
build=$ROOT/build/normal
outdir=$ROOT/out
args=("$@")
while (($#)); do
    arg=$1
    shift
    case "$arg" in
        --serve) mode=serve ;;
        --stop) mode=stop ;;
        --socket) transport=socket ;;
        --keep) keep=1 ;;
        --no-build) do_build=0 ;;
        --build | --out)
            (($#)) || { echo "print-receipt: $arg needs a directory (try --help)" >&2; exit 2; }
            [[ $arg == --build ]] && build=$(realpath -m "$1") || outdir=$(realpath -m "$1")
            shift
            ;;
        -h | --help)
            usage
            exit 0
            ;;
        *)
            echo "print-receipt: unknown option $arg (try --help)" >&2
            exit 2
            ;;
    esac
done

# Where --serve keeps the scheduler: fixed, so that the lines it prints and
# the README's examples stay true.  Under /run: only root may create it.
QUEUES=${KVRS_QUEUES_DIR:-/run/kvrs-cups}
SOCK=$QUEUES/run/cups.sock
EMU=$build/tools/emulator/kvrs-emulator
FILTER=$build/cups/filter/rastertovem
BACKEND=$build/cups/backend/vemcupsintf
DAEMON=$build/interface_broad/service/wardlinkd

# The printers --serve offers: queue, model, the loopback address of its
# emulator (one address each: a network printer answers print data on TCP
# 9100, status requests on UDP 3000 and SNMP on 161, all fixed ports).
PRINTERS=("KVRS-M2A M2A 127.0.0.1" "KVRS-M1A M1A 127.0.0.2")

# start_printer QUEUE MODEL ADDRESS PICTURES: what stands behind a queue
# (an emulator, reached through vemcupsintf and wardlinkd, or with --socket
# through CUPS's socket backend) and the queue itself.  The device URI and
# the processes are made here and nowhere else.
start_printer() {
    local queue=$1 model=$2 addr=$3 pictures=$4 uri
    mkdir -p "$pictures"
    rm -f "$pictures"/job-*
    E2E_EMU_TAG=-$queue E2E_EMU_ADDR=$addr:9100 E2E_EMU_SNMP=$addr:161 E2E_EMU_OUT=$pictures \
        e2e_emulator_start "$EMU" --udp "$addr:3000" --model "$model" --paper 80 --quiet
    uri=vemcupsintf://eth/$addr/9100/3000
    [[ $transport == stack ]] || uri=socket://$addr:9100
    E2E_DEVICE_URI=$uri e2e_add_queue "$queue" "$build/ppd/kvrs-${model,,}.ppd"
}

# Under sudo, what we leave in the output directory belongs to the user.
give_to_user() {
    [[ -n ${SUDO_UID:-} && -n ${SUDO_GID:-} && -e $1 ]] && chown -R "$SUDO_UID:$SUDO_GID" "$1"
    return 0
}

# The process that holds --serve's namespaces: "PID START-TIME" in
# $QUEUES/pid; the start time tells it from a later process with its PID.
serve_pid() {
    local pid start
    read -r pid start 2>/dev/null <"$QUEUES/pid" || return 1
    [[ -r /proc/$pid/stat && $(awk '{print $22}' "/proc/$pid/stat") == "$start" ]] || return 1
    echo "$pid"
}

stop_serving() {
    local pid what="the scheduler, the daemon"
    if ! pid=$(serve_pid); then
        echo "print-receipt: nothing to stop (no scheduler left running by --serve)"
        rm -rf "$QUEUES"
        return 0
    fi
    [[ $(cat "$QUEUES/transport" 2>/dev/null) != socket ]] || what="the scheduler"
    kill -TERM "$pid"
    e2e_poll 30 eval '! kill -0 '"$pid"' 2>/dev/null' || kill -KILL "$pid" 2>/dev/null || true
    rm -rf "$QUEUES"
    echo "print-receipt: stopped $what and the KVRS-M2A and KVRS-M1A emulators."
}

print_usage_lines() {
    local h="-h $SOCK" running="the daemon wardlinkd, two emulators"
    [[ $transport == stack ]] || running="two emulators"
    cat <<EOF

The scheduler, $running and the queues KVRS-M2A and KVRS-M1A are running.
From any shell:

  lp $h -d KVRS-M2A -o CutSetting=4 -o DitherType=3 -o CDPin=1 $outdir/receipt.pdf
  lp $h -d KVRS-M1A -o PageSize=VEMP58 $outdir/receipt.pdf
  lpstat $h -p -o                       # the queues and the jobs waiting
  lpstat $h -W completed -o             # the jobs done
  cancel $h KVRS-M2A-3                  # one job (its id as lp printed it)
  cancel $h -a KVRS-M2A                 # every job of a queue
  CUPS_SERVERROOT=$QUEUES/etc lpoptions $h -p KVRS-M2A -l    # options and defaults

(or export CUPS_SERVER=$SOCK once and leave out the -h.)
Each job's pictures appear in $outdir/KVRS-M2A and $outdir/KVRS-M1A
(job-NNNN-rNN.png, one per receipt; job-NNNN.events.jsonl, what was printed).
Scheduler log: $QUEUES/log/error_log.  To stop everything:

  tools/print-receipt.sh --stop
EOF
}

# ---- Outside: packages, build, then the same script in the namespace -------
if [[ ${E2E_IN_NS:-} != "$$" ]]; then
    # Root is needed for the packages, the namespaces and the scheduler.
    require_root print-receipt "$0" "${args[@]}"
    if [[ $mode == stop ]]; then
        stop_serving
        exit 0
    fi
    require_namespaces print-receipt
    if [[ $mode == serve ]] && serve_pid >/dev/null; then
        echo "print-receipt: a scheduler left by --serve is already running." >&2
        echo "print-receipt: end it first with: tools/print-receipt.sh --stop" >&2
        exit 1
    fi
    start=$EPOCHSECONDS
    "$ROOT/tools/install-deps.sh" --print
    if ((do_build)); then
        # A fresh tree leaves out the tests and benchmarks, whose frameworks
        # only tools/run-tests.sh installs; an existing tree keeps its choice.
        configure=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++)
        [[ -e $build/CMakeCache.txt ]] || configure+=(-DVEM_BUILD_TESTS=OFF -DVEM_BUILD_BENCH=OFF)
        targets=(rastertovem kvrs-emulator)
        what="the filter and the emulator"
        if [[ $transport == stack ]]; then
            targets+=(vemcupsintf wardlink wardlinkd)
            what="the filter, the backend, libwardlink, wardlinkd and the emulator"
        fi
        start=$EPOCHSECONDS
        echo "print-receipt: building $what in $build"
        vem_build print-receipt "$build" "$build.log" "${targets[@]}" -- "${configure[@]}"
        echo "print-receipt: built in $((EPOCHSECONDS - start)) s"
    fi
    [[ -x $FILTER && -x $EMU ]] || e2e_die "no filter or emulator in $build (build it first)"
    [[ $transport == socket || (-x $BACKEND && -x $DAEMON) ]] ||
        e2e_die "no vemcupsintf or wardlinkd in $build (build them first, or use --socket)"
    if [[ $mode == print ]]; then
        e2e_enter_namespace "$0" "${args[@]}"
    fi

    # --serve: the namespace's first process must outlive this script (when
    # it ends, the kernel ends everything in the namespace), so it runs in a
    # session of its own, and waits there for --stop.
    rm -rf "$QUEUES"
    mkdir -p "$QUEUES"
    chmod 0755 "$QUEUES"
    echo "$transport" >"$QUEUES/transport"
    echo "print-receipt: starting the scheduler, the daemon and two emulators"
    setsid "${E2E_NS_CMD[@]}" "$0" "${args[@]}" </dev/null >"$QUEUES/serve.log" 2>&1 &
    holder=$!
    ns_first() {
        ns_pid=$(cat "/proc/$holder/task/$holder/children" 2>/dev/null) || return 1
        ns_pid=${ns_pid%% *}
        [[ -n $ns_pid ]]
    }
    e2e_poll 10 ns_first || e2e_die "the namespace did not start: $(cat "$QUEUES/serve.log")"
    echo "$ns_pid $(awk '{print $22}' "/proc/$ns_pid/stat")" >"$QUEUES/pid"
    ready() { [[ -e $QUEUES/ready ]] || ! kill -0 "$holder" 2>/dev/null; }
    e2e_poll 180 ready || true
    if [[ ! -e $QUEUES/ready ]]; then
        tail -n 30 "$QUEUES/serve.log" >&2
        kill -TERM "$ns_pid" 2>/dev/null || true
        e2e_die "the scheduler and the queues did not come up (above: the end of $QUEUES/serve.log)"
    fi
    cat "$QUEUES/ready"
    print_usage_lines
    exit 0
fi

# ---- Inside the namespace: the print itself --------------------------------
[[ $mode == serve ]] && E2E_BASE=$QUEUES
e2e_init
# The files stay for a look when asked to, or when something failed.
finish() {
    local rc=$?
    e2e_stop_all
    give_to_user "$outdir"
    if [[ $mode == serve && $rc == 0 && $keep == 0 ]]; then
        rm -rf "$QUEUES"
    elif [[ $mode == serve ]]; then
        echo "print-receipt: scheduler and emulator files kept in $QUEUES" >&2
    elif [[ $keep == 1 || $rc != 0 ]]; then
        echo "print-receipt: scheduler and emulator files kept in $E2E_BASE" >&2
    else
        rm -rf "$E2E_BASE"
    fi
}
trap finish EXIT
t0=$EPOCHSECONDS
road="through vemcupsintf and wardlinkd"
[[ $transport == stack ]] || road="through CUPS's socket backend"

mkdir -p "$outdir"
give_to_user "$outdir"
e2e_make_receipt_pdf "$E2E_BASE/work/receipt.pdf"
if [[ $transport == stack ]]; then
    # The daemon first: the backend's first job finds it ready.
    e2e_daemon_start "$DAEMON"
    e2e_cups_start "$FILTER" "$BACKEND"
else
    e2e_cups_start "$FILTER"
fi
if [[ $mode == serve ]]; then
    for p in "${PRINTERS[@]}"; do
        # shellcheck disable=SC2086 # the table's words
        start_printer $p "$outdir/${p%% *}"
    done
    pictures_of_sample=$outdir/KVRS-M2A
    # lpoptions reads a queue's options from its PPD in the server's
    # directory when the server is a local socket (CUPS_SERVERROOT).
    chmod 0644 "$E2E_BASE"/etc/ppd/*.ppd
else
    start_printer KVRS-M2A M2A 127.0.0.1 "$E2E_BASE/out"
    pictures_of_sample=$E2E_BASE/out
fi

# The queue's defaults: error diffusion, so the gray wedge shows as shades.
id=$(e2e_print KVRS-M2A "$E2E_BASE/work/receipt.pdf" -t "Sample receipt")
e2e_log "job $id submitted; waiting for it to finish"
if ! state=$(e2e_wait_job "$id" "completed aborted canceled" 90) || [[ $state != completed ]]; then
    e2e_job_log "$id" | grep -E 'STATE:|INFO|ERROR|E \[' | tail -n 30 >&2 || true
    e2e_die "the job did not complete (state: ${state:-unknown})"
fi
# The emulator finishes its pictures as it ends.
[[ $mode == serve ]] || e2e_stop_all
took=$((EPOCHSECONDS - t0))

shopt -s nullglob
pictures=("$pictures_of_sample"/job-*.png)
((${#pictures[@]})) || e2e_die "the emulator drew no receipt (see $pictures_of_sample)"
rm -f "$outdir"/receipt-r*.png
n=0
for p in "${pictures[@]}"; do
    n=$((n + 1))
    cp "$p" "$(printf '%s/receipt-r%02d.png' "$outdir" "$n")"
done
cp "$pictures_of_sample"/*.events.jsonl "$outdir/receipt.events.jsonl" 2>/dev/null || true
cp "$E2E_BASE/work/receipt.pdf" "$outdir/receipt.pdf"
give_to_user "$outdir"

echo "print-receipt: printed in $took s (scheduler start, conversion, printing) onto the KVRS-M2A emulator, $road."
echo "print-receipt: the receipt's picture: $outdir/receipt-r01.png"
if ((n > 1)); then
    echo "print-receipt: (more receipts: $(cd "$outdir" && ls receipt-r*.png | tr '\n' ' '))"
fi
if [[ $mode != serve ]]; then
    echo "print-receipt: to print your own jobs with lp: tools/print-receipt.sh --serve"
    exit 0
fi

# --serve: tell the script outside that everything is up, then hold the
# namespace until --stop sends SIGTERM.
stopping=0
trap 'stopping=1' TERM
tmp=$QUEUES/ready.tmp
{
    echo "print-receipt: printed in $took s (scheduler start, conversion, printing) onto the KVRS-M2A emulator, $road."
    echo "print-receipt: the receipt's picture: $outdir/receipt-r01.png"
} >"$tmp"
mv "$tmp" "$QUEUES/ready"
while ((!stopping)); do
    sleep 3600 &
    wait $! || true
done
