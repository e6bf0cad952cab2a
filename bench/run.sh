#!/usr/bin/env bash
# Runs every benchmark program of a build under Wine (called by ./quorvia bench
# inside the test namespace). Usage: run.sh BUILD_X64 [NAME_FILTER]
set -uo pipefail
BUILD=$1
FILTER=${2:-}
WINE=/usr/lib/wine/wine64
status=0
for exe in "$BUILD"/bin/*_bench.exe; do
    [ -e "$exe" ] || continue
    name=$(basename "$exe" .exe)
    [ -n "$FILTER" ] && [[ "$name" != *"$FILTER"* ]] && continue
    echo "== $name"
    (cd "$BUILD/bin" && "$WINE" "$exe") || status=1
done
exit $status
