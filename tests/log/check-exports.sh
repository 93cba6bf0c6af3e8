#!/bin/bash
# Checks the public face of the logging library: its soname is
# libwardlog.so.0, its dynamic symbol table defines exactly the six logging
# operations, each at version v1.0, and the only version it defines is v1.0.
#   check-exports.sh <path of the built library>
set -euo pipefail

lib=${1:?usage: check-exports.sh <libwardlog.so>}
expected="CancelLogFile DbgByteData DbgLogMessage SetLogFileCount SetLogFilename SetLogLevel"
status=0
fail() {
    echo "FAIL: $*" >&2
    status=1
}

soname=$(objdump -p "$lib" | awk '$1 == "SONAME" { print $2 }')
[[ $soname == libwardlog.so.0 ]] || fail "soname is '$soname', expected libwardlog.so.0"

# objdump -T columns: value, flags, section, size, version, name.  The flag
# column may be blank or several words, so read the last three fields.
table=$(objdump -T "$lib")
defined=$(awk 'NF >= 4 && $1 ~ /^[0-9a-f]+$/ && $0 !~ /\*UND\*/ { print $(NF-1), $NF }' \
          <<<"$table" | sort)

# The version definition shows up as an absolute symbol named after itself.
versions=$(awk '$1 == $2 { print $2 }' <<<"$defined")
[[ $versions == v1.0 ]] || fail "version definitions are '$versions', expected v1.0"

symbols=$(awk '$1 != $2 { print $2 }' <<<"$defined" | sort | xargs)
[[ $symbols == "$expected" ]] || fail "defined symbols are '$symbols', expected '$expected'"

while read -r version name; do
    [[ $version == "$name" ]] && continue
    [[ $version == v1.0 ]] || fail "$name has version '$version', expected v1.0"
done <<<"$defined"

if ((status != 0)); then
    echo "--- objdump -T $lib" >&2
    echo "$table" >&2
else
    echo "ok: $lib exports $symbols at v1.0, soname $soname"
fi
exit $status
