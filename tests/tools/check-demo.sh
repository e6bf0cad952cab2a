#!/usr/bin/env bash
# Runs the demo's default scenario (first start, tracked send of a message in
# several scripts, tracking switched on by the compose window's ribbon toggle
# in today's Outlook) and compares the sent body byte for byte with the expected one.
# Usage: check-demo.sh BUILD_TREE (x64 or x86)
set -u
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
out=$(mktemp)
trap 'rm -f "$out" "$out.log"' EXIT
if ! bash "$ROOT/demo/run.sh" "$1" --body-out "$out" >"$out.log" 2>&1; then
    echo "FAIL: the demo exited non-zero"; cat "$out.log"; exit 1
fi
if ! cmp -s "$out" "$HERE/demo-expected-body.html"; then
    echo "FAIL: the sent body differs from the expected one"; diff <(cat "$HERE/demo-expected-body.html") "$out"; exit 1
fi
grep -q "UI: ribbon" "$out.log" || { echo "FAIL: today's Outlook did not show the add-in's ribbon"; exit 1; }
grep -q "QuorviaTracking: pressed" "$out.log" || { echo "FAIL: the ribbon's Tracking toggle is not pressed"; exit 1; }
grep -q "Release()  *-> 0" "$out.log" || { echo "FAIL: the add-in was not released to 0"; exit 1; }
grep -q "DllCanUnloadNow()  *-> 0x00000000" "$out.log" || { echo "FAIL: DllCanUnloadNow"; exit 1; }
echo "demo: tracked through the ribbon, sent body matches, add-in released, DLL can unload"
