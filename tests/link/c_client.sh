#!/bin/bash
# Installs libwardlog and libwardlink into a staging directory, builds a C
# program there with `pkg-config --cflags --libs wardlink` alone (strict C99),
# and runs it.  Never installs into the machine's own directories.
# Usage: c_client.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=${1:?} src=${2:?}
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
for dir in vemlog interface_broad; do
    DESTDIR=$stage cmake -DCMAKE_INSTALL_PREFIX=/usr -P "$build/$dir/cmake_install.cmake" >/dev/null
done
pc=$(find "$stage" -name wardlink.pc)
[[ -n $pc ]] || { echo "FAIL: no wardlink.pc installed" >&2; exit 1; }
export PKG_CONFIG_PATH=$(dirname "$pc") PKG_CONFIG_LIBDIR=
flags=$(pkg-config --cflags --libs wardlink)
echo "pkg-config: $flags"
[[ -f $stage/usr/include/wardlink/VEMInterface.h ]] || { echo "FAIL: header not installed" >&2; exit 1; }
libdir=$(pkg-config --variable=libdir wardlink)
# rpath-link only because the staging directory is not where the linker
# looks for libwardlink's own dependency (libwardlog) by itself.
cc -std=c99 -pedantic-errors -Wall -Wextra -Werror -o "$stage/c_client" "$src/c_client.c" $flags \
    -Wl,-rpath-link,"$libdir"
LD_LIBRARY_PATH=$libdir "$stage/c_client" "$stage/receipt.bin"
echo "ok: C program built with pkg-config and ran"
