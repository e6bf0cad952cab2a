#!/usr/bin/env bash
# Runs the demo inside the test namespace (called by ./quorvia demo).
# Usage: run.sh BUILD_TREE [--data DIR] [ARGS...] (x64 or x86); file arguments may be relative to the caller.
#
# With the scenario's service = quorvia (the default), the add-in talks to the
# real Quorvia service: this script starts it with its SQLite data in DIR
# (quorvia-data in the caller's folder, where `./quorvia serve` finds it
# again), creates the scenario's account there when missing, lets the stand-in
# Outlook send, then plays the message's readers (a recipient's mail client,
# Apple's privacy proxy) and shows the sender's report. The other services
# (internal, external) are the stand-in Outlook's own business.
set -uo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BUILD=$(cd "$1" && pwd) || exit 1; shift
SERVICE=${QUORVIA_SERVICE:-$(dirname "$BUILD")/service/quorvia-service}
DATA=$PWD/quorvia-data
WINE=$(bash "$HERE/../tests/tools/wine-loader.sh" "$BUILD/bin/outlook_standin.exe") || exit 1
args=()
body_out=
while [ $# -gt 0 ]; do
    case "$1" in
    --data)
        DATA=$(realpath -m "$2"); shift 2 ;;
    --body-out)
        body_out=$(realpath -m "$2"); args+=("$1" "$body_out"); shift 2 ;;
    --scenario)
        args+=("$1" "$(realpath -m "$2")"); shift 2 ;;
    *)
        args+=("$1"); shift ;;
    esac
done
cd "$BUILD/bin" || exit 1

# Which service, and the account the add-in will sign in with.
account=$("$WINE" outlook_standin.exe "${args[@]}" --print-account) || { echo "$account"; exit 2; }
kind=$(sed -n 's/^service=//p' <<<"$account" | tr -d '\r')
login=$(sed -n 's/^login=//p' <<<"$account" | tr -d '\r')
password=$(sed -n 's/^password=//p' <<<"$account" | tr -d '\r')
if [ "$kind" != quorvia ]; then
    "$WINE" outlook_standin.exe "${args[@]}"
    exit $?
fi

if [ ! -x "$SERVICE" ]; then
    echo "run.sh: the service program $SERVICE is missing (./quorvia demo builds it)" >&2
    exit 1
fi
# shellcheck source=../tests/tools/real-service.sh
source "$HERE/../tests/tools/real-service.sh"
CA=$BUILD/tls/test-ca.crt
work=$(mktemp -d)
finish() {
    real_service_stop
    # Run as root (the namespace needs it), the data still belongs to whoever
    # owns the folder it is in, so that `./quorvia serve` as them can open it.
    [ "$(id -u)" = 0 ] && [ -d "$DATA" ] && chown -R --reference="$(dirname "$DATA")" "$DATA"
    rm -rf "$work"
}
trap finish EXIT
if [ -z "$body_out" ]; then
    body_out=$work/body.html
    args+=(--body-out "$body_out")
fi

printf '\n== The Quorvia service starts, its data in %s\n' "$DATA"
if [ -n "$login" ]; then
    real_service_account "$SERVICE" "$DATA" "$login" "$password" || exit 1
fi
real_service_start "$SERVICE" "$DATA" "$work/service.log" "$CA" || exit 1
sed 's/^/  /' "$work/service.log"

"$WINE" outlook_standin.exe "${args[@]}"
status=$?

# Usage: fetch_pixel USER_AGENT FORWARDED_FOR
fetch_pixel() {
    printf '  GET %s\n  User-Agent: %s\n  X-Forwarded-For: %s\n' "$pixel" "$1" "$2"
    curl -s --cacert "$CA" -A "$1" -H "X-Forwarded-For: $2" -o /dev/null \
         -w '  -> %{http_code} %{content_type}, %{size_download} bytes\n' "$pixel" || status=1
}

printf '\n== The fragment the service issued, as it went out in the message\n'
fragment=$(grep -ao '<img alt="qvmk" src="https://[^"]*/t/[A-Za-z0-9_-]*\.gif"[^>]*>' "$body_out" | head -n 1)
if [ -n "$fragment" ]; then
    echo "  $fragment"
    pixel=$(sed 's/.* src="\([^"]*\)".*/\1/' <<<"$fragment")
    printf '\n== A recipient opens the message in Thunderbird and allows its images\n'
    fetch_pixel "Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:128.0) Gecko/20100101 Thunderbird/128.5.0" 198.51.100.23
    printf '\n== Another recipient'"'"'s Apple Mail Privacy Protection fetches the images on delivery\n'
    fetch_pixel "Mozilla/5.0" 203.0.113.9
    printf '\n== What the sender sees: GET %s/api/v1/messages?limit=1 (HTTP Basic, %s)\n' "$REAL_SERVICE_URL" "$login"
    curl -s --cacert "$CA" -u "$login:$password" "$REAL_SERVICE_URL/api/v1/messages?limit=1" \
        | python3 "$HERE/sender-report.py" || status=1
else
    echo "  none: the message went out untracked, or was not sent; the service has nothing new to report"
fi
printf '\n== See it in a browser\n'
printf '  The data stays in %s. In %s run\n    ./quorvia serve\n' "$DATA" "$(dirname "$DATA")"
if [ -n "$login" ]; then
    printf '  then open http://127.0.0.1:8080/ and sign in as %s with the password %s:\n' "$login" "$password"
    printf '  the read report lists the demo'"'"'s messages, newest first, each with its opens.\n'
fi
exit $status
