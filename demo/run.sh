#!/usr/bin/env bash
# Runs the demo inside the test namespace (called by ./quorvia demo).
# Usage: run.sh BUILD_X64 [ARGS...]; file arguments may be relative to the caller.
set -uo pipefail
BUILD=$1; shift
args=()
while [ $# -gt 0 ]; do
    case "$1" in
    --scenario|--body-out)
        args+=("$1" "$(realpath -m "$2")"); shift 2 ;;
    *)
        args+=("$1"); shift ;;
    esac
done
cd "$BUILD/bin" && /usr/lib/wine/wine64 outlook_standin.exe "${args[@]}"
