#!/bin/bash
# The wardlink tool (libwardlink's public interface) on every kind of port,
# in direct mode and then through wardlinkd: the emulator over Ethernet (TCP
# data, UDP status, SNMP) and on a pty as a serial line, the fake USB bus
# and the fake ppdev port preloaded, and a file.  Each status is asked of a
# printer whose cover is open and paper nearly out, and must come back in
# words.
# Usage: tool_e2e.sh BUILD_DIR   (inside tools/ns-run.sh: it listens on 127.0.0.1)
set -uo pipefail
build=${1:?}
tool=$build/tools/wardlink/wardlink
emu=$build/tools/emulator/kvrs-emulator
fakeusb=$build/tools/fakeusb/libvemfakeusb.so
fakepp=$build/tools/fakeppdev/libfakeppdev.so
d=$(mktemp -d)
fails=0
daemon=$build/interface_broad/service/wardlinkd
cleanup() {
    [[ -n ${emupid:-} ]] && kill "$emupid" 2>/dev/null && wait "$emupid"
    [[ -n ${dpid:-} ]] && kill "$dpid" 2>/dev/null
    rm -rf "$d"
}
trap cleanup EXIT

# expect NAME WANT_RC PATTERN... -- COMMAND...: runs it, checks the exit
# status and that every pattern appears in its output.
expect() {
    local name=$1 want=$2; shift 2
    local pats=()
    while [[ $1 != -- ]]; do pats+=("$1"); shift; done
    shift
    local out rc
    out=$("$@" 2>&1); rc=$?
    local ok=1
    [[ $rc == "$want" ]] || ok=0
    for p in "${pats[@]}"; do grep -qF -- "$p" <<<"$out" || ok=0; done
    if ((ok)); then echo "ok: $name"; else
        echo "FAIL: $name (exit $rc, wanted $want)"; sed 's/^/    /' <<<"$out"; fails=1
    fi
}

printf 'Hello\n\x1bJ\x10\x1bi' >"$d/receipt.bin"
"$emu" --out "$d/emu" --tcp 127.0.0.1:9100 --udp 127.0.0.1:3000 --snmp 127.0.0.1:161 \
    --pty "$d/pty" --set cover-open --set paper-near-end --ready-file "$d/ready" \
    >"$d/emu.log" 2>&1 &
emupid=$!
for _ in $(seq 200); do [[ $(wc -l 2>/dev/null <"$d/ready") -ge 4 ]] && break; sleep 0.05; done

expect "help" 0 "status PORT" "cover open" -- "$tool" --help
expect "bad port" 2 "bad PORT" -- "$tool" status bogus:thing
expect "ethernet status" 0 "status: 00 04 00 0C 00 00" "  cover open" "  paper near end" -- \
    "$tool" status net:127.0.0.1:9100:3000
expect "ethernet send" 0 "11 bytes sent" -- "$tool" send net:127.0.0.1 "$d/receipt.bin"
expect "snmp identity" 0 "KVRS-M2A Receipt Printer" -- "$tool" snmp 127.0.0.1
expect "serial status" 0 "  cover open" "  paper near end" -- "$tool" status "serial:$d/pty:9600"
expect "serial send" 0 "11 bytes sent" -- "$tool" --single send "serial:$d/pty" "$d/receipt.bin"
expect "file send" 0 "11 bytes sent" -- "$tool" send "file:$d/out.txt:hex" "$d/receipt.bin"
[[ $(cat "$d/out.txt") == 48656C6C6F0A1B4A101B69 ]] || { echo "FAIL: file content"; fails=1; }

cat >"$d/usb.conf" <<CONF
device one vid=0xF1E0 pid=0x0002 serial=A1 conditions=cover-open,paper-near-end
device two vid=0xF1E0 pid=0x0001
CONF
export VEM_FAKEUSB_CONFIG=$d/usb.conf
expect "usb list" 0 "2 USB printer(s)" "usb:0xF1E0:0x0002" "usb:0xF1E0:0x0001" -- \
    env LD_PRELOAD="$fakeusb" "$tool" list-usb
