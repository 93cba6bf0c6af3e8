# shellcheck shell=bash
# Shell harness for end-to-end jobs through a real, private CUPS scheduler.
# Sourced (bash) by tools/print-receipt.sh and the tests in tests/e2e.
#
# Everything lives under one temporary directory, $E2E_BASE: the scheduler's
# configuration, spool, logs and program directory, the emulator's output.
# Nothing touches the system's CUPS: the scheduler has its own ServerRoot,
# listens on 127.0.0.1 only, and must run inside a private network and PID
# namespace (e2e_enter_namespace), so that two harnesses never meet and
# nothing outlives its caller.
#
#   e2e_enter_namespace "$0" "$@"  re-run the calling script in its own
#                                   namespaces (no-op when already inside)
#   e2e_init                        make $E2E_BASE, a fresh temporary directory
#   e2e_cups_start FILTER [BACKEND] start cupsd with FILTER as rastertovem
#                                   (and BACKEND as vemcupsintf)
#                                   ("installed": the one in the system's
#                                   filter directory, as installed)
#   e2e_emulator_start EMU [ARGS]   start kvrs-emulator on $E2E_EMU_ADDR
#                                   (default 127.0.0.1:9100)
#   e2e_add_queue NAME PPD [ARGS]   add a queue on $E2E_DEVICE_URI (default
#                                   socket://$E2E_EMU_ADDR)
#   e2e_print QUEUE FILE [ARGS]     submit a job, print its id
#   e2e_poll SECS CMD...            retry CMD until it succeeds or time runs out
#   e2e_wait_job ID STATES SECS     wait until the job's state is in STATES
#   e2e_printer_attrs QUEUE         printer-state, -reasons, -message
#   e2e_make_receipt_pdf OUT        the sample receipt (one page)
#   e2e_make_pages_pdf OUT N        N numbered pages
#   e2e_daemon_start WARDLINKD [VAR=VALUE...]
#                                   start the port-sharing daemon
#   e2e_stop_all                    stop emulators, scheduler and daemon
#
# Needs root (cupsd drops to lp for filters), cups, cups-filters,
# cups-ipp-utils, ghostscript and iproute2.

E2E_TOOLS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
E2E_CUPS_PORT=${E2E_CUPS_PORT:-8631}
E2E_EMU_ADDR=${E2E_EMU_ADDR:-127.0.0.1:9100}
# CUPS's socket backend asks the printer's address by SNMP before it
# connects; with nobody answering that costs about three seconds a job.
E2E_EMU_SNMP=${E2E_EMU_SNMP:-127.0.0.1:161}
E2E_SYSTEM_SERVERBIN=${E2E_SYSTEM_SERVERBIN:-/usr/lib/cups}
E2E_CUPSD_PID=
E2E_EMU_PID=
E2E_EMU_PIDS=() # every emulator started, for e2e_stop_all
E2E_DAEMON_PID=
[[ -v E2E_BACKEND_ENV ]] || E2E_BACKEND_ENV=()

e2e_log() { echo "[e2e] $*" >&2; }
e2e_die() {
    echo "[e2e] FAIL: $*" >&2
    exit 1
}

