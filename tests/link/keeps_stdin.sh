#!/bin/bash
# A program that loads libwardlink keeps its standard input: a CUPS backend
# reads its print data there.  What runs as the library loads (the port
# drivers' reset) must close nothing it did not open, whatever order the
# library's initialisers run in.
set -euo pipefail
lib=${1:?usage: keeps_stdin.sh <libwardlink.so>}
out=$(printf 'print data\n' | LD_PRELOAD=$lib cat) || true
[[ $out == "print data" ]] || { echo "FAIL: cat read '$out' with $lib loaded" >&2; exit 1; }
