#!/bin/bash
# libwardlink's public face: soname libwardlink.so.0, and defined dynamic
# symbols that are exactly the twenty operations and the node v1.0, all at v1.0.
set -euo pipefail
lib=${1:?usage: check-exports.sh <libwardlink.so>}
soname=$(objdump -p "$lib" | awk '$1 == "SONAME" { print $2 }')
got=$(objdump -T "$lib" | awk 'NF >= 4 && $1 ~ /^[0-9a-f]+$/ && !/\*UND\*/ { print $(NF-1), $NF }' |
      LC_ALL=C sort -k2 | xargs)
want=""
for s in brdcst_eth_printer init_LogCount init_LogFilename init_LogLevel init_close init_file \
         init_intf_type init_network init_parallel init_serial init_usb intf_lock intf_rcv_data \
         intf_reconnect intf_send_data intf_send_rtc intf_unlock scan_eth_printer scan_eth_snmp \
         scan_usb_printer; do
    want+="v1.0 $s "
done
want+="v1.0 v1.0"
[[ $soname == libwardlink.so.0 && $got == "$want" ]] || { echo "FAIL: '$soname' '$got'" >&2; exit 1; }
