#!/usr/bin/env bash
# End to end: the shipped add-in, in the stand-in Outlook under Wine, sends a
# tracked message through the real Quorvia service over HTTPS (the
# namespace's TLS front, real-service.sh); the mail goes out carrying the
# service's fragment; the sender's own Outlook showing the sent copy is not
# taken for a reader; a recipient's Thunderbird fetching the pixel makes the
# message "opened" in the sender's list (HTTP Basic).
# Usage: check-end-to-end.sh BUILD_TREE SERVICE_PROGRAM
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
CA=$BUILD/tls/test-ca.crt
LOGIN=e2e@quorvia.example
PASSWORD='e2e pass word'
SUBJECT='Budget 📈 / Бюджет'
BODY='<html><body><p>Numbers attached.</p></body></html>'
work=$(mktemp -d)
trap 'real_service_stop; rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $*"
    echo "--- service log"; cat "$work/service.log" 2>/dev/null
    echo "--- stand-in Outlook"; cat "$work/outlook.log" 2>/dev/null
    exit 1
}

real_service_account "$SERVICE" "$work/data" "$LOGIN" "$PASSWORD" || fail "account add"
real_service_start "$SERVICE" "$work/data" "$work/service.log" "$CA" || fail "the service did not start"

# The account goes to the registry as a user would have stored it; the add-in
# posts it with the message. A scenario file, not --set: Wine hands a program
# its command line in the ANSI code page, which has no room for this subject.
WINE=$(bash "$HERE/wine-loader.sh" "$BUILD/bin/outlook_standin.exe") || exit 1
printf '%s\n' "service = external" "login = $LOGIN" "password = $PASSWORD" "to = Пётр <petr@example.org>; bob@example.com" \
    "cc =" "bcc =" "subject = $SUBJECT" "body = $BODY" "tracking = on" >"$work/scenario.txt"
(cd "$BUILD/bin" && "$WINE" outlook_standin.exe --scenario "$work/scenario.txt" --body-out "$work/body.html") \
    >"$work/outlook.log" 2>&1 || fail "the stand-in Outlook exited non-zero"
grep -q "^  sent$" "$work/outlook.log" || fail "the message was not sent"

# The service's fragment, just before </body>, and nothing else changed.
token=$(sed -nE 's#.*<img alt="qvmk" src="https://www\.quorvia\.com/t/([A-Za-z0-9_-]{22})\.gif" width="1" height="1" style="display:block;border:0"></body></html>$#\1#p' "$work/body.html")
[ -n "$token" ] || fail "the sent body does not carry the service's fragment: $(cat "$work/body.html")"
expected="${BODY%</body></html>}<img alt=\"qvmk\" src=\"https://www.quorvia.com/t/$token.gif\" width=\"1\" height=\"1\" style=\"display:block;border:0\"></body></html>"
[ "$(cat "$work/body.html")" = "$expected" ] || fail "the sent body is not the message and the fragment: $(cat "$work/body.html")"
pixel=$REAL_SERVICE_URL/t/$token.gif

# Usage: fetch USER_AGENT [HEADER]: the pixel, as that client; checks it is the image.
fetch() {
    local got
    got=$(curl -s --cacert "$CA" -A "$1" ${2:+-H "$2"} -o "$work/pixel.gif" -w '%{http_code} %{content_type}' "$pixel")
    [ "$got" = "200 image/gif" ] && [ "$(head -c 6 "$work/pixel.gif")" = GIF89a ] || fail "pixel fetch as $1: $got"
}
# Usage: expect_report PYTHON_CONDITION: about the newest message, `m`.
expect_report() {
    curl -s --cacert "$CA" -u "$LOGIN:$PASSWORD" "$REAL_SERVICE_URL/api/v1/messages" >"$work/messages.json"
    python3 - "$work/messages.json" "$1" "$SUBJECT" <<'PY' || fail "the sender's list: $1: $(cat "$work/messages.json")"
import json, sys
page = json.load(open(sys.argv[1], encoding="utf-8"))
m, subject = page["messages"][0], sys.argv[3]
kinds = [(o["kind"], o["rule"], o["address"]) for o in m["opens"]]
sys.exit(0 if len(page["messages"]) == 1 and eval(sys.argv[2]) else 1)
PY
}

expect_report 'm["subject"] == subject and "petr@example.org" in m["recipients"] and "bob@example.com" in m["recipients"] and m["status"] == "unopened" and kinds == []'
# The sender's Outlook shows its sent copy from the address it posted from.
fetch "Mozilla/4.0 (compatible; ms-office; MSOffice 16)"
expect_report 'm["status"] == "unopened" and kinds == [("sender", "sender-address", "127.0.0.0/24")]'
# A recipient's desktop client, elsewhere.
fetch "Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:128.0) Gecko/20100101 Thunderbird/128.5.0" "X-Forwarded-For: 198.51.100.23"
expect_report 'm["status"] == "opened" and m["first_opened_at"] and kinds[1:] == [("person", "thunderbird", "198.51.100.0/24")]'
echo "end to end: sent through the real service over HTTPS, fragment in the body, opened by a recipient"
