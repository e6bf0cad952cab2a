#!/usr/bin/env bash
# Runs the demo's default scenario (first start, tracked send of a message in
# several scripts, tracking switched on by the compose window's ribbon toggle
# in today's Outlook) against the real service with fresh data, compares the
# sent body byte for byte with the expected one (the service's random token
# made TOKEN), and checks the readers' opens in the sender's report.
# Usage: check-demo.sh BUILD_TREE (x64 or x86) SERVICE_PROGRAM
set -u
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
if [ -z "${2:-}" ]; then
    echo "SKIP: no service program given (configure with -DQUORVIA_SERVICE=..., as ./quorvia does)"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! QUORVIA_SERVICE=$2 bash "$ROOT/demo/run.sh" "$1" --data "$work/data" --body-out "$work/body" >"$work/log" 2>&1; then
    echo "FAIL: the demo exited non-zero"; cat "$work/log"; exit 1
fi
sed -E 's#/t/[A-Za-z0-9_-]{22}\.gif"#/t/TOKEN.gif"#' "$work/body" >"$work/body.normal"
if ! cmp -s "$work/body.normal" "$HERE/demo-expected-body.html"; then
    echo "FAIL: the sent body differs from the expected one"; diff "$HERE/demo-expected-body.html" "$work/body.normal"; exit 1
fi
expect() {
    grep -qF -- "$1" "$work/log" || { echo "FAIL: $2"; cat "$work/log"; exit 1; }
}
expect "UI: ribbon" "today's Outlook did not show the add-in's ribbon"
expect "QuorviaTracking: pressed" "the ribbon's Tracking toggle is not pressed"
grep -q "Release()  *-> 0" "$work/log" || { echo "FAIL: the add-in was not released to 0"; exit 1; }
grep -q "DllCanUnloadNow()  *-> 0x00000000" "$work/log" || { echo "FAIL: DllCanUnloadNow"; exit 1; }
expect "Subject:    Quarterly numbers 📈 / Квартальные цифры" "the sender's report lacks the subject as sent"
expect "Status:     opened" "the sender's report does not say opened"
expect "person (rule thunderbird) from 198.51.100.0/24" "the recipient's open is missing"
expect "prefetch (rule apple-mpp) from 203.0.113.0/24" "the privacy proxy's prefetch is missing"
echo "demo: tracked through the ribbon, sent body matches, add-in released, DLL can unload, opens reported"
