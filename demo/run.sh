#!/usr/bin/env bash
# Runs the demo inside the test namespace (called by ./quorvia demo).
# Usage: run.sh BUILD_X64 [ARGS...]
set -uo pipefail
BUILD=$1; shift
cd "$BUILD/bin" && /usr/lib/wine/wine64 outlook_standin.exe "$@"