# Re-runs the calling script inside fresh network, PID and mount
# namespaces with only loopback up.  E2E_IN_NS marks the inner run.  The
# script becomes the namespace's first process: when it ends, the kernel
# ends every process left in the namespace (a scheduler, an emulator, the
# daemon), and --kill-child ends the script if unshare itself is killed (a
# time-out).  /tmp and /dev/shm are fresh in there: the daemon's pipes and
# the port locks live at fixed names, which must never meet those of a
# daemon installed on the machine.
E2E_NS_CMD=(unshare --net --pid --fork --kill-child --mount-proc --
    bash -c 'ip link set lo up || exit 1
             export E2E_IN_NS=$$; exec "$0" bash "$@"' "$E2E_TOOLS/../private-tmp.sh")
e2e_enter_namespace() {
    [[ ${E2E_IN_NS:-} != "$$" ]] || return 0
    [[ $(id -u) -eq 0 ]] || e2e_die "needs root (a private network namespace and a CUPS scheduler)"
    exec "${E2E_NS_CMD[@]}" "$@"
}

# e2e_init: the directory tree every other step uses.  It lives in
# /var/tmp, not $TMPDIR: every directory on the way to what filters read
# must be searchable by lp, which runs them; and not in /tmp, which is the
# namespace's own and goes with it.  A caller may name an existing empty
# directory in E2E_BASE instead.
e2e_init() {
    [[ -n ${E2E_BASE:-} && -d ${E2E_BASE:-} ]] || E2E_BASE=$(mktemp -d /var/tmp/kvrs-e2e.XXXXXX)
    chmod 0755 "$E2E_BASE"
    mkdir -p "$E2E_BASE"/{etc,spool,cache,run,log,serverbin,lib,out,work}
    chmod 0755 "$E2E_BASE"/{etc,serverbin,lib,out,work}
    # The clients (lp, lpadmin, lpstat, cancel) talk to this scheduler only;
    # CUPS_SERVER wins over any client.conf.  No encryption on loopback.
    export CUPS_SERVER=127.0.0.1:$E2E_CUPS_PORT
    unset CUPS_ENCRYPTION || true
}

# e2e_cups_start FILTER [BACKEND]: writes the configuration, builds the
# program directory and starts cupsd in the foreground (in the background
# of this shell).  FILTER is copied in as rastertovem, BACKEND (if given)
# as vemcupsintf, owned by root, mode 0755: cupsd refuses programs that are
# not, and runs a backend that others may execute as lp, not root.  The
# scheduler clears a backend's environment: variables the backend needs
# (a preloaded fake device) go in E2E_BACKEND_ENV, an array of VAR=VALUE.
e2e_cups_start() {
    local filter=$1 backend=${2:-}
    [[ $filter == installed || -x $filter ]] || e2e_die "no filter program at $filter"
    local b=$E2E_BASE
    cat >"$b/etc/cupsd.conf" <<EOF
LogLevel debug
MaxLogSize 0
ErrorPolicy abort-job
JobRetryLimit 0
Listen 127.0.0.1:$E2E_CUPS_PORT
Listen $b/run/cups.sock
Browsing No
BrowseLocalProtocols none
DefaultShared No
WebInterface No
DefaultAuthType None
PreserveJobHistory Yes
PreserveJobFiles No
JobKillDelay 10
<Location />
  Order allow,deny
  Allow all
</Location>
EOF
    cat >"$b/etc/cups-files.conf" <<EOF
User lp
Group lp
SystemGroup root
FileDevice No
ServerRoot $b/etc
ServerBin $b/serverbin
DataDir /usr/share/cups
RequestRoot $b/spool
CacheDir $b/cache
StateDir $b/run
AccessLog $b/log/access_log
ErrorLog $b/log/error_log
PageLog $b/log/page_log
LogFilePerm 0644
Printcap $b/run/printcap
EOF
    # ServerBin: the system's helpers and filters by symlink, only the
    # socket backend (others would run network discovery), and our filter.
    local sb=$b/serverbin d f
    for d in cgi-bin daemon driver monitor notifier; do
        [[ -e $E2E_SYSTEM_SERVERBIN/$d ]] && ln -sfn "$E2E_SYSTEM_SERVERBIN/$d" "$sb/$d"
    done
    mkdir -p "$sb/filter" "$sb/backend"
    chmod 0755 "$sb/filter" "$sb/backend"
    for f in "$E2E_SYSTEM_SERVERBIN"/filter/*; do
        ln -sfn "$f" "$sb/filter/$(basename "$f")"
    done
    ln -sfn "$E2E_SYSTEM_SERVERBIN/backend/socket" "$sb/backend/socket"
    if [[ $filter == installed ]]; then
        [[ -e $sb/filter/rastertovem ]] ||
            e2e_die "no rastertovem in $E2E_SYSTEM_SERVERBIN/filter: is it installed?"
    else
        _e2e_install_program "$filter" filter rastertovem
    fi
    [[ -z $backend ]] || _e2e_install_program "$backend" backend vemcupsintf "${E2E_BACKEND_ENV[@]}"

    # No D-Bus: the scheduler would announce job events on the system bus.
    DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent \
        cupsd -f -c "$b/etc/cupsd.conf" -s "$b/etc/cups-files.conf" \
        >"$b/log/cupsd.out" 2>&1 &
    E2E_CUPSD_PID=$!
    _e2e_await_start "$E2E_CUPSD_PID" cupsd _e2e_cups_up
    e2e_log "cupsd (pid $E2E_CUPSD_PID) listening on $CUPS_SERVER and $b/run/cups.sock, files in $b"
}

# _e2e_install_program PROGRAM DIR NAME [VAR=VALUE...]: PROGRAM from a
# build tree as the scheduler's DIR/NAME.
_e2e_install_program() {
    local program=$1 dir=$2 name=$3 b=$E2E_BASE sb=$E2E_BASE/serverbin
    shift 3
    local env=("$@")
    # The program runs as lp and finds the project's libraries through its
    # build-tree RUNPATH.  When lp may not read them there (a checkout in a
    # 0700 home directory, as Debian 12 makes them), the program gets copies
    # of them and a small wrapper that names them; cupsd passes no
    # LD_LIBRARY_PATH to its programs itself.
    local soname path private=()
    while read -r soname path; do
        case "$path" in
            /lib/* | /usr/lib/* | /lib64/*) ;;
            /*) private+=("$soname=$path") ;;
        esac
    done < <(ldd "$program" | sed -n 's/^[[:space:]]*\([^ ]*\) => \(\/[^ ]*\) .*/\1 \2/p')
    local reachable=1 entry
    for entry in "${private[@]}"; do
        runuser -u lp -- test -r "${entry#*=}" || reachable=0
    done
    if ((reachable)) && ((${#env[@]} == 0)); then
        install -o root -g root -m 0755 "$program" "$sb/$dir/$name"
        return 0
    fi
    local real=$program
    if ((!reachable)); then
        e2e_log "user lp, which runs CUPS programs, cannot read the libraries of $name in the" \
            "build tree: using copies in $b/lib"
        for entry in "${private[@]}"; do
            install -o root -g root -m 0644 "${entry#*=}" "$b/lib/${entry%%=*}"
        done
        install -o root -g root -m 0755 "$program" "$b/lib/$name"
        real=$b/lib/$name
        env+=("LD_LIBRARY_PATH=$b/lib")
    fi
    {
        echo '#!/bin/sh'
        for entry in "${env[@]}"; do printf 'export %q\n' "$entry"; done
        printf 'exec %q "$@"\n' "$real"
    } >"$b/$name.wrapper"
    install -o root -g root -m 0755 "$b/$name.wrapper" "$sb/$dir/$name"
}

# lpstat -r exits 0 whether or not the scheduler runs: read its text.
_e2e_cups_up() { lpstat -r 2>/dev/null | grep -q "scheduler is running"; }

# _e2e_await_start PID NAME CMD...: waits up to 10 s for CMD to succeed;
# fails with the logs when the process PID ends first or time runs out.
_e2e_await_start() {
    local pid=$1 name=$2
    shift 2
    e2e_poll 10 _e2e_ready_or_gone "$pid" "$@" && kill -0 "$pid" 2>/dev/null && return 0
    cat "$E2E_BASE"/log/*.out "$E2E_BASE"/log/error_log >&2 2>/dev/null
    e2e_die "$name exited at start-up or was not ready within 10 s"
}
_e2e_ready_or_gone() { ! kill -0 "$1" 2>/dev/null || "${@:2}"; }

# e2e_poll SECS CMD...: runs CMD every 0.1 s until it succeeds (status 0)
# or SECS have passed (status 1).
e2e_poll() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.1
    done
}

# e2e_emulator_start EMU [ARGS...]: the virtual printer on $E2E_EMU_ADDR
# (and its SNMP agent on $E2E_EMU_SNMP), writing its job files to
# $E2E_EMU_OUT (default $E2E_BASE/out), with a control socket at
# $E2E_BASE/run/emu$E2E_EMU_TAG.ctl.  Waits for its ready file.  Set
# E2E_EMU_TAG (and another address) to run several at once.
e2e_emulator_start() {
    local emu=$1 tag=${E2E_EMU_TAG:-}
    shift
    [[ -x $emu ]] || e2e_die "no emulator program at $emu"
    E2E_EMU=$emu
    E2E_EMU_CTL=$E2E_BASE/run/emu$tag.ctl
    local ready=$E2E_BASE/run/emu$tag.ready
    rm -f "$ready"
    "$emu" --tcp "$E2E_EMU_ADDR" --snmp "$E2E_EMU_SNMP" --out "${E2E_EMU_OUT:-$E2E_BASE/out}" \
        --ctl "$E2E_EMU_CTL" --ready-file "$ready" "$@" >"$E2E_BASE/log/emulator$tag.out" 2>&1 &
    E2E_EMU_PID=$!
    E2E_EMU_PIDS+=("$E2E_EMU_PID")
    _e2e_await_start "$E2E_EMU_PID" emulator test -s "$ready"
    e2e_log "emulator (pid $E2E_EMU_PID) ready: $(tr '\n' ' ' <"$ready")"
}

# e2e_emulator_ctl ARGS...: set COND | clear COND | status | jobs
e2e_emulator_ctl() {
    "$E2E_EMU" ctl "$E2E_EMU_CTL" "$@"
}

# e2e_add_queue NAME PPD [LPADMIN ARGS...]: an enabled queue on the
# emulator through CUPS's own socket backend.
e2e_add_queue() {
    local name=$1 ppd=$2
    shift 2
    [[ -r $ppd ]] || e2e_die "no PPD at $ppd"
    # lpadmin warns that PPD drivers are deprecated; that warning is noise.
    lpadmin -p "$name" -E -v "${E2E_DEVICE_URI:-socket://$E2E_EMU_ADDR}" -P "$ppd" "$@" 2>&1 |
        grep -v -i "deprecated" >&2 || true
    lpstat -p "$name" >/dev/null 2>&1 || e2e_die "queue $name was not created"
}

# e2e_print QUEUE FILE [LP ARGS...]: prints the new job's id on stdout.
e2e_print() {
    local queue=$1 file=$2 out
    shift 2
    out=$(lp -d "$queue" "$@" "$file") || e2e_die "lp refused the job: $out"
    # "request id is Q-12 (1 file(s))"
    local id=${out#*request id is "$queue"-}
    id=${id%% *}
    [[ $id =~ ^[0-9]+$ ]] || e2e_die "no job id in: $out"
    echo "$id"
}

# e2e_job_attrs ID: state, reasons and message, as ipptool shows them.
e2e_job_attrs() {
    ipptool -t -d "job_id=$1" "ipp://$CUPS_SERVER/jobs" "$E2E_TOOLS/get-job.test" 2>/dev/null |
        grep -E '^ *job-'
}

# e2e_job_state ID: the job's state keyword (pending, processing, completed,
# aborted, canceled, processing-stopped, pending-held) on stdout.
e2e_job_state() {
    e2e_job_attrs "$1" | sed -n 's/^ *job-state (enum) = //p' | head -n 1
}

# e2e_wait_job ID "STATE..." SECONDS: waits until the job's state is one of
# STATES (space separated) and prints it; fails (status 1) when time runs
# out, leaving the diagnosis to the caller (e2e_job_attrs, e2e_job_log).
e2e_wait_job() {
    _E2E_STATE=
    if e2e_poll "$3" _e2e_job_in "$1" "$2"; then
        echo "$_E2E_STATE"
        return 0
    fi
    e2e_log "job $1: state '$_E2E_STATE' after ${3}s, wanted one of: $2"
    return 1
}
_e2e_job_in() {
    _E2E_STATE=$(e2e_job_state "$1")
    [[ -n $_E2E_STATE && " $2 " == *" $_E2E_STATE "* ]]
}

# e2e_printer_attrs QUEUE: printer-state, -reasons, -message, accepting.
e2e_printer_attrs() {
    ipptool -t "ipp://$CUPS_SERVER/printers/$1" "$E2E_TOOLS/get-printer.test" 2>/dev/null |
        grep -E '^ *printer-'
}

# e2e_job_log ID: the scheduler's log lines of one job.
e2e_job_log() {
    grep -F "[Job $1]" "$E2E_BASE/log/error_log" || true
}

# _e2e_end VAR: ends the process whose PID VAR holds (if any), waits for
# it and empties VAR, so that stopping twice is harmless.
_e2e_end() {
    [[ -n ${!1} ]] || return 0
    kill -TERM "${!1}" 2>/dev/null || true
    wait "${!1}" 2>/dev/null || true
    printf -v "$1" ''
}
# e2e_stop_emulator: the emulator started last.
e2e_stop_emulator() {
    local pid kept=()
    for pid in "${E2E_EMU_PIDS[@]}"; do
        [[ $pid == "$E2E_EMU_PID" ]] || kept+=("$pid")
    done
    E2E_EMU_PIDS=("${kept[@]}")
    _e2e_end E2E_EMU_PID
}

# e2e_daemon_start WARDLINKD [VAR=VALUE...]: the port-sharing daemon with
# the given environment (a preloaded fake device).  Started by the
# namespace's first process, it stays in the foreground of the namespace;
# waits until its main pipe exists.
e2e_daemon_start() {
    local daemon=$1
    shift
    [[ -x $daemon ]] || e2e_die "no daemon program at $daemon"
    env "$@" "$daemon" >"$E2E_BASE/log/wardlinkd.out" 2>&1 &
    E2E_DAEMON_PID=$!
    _e2e_await_start "$E2E_DAEMON_PID" wardlinkd test -p /tmp/cmn_intf_to_svr
    e2e_log "wardlinkd (pid $E2E_DAEMON_PID) serving /tmp/cmn_intf_to_svr"
}

e2e_stop_all() {
    local pid
    for pid in "${E2E_EMU_PIDS[@]}"; do
        _e2e_end pid
    done
    E2E_EMU_PIDS=()
    E2E_EMU_PID=
    _e2e_end E2E_CUPSD_PID
    # Last: the scheduler's backends are its clients.
    _e2e_end E2E_DAEMON_PID
}

# ---- Documents the tests print: made here, never downloaded ---------------

# _e2e_ps2pdf PS OUT: PostScript to PDF with ghostscript.
_e2e_ps2pdf() {
    gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -dAutoRotatePages=/None \
        -sOutputFile="$2" "$1" || e2e_die "ghostscript could not make $2"
}

# The page is the KVRS-M2A's 80 mm roll page (72 mm printable, 297 mm
# long); the receipt fills its top, the blank rest is trimmed by the filter.
E2E_PAGE_W=204.3
E2E_PAGE_H=841.9

# e2e_make_receipt_pdf OUT: a one-page shop receipt with text in two fonts,
# rules, a gray wedge (to show the halftoning) and a bar pattern.
e2e_make_receipt_pdf() {
    local out=$1 ps=${1%.pdf}.ps
    cat >"$ps" <<EOF
%!PS-Adobe-3.0
%%BoundingBox: 0 0 204 842
%%Pages: 1
%%EndComments
<< /PageSize [$E2E_PAGE_W $E2E_PAGE_H] >> setpagedevice
/W $E2E_PAGE_W def
/y $E2E_PAGE_H 20 sub def
/nl { y exch sub /y exch def } def
/center { dup stringwidth pop W exch sub 2 div y moveto show } def
/left { 8 y moveto show } def
/right { dup stringwidth pop W 8 sub exch sub y moveto show } def
/rule { 0.8 setlinewidth 8 y moveto W 8 sub y lineto stroke } def
/item { % (name) (price)
    /Courier findfont 9 scalefont setfont
    right left 12 nl } def
%%Page: 1 1
/Helvetica-Bold findfont 18 scalefont setfont (KVRS CAFE) center 16 nl
/Helvetica findfont 8 scalefont setfont
(12 Harbour Street, Portsmouth) center 10 nl
(Tel. 01632 960 123) center 14 nl
rule 14 nl
/Courier findfont 8 scalefont setfont
(Receipt 000142      Table 7) left 10 nl
(2026-03-14 09:05    Till 2) left 14 nl
rule 14 nl
(2 x Flat white) (7.00) item
(1 x Croissant) (2.80) item
(1 x Orange juice) (3.20) item
(1 x Soup of the day) (5.50) item
4 nl rule 16 nl
/Helvetica-Bold findfont 13 scalefont setfont
(TOTAL) left (18.50) right 16 nl
/Courier findfont 9 scalefont setfont
(Card) (18.50) item
(VAT 20% incl.) (3.08) item
6 nl
% a gray wedge, white to black, in ten steps
0 1 9 { /i exch def 1 i 9 div sub setgray
        8 i W 16 sub 10 div mul add y 18 sub W 16 sub 10 div 18 rectfill } for
0 setgray 26 nl
% a bar pattern
/x 23 def
[2 1 3 1 1 2 2 1 3 1 1 1 2 3 1 2 1 1 3 2 1 1 2 1 3 1 2 2 1 1 3 1 1 2 1 3 2 1 1 2]
0 1 2 index length 1 sub {   % every other module is a bar
    2 copy get 2.4 mul exch 2 mod 0 eq { x y 36 sub 2 index 36 rectfill } if
    x add /x exch def } for pop
54 nl
/Helvetica-Oblique findfont 10 scalefont setfont
(Thank you for your visit!) center 14 nl
showpage
%%EOF
EOF
    _e2e_ps2pdf "$ps" "$out"
}

# e2e_make_pages_pdf OUT N: N pages, each with its number in large type and
# a black bar whose length grows with the number.
e2e_make_pages_pdf() {
    local out=$1 n=$2 ps=${1%.pdf}.ps
    {
        echo "%!PS-Adobe-3.0"
        echo "<< /PageSize [$E2E_PAGE_W $E2E_PAGE_H] >> setpagedevice"
        local p
        for ((p = 1; p <= n; p++)); do
            cat <<EOF
/Helvetica-Bold findfont 28 scalefont setfont
10 790 moveto (Page $p of $n) show
10 760 $((p * 15)) 14 rectfill
showpage
EOF
        done
    } >"$ps"
    _e2e_ps2pdf "$ps" "$out"
}
