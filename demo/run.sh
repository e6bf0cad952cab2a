#!/usr/bin/env bash
# Runs the demo inside the test namespace (called by ./quorvia demo).
# Usage: run.sh BUILD_TREE [ARGS...] (x64 or x86); file arguments may be relative to the caller.
set -uo pipefail
BUILD=$1; shift
WINE=$(bash "$(dirname "${BASH_SOURCE[0]}")/../tests/tools/wine-loader.sh" "$BUILD/bin/outlook_standin.exe") || exit 1
args=()
while [ $# -gt 0 ]; do
    case "$1" in
    --scenario|--body-out)
        args+=("$1" "$(realpath -m "$2")"); shift 2 ;;
    *)
        args+=("$1"); shift ;;
    esac
done
cd "$BUILD/bin" && "$WINE" outlook_standin.exe "${args[@]}"
