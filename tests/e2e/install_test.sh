#!/bin/bash
# An installed suite prints under CUPS with no manual step: "cmake --install"
# into the real paths, then a job through a scheduler that runs the installed
# filter with the installed PPD, with no LD_LIBRARY_PATH anywhere.
#
#   install_test.sh PREFIX BUILD_DIR C_COMPILER SANITIZE
#
# PREFIX "default" installs to the configured prefix, anything else is given
# to cmake --install --prefix.  The machine is never touched: the test runs
# in its own mount namespace, where throwaway overlays lie over /usr, /etc
# and /var; the install, the linker cache it refreshes and the log
# directory it makes all land in the overlays' upper layers, which vanish
# with the namespace.
set -eu

prefix=${1:?prefix or default}
BUILD=$(realpath "${2:?build dir}")
CC=${3:?C compiler}
SANITIZE=${4:?ON or OFF}
# shellcheck source=../../tools/e2e/harness.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../tools/e2e/harness.sh"
e2e_enter_namespace "$0" "$prefix" "$BUILD" "$CC" "$SANITIZE"
unset LD_LIBRARY_PATH

# Not in /var/tmp, the harness's usual place: /var is laid over below, and
# neither the overlays' own directories nor the scheduler's files may lie
# under what they cover (nor in this namespace's /tmp, which E2E_KEEP
# could not keep).
E2E_BASE=$(mktemp -d /run/kvrs-install.XXXXXX)
e2e_init
trap 'e2e_stop_all; [[ ${E2E_KEEP:-0} == 1 ]] && e2e_log "files kept in $E2E_BASE" || rm -rf "$E2E_BASE"' EXIT
fail() {
    e2e_log "FAIL: $*"
    exit 1
}

# Overlays over the install paths, in this namespace only (unshare made
# every mount private, so nothing propagates back to the machine).
ov=$E2E_BASE/overlay
for d in usr etc var; do
    mkdir -p "$ov/$d/upper" "$ov/$d/work"
    mount -t overlay "kvrs-$d" -o "lowerdir=/$d,upperdir=$ov/$d/upper,workdir=$ov/$d/work" "/$d" ||
        fail "cannot lay an overlay over /$d"
done

args=()
[[ $prefix == default ]] || args=(--prefix "$prefix")
cmake --install "$BUILD" "${args[@]}" >"$E2E_BASE/log/install.out" 2>&1 ||
    { cat "$E2E_BASE/log/install.out" >&2; fail "cmake --install failed"; }
[[ -e $ov/usr/upper/lib/cups/filter/rastertovem ]] || fail "the install did not land in the overlay"

# Where the library went, as the install itself reports it.
lib=$(sed -n 's/^-- \(Installing\|Up-to-date\): \(.*\/libwardlog\.so\.0\)$/\2/p' "$E2E_BASE/log/install.out" | head -n 1)
[[ -n $lib && -e $lib ]] || fail "libwardlog.so.0 not installed: $(cat "$E2E_BASE/log/install.out")"
libdir=$(dirname "$lib")
top=$(dirname "$libdir")
[[ $top == */lib ]] && top=$(dirname "$top")   # multiarch: <prefix>/lib/<triplet>

# The filter finds its library through the linker cache, not a RUNPATH.
filter=$(cups-config --serverbin)/filter/rastertovem
! readelf -d "$filter" | grep -Eq 'RPATH|RUNPATH' || fail "the installed filter carries a RUNPATH"
ldd "$filter" | grep -q "libwardlog.so.0 => $lib " || fail "ldd: $(ldd "$filter" | grep wardlog)"
e2e_log "ok: $filter finds $lib"

# Applications build against the log with pkg-config and run as installed.
export PKG_CONFIG_PATH=$libdir/pkgconfig
flags=$(pkg-config --cflags --libs wardlog) || fail "no pkg-config file for wardlog"
[[ $(pkg-config --variable=includedir wardlog) == "$top/include" && -r $top/include/VEMLogging.h &&
    $(pkg-config --variable=libdir wardlog) == "$libdir" ]] || fail "pkg-config: $(cat "$libdir/pkgconfig/wardlog.pc")"
cat >"$E2E_BASE/work/app.c" <<'EOF'
#include <VEMLogging.h>
int main(void) { SetLogLevel(1); DbgLogMessage(1, 7, LOG_ERRNO, "installed"); return 0; }
EOF
san=()
[[ $SANITIZE == ON ]] && san=("-fsanitize=address,undefined")
# shellcheck disable=SC2086 # the flags are words
"$CC" "${san[@]}" -o "$E2E_BASE/work/app" "$E2E_BASE/work/app.c" $flags || fail "cannot build against it"
"$E2E_BASE/work/app" | grep -q installed || fail "the application did not log through the library"
e2e_log "ok: VEMLogging.h and wardlog.pc in $top"

# A job through the installed filter and PPD, with the driver log on: the
# install made the log directory, writable by lp.
[[ $(stat -c %U /var/log/cups/vemcups) == lp ]] || fail "/var/log/cups/vemcups is not lp's"
ppd=$top/share/ppd/kvrs/kvrs-m2a.ppd
e2e_cups_start installed
e2e_emulator_start "$BUILD/tools/emulator/kvrs-emulator" --model M2A --paper 80
e2e_add_queue M2A "$ppd"
e2e_make_pages_pdf "$E2E_BASE/work/pages.pdf" 2
JOB=$(e2e_print M2A "$E2E_BASE/work/pages.pdf" -o LogLevel=31)
state=$(e2e_wait_job "$JOB" "completed aborted canceled processing-stopped" 120) || state=none
if [[ $state != completed ]]; then
    e2e_job_log "$JOB" | tail -n 30 >&2
    fail "job $JOB ended $state"
fi
grep -q 'CUPS filter exit with result:0' /var/log/cups/vemcups/vemcups.log ||
    fail "the filter wrote no log"
# The page log counts the pages the filter reported.
e2e_poll 10 grep -q "^M2A root $JOB .* total 2 " "$E2E_BASE/log/page_log" ||
    fail "page log: $(cat "$E2E_BASE/log/page_log" 2>&1)"
e2e_log "ok: job $JOB printed 2 pages through the installed filter and $ppd"
