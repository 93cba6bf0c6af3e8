#!/bin/bash
# libwardlog's public face: soname libwardlog.so.0, and defined dynamic symbols
# that are exactly the six operations and the node v1.0, all at version v1.0.
set -euo pipefail
lib=${1:?usage: check-exports.sh <libwardlog.so>}
soname=$(objdump -p "$lib" | awk '$1 == "SONAME" { print $2 }')
# objdump -T: value, flags (blank or several words), section, size, version, name.
got=$(objdump -T "$lib" | awk 'NF >= 4 && $1 ~ /^[0-9a-f]+$/ && !/\*UND\*/ { print $(NF-1), $NF }' |
      LC_ALL=C sort -k2 | xargs)
want="v1.0 CancelLogFile v1.0 DbgByteData v1.0 DbgLogMessage v1.0 SetLogFileCount"
want+=" v1.0 SetLogFilename v1.0 SetLogLevel v1.0 v1.0"
[[ $soname == libwardlog.so.0 && $got == "$want" ]] || { echo "FAIL: '$soname' '$got'" >&2; exit 1; }
