#!/usr/bin/env bash
# Runs every benchmark program of a build under Wine (called by ./quorvia bench
# inside the test namespace). Usage: run.sh BUILD_TREE [NAME_FILTER]
set -uo pipefail
BUILD=$1
FILTER=${2:-}
status=0
for exe in "$BUILD"/bin/*_bench.exe; do
    [ -e "$exe" ] || continue
    name=$(basename "$exe" .exe)
    [ -n "$FILTER" ] && [[ "$name" != *"$FILTER"* ]] && continue
    echo "== $name"
    wine=$(bash "$(dirname "${BASH_SOURCE[0]}")/../tests/tools/wine-loader.sh" "$exe") || { status=1; continue; }
    (cd "$BUILD/bin" && "$wine" "$exe") || status=1
done
exit $status