expect "usb status" 0 "  cover open" "  paper near end" -- \
    env LD_PRELOAD="$fakeusb" "$tool" status usb:0xF1E0:0x0002:A1
expect "usb send" 0 "11 bytes sent" -- \
    env LD_PRELOAD="$fakeusb" "$tool" send usb:0xF1E0:0x0001 "$d/receipt.bin"
expect "usb missing" 1 "VEM_NODEVICE" -- \
    env LD_PRELOAD="$fakeusb" "$tool" send usb:0xF1E0:0x0009 "$d/receipt.bin"
unset VEM_FAKEUSB_CONFIG

mkdir -p "$d/par"
expect "parallel send" 0 "11 bytes sent" -- env LD_PRELOAD="$fakepp" FAKEPPDEV_DEVICE=/dev/parport7 \
    FAKEPPDEV_OUT="$d/par" "$tool" send parallel:/dev/parport7 "$d/receipt.bin"
ls "$d/par"/*.events.jsonl >/dev/null 2>&1 || { echo "FAIL: nothing reached the parallel port"; fails=1; }

# The same through the daemon, which gets the fakes preloaded.  It detaches
# itself unless its parent is process 1 (this script, run straight under
# tools/ns-run.sh); this private PID namespace holds only our processes, so
# the one wardlinkd in it is ours either way.
LD_PRELOAD="$fakeusb $fakepp" VEM_FAKEUSB_CONFIG=$d/usb.conf FAKEPPDEV_DEVICE=/dev/parport7 \
    FAKEPPDEV_OUT="$d/par" "$daemon" &
for _ in $(seq 200); do [[ -p /tmp/cmn_intf_to_svr ]] && break; sleep 0.05; done
# The one that is not a zombie: a detaching start leaves its first process
# unreaped here.
dpid=$(ps -o pid=,stat= -C wardlinkd | awk '$2 !~ /Z/ { print $1 }')
[[ -n $dpid ]] || { echo "FAIL: wardlinkd did not start"; exit 1; }
expect "service ethernet status" 0 "  cover open" "  paper near end" -- \
    "$tool" --service status net:127.0.0.1:9100:3000
expect "service ethernet send" 0 "11 bytes sent" -- \
    "$tool" --service send net:127.0.0.1 "$d/receipt.bin"
expect "service serial status" 0 "  cover open" -- "$tool" --service status "serial:$d/pty:9600"
expect "service usb status" 0 "  cover open" "  paper near end" -- \
    "$tool" --service status usb:0xF1E0:0x0002:A1
expect "service usb send" 0 "11 bytes sent" -- \
    "$tool" --service send usb:0xF1E0:0x0001 "$d/receipt.bin"
expect "service parallel send" 0 "11 bytes sent" -- \
    "$tool" --service send parallel:/dev/parport7 "$d/receipt.bin"
expect "service file send" 0 "11 bytes sent" -- "$tool" --service send "file:$d/svc.bin" "$d/receipt.bin"
# Its stop ends by removing the main FIFO pair; the next test must not meet
# a daemon still stopping on those files.
kill "$dpid"
gone() { [[ ! -e /tmp/cmn_intf_to_svr ]] && { ! kill -0 "$dpid" 2>/dev/null ||
                                               grep -q '^State:.*Z' "/proc/$dpid/status"; }; }
for _ in $(seq 300); do gone && break; sleep 0.05; done
gone || { echo "FAIL: wardlinkd did not stop"; fails=1; kill -KILL "$dpid"; }
rm -f /tmp/cmn_intf_to_svr /tmp/cmn_svr_to_intf
dpid=
[[ $(cat "$d/svc.bin") == $(cat "$d/receipt.bin") ]] || { echo "FAIL: service file content"; fails=1; }

kill "$emupid"; wait "$emupid"; emupid=
ls "$d/emu"/job-*-r01.png >/dev/null 2>&1 || { echo "FAIL: the emulator printed nothing"; fails=1; }
exit $fails
