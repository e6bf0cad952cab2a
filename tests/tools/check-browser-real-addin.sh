#!/usr/bin/env bash
# A person's browser sees what the shipped add-in sent: the real service (as
# real-service.sh runs it behind the namespace's TLS front), a headless
# Chromium on its pages at http://127.0.0.1:80 signs up and in, the add-in in
# the stand-in Outlook sends through https://HOST with that account, and
# the message turns from not yet to opened when a recipient fetches its pixel
# (service/tests/browser/pages_test.py, in its --outlook mode).
# Usage: check-browser-real-addin.sh BUILD_TREE SERVICE_PROGRAM
set -u
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BUILD=$(cd "$1" && pwd) || exit 1
SERVICE=${2:-}
if [ -z "$SERVICE" ]; then
    echo "SKIP: no service program given (configure with -DQUORVIA_SERVICE=..., as ./quorvia does)"
    exit 77
fi
# shellcheck source=real-service.sh
source "$HERE/real-service.sh"
work=$(mktemp -d)
trap 'real_service_stop; rm -rf "$work"' EXIT

real_service_start "$SERVICE" "$work/data" "$work/service.log" "$BUILD/tls/test-ca.crt" || exit 1
# Debian's python3, which has python3-selenium; the script skips (77) without it or Chromium.
/usr/bin/python3 "$HERE/../../service/tests/browser/pages_test.py" --service-url http://127.0.0.1:80 --outlook "$BUILD"
rc=$?
if [ "$rc" -ne 0 ] && [ "$rc" -ne 77 ]; then
    echo "--- service log"; cat "$work/service.log"
fi
exit "$rc"
