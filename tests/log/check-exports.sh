#!/bin/bash
# The logging library's public face: soname libwardlog.so.0, and a dynamic
# symbol table that defines exactly the six operations and the version node
# v1.0 (listed as an absolute symbol of that name), all at version v1.0.
#   check-exports.sh <path of the built library>
set -euo pipefail
export LC_ALL=C
lib=${1:?usage: check-exports.sh <libwardlog.so>}
want="CancelLogFile DbgByteData DbgLogMessage SetLogFileCount SetLogFilename SetLogLevel v1.0"

soname=$(objdump -p "$lib" | awk '$1 == "SONAME" { print $2 }')
# objdump -T columns: value, flags, section, size, version, name.  The flags
# may be blank or several words, so read the last two fields.
table=$(objdump -T "$lib")
defined=$(awk 'NF >= 4 && $1 ~ /^[0-9a-f]+$/ && !/\*UND\*/ { print $(NF-1), $NF }' <<<"$table")
names=$(awk '{ print $2 }' <<<"$defined" | sort | xargs)
versions=$(awk '{ print $1 }' <<<"$defined" | sort -u | xargs)
if [[ $soname != libwardlog.so.0 || $names != "$want" || $versions != v1.0 ]]; then
    echo "FAIL: soname '$soname', symbols '$names', versions '$versions';" \
         "want libwardlog.so.0, '$want', v1.0" >&2
    echo "$table" >&2
    exit 1
fi
echo "ok: $lib exports $names at v1.0, soname $soname"
