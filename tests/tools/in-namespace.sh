#!/usr/bin/env bash
# Runs inside `unshare -n -m`: brings up loopback, maps the service host name to
# 127.0.0.1, puts TLS fronts before the stand-in service (see below), prepares
# the tree's Wine prefix and starts a wineserver of this namespace.
# Usage: in-namespace.sh BUILD_TREE x64|x86 COMMAND...
# Each tree has its own prefix, so neither suite sees what the other registered.
#
# HTTPS: tests keep running the stand-in service as plain HTTP on 127.0.0.1:80;
# in front of it, for the service host name,
#   127.0.0.1:443   TLS with a certificate of the test CA, which this namespace trusts
#   127.0.0.1:8443  TLS with a certificate of a CA that nothing trusts
# both passing the plaintext on to 127.0.0.1:80. The CAs and certificates are
# made once per tree, in BUILD_TREE/tls.
set -uo pipefail
TREE=$(cd "$1" && pwd) || exit 1   # Wine wants an absolute WINEPREFIX
ARCH=$2; shift 2
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
SERVICE_HOST=$(sed -n 's/^#define QUORVIA_SERVICE_HOST "\(.*\)"/\1/p' "$ROOT/src/com/Identity.h")

ip link set lo up
printf '127.0.0.1 localhost %s\n::1 localhost\n' "$SERVICE_HOST" > "$TREE/hosts"
mount --bind "$TREE/hosts" /etc/hosts

TLS=$TREE/tls
SYSTEM_CAS=/etc/ssl/certs/ca-certificates.crt
for tool in openssl socat; do
    command -v "$tool" >/dev/null || { echo "in-namespace.sh: $tool is not installed (./quorvia build installs it)" >&2; exit 1; }
done
bash "$ROOT/tests/tools/test-certificates.sh" "$TLS" "$SERVICE_HOST" || exit 1
# Wine's crypt32 reads its trusted roots from the system bundle: the test CA
# joins it here, before the wineserver and anything of Wine starts.
cat "$TLS/test-ca.crt" "$SYSTEM_CAS" > "$TLS/ca-bundle.crt"
mount --bind "$TLS/ca-bundle.crt" "$SYSTEM_CAS" || exit 1

FRONTS=()
stop_fronts() {
    local pid
    for pid in "${FRONTS[@]}"; do
        # A front forks one process per connection: those go with it.
        # shellcheck disable=SC2046 # one pid a word
        kill $(ps -o pid= --ppid "$pid") "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    FRONTS=()
}
trap stop_fronts EXIT
# Usage: start_front PORT CERTIFICATE
start_front() {
    local port=$1 certificate=$2 log=$TLS/front-$1.log
    : > "$log"
    # verify=0: the front asks no certificate of its clients. nodelay on both
    # sides, or small writes wait for delayed acknowledgements. shut-close:
    # when the service closes, so does the front; by default it sends a TLS
    # close_notify and waits for WinInet's, which never comes (hangs the client).
    socat -lf "$log" "OPENSSL-LISTEN:$port,bind=127.0.0.1,reuseaddr,fork,nodelay,shut-close,cert=$certificate,verify=0" \
        TCP:127.0.0.1:80,nodelay </dev/null &
    FRONTS+=($!)
    for _ in $(seq 50); do
        [ -n "$(ss -Hltn "sport = :$port")" ] && return 0
        kill -0 "$!" 2>/dev/null || break
        sleep 0.1
    done
    echo "in-namespace.sh: the TLS front on port $port did not start:" >&2
    cat "$log" >&2
    exit 1
}
start_front 443 "$TLS/service.pem"
start_front 8443 "$TLS/untrusted-service.pem"

# The add-in takes the system's proxy settings, and Wine reads these too:
# nothing in this namespace is behind a proxy.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
export WINEPREFIX=$TREE/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

# 32-bit programs need the prefix's syswow64, which wineboot fills only when
# 32-bit Wine was installed before the prefix was made.
SYSWOW64_KERNEL32=$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll
if [ "$ARCH" = x86 ] && [ -f "$WINEPREFIX/.quorvia-ready" ] && [ ! -f "$SYSWOW64_KERNEL32" ]; then
    echo "== the Wine prefix $WINEPREFIX has no 32-bit part: making it anew"
    rm -rf "$WINEPREFIX"
fi

"$WINESERVER" -p </dev/null >/dev/null 2>&1
if [ ! -f "$WINEPREFIX/.quorvia-ready" ]; then
    echo "== creating the Wine prefix $WINEPREFIX"
    "$WINE" wineboot -i >/dev/null 2>&1
    # Headless windows, dialogs and clipboard without an X server.
    "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    "$WINESERVER" -w
    "$WINESERVER" -p </dev/null >/dev/null 2>&1
    if [ "$ARCH" = x86 ] && [ ! -f "$SYSWOW64_KERNEL32" ]; then
        echo "in-namespace.sh: $WINEPREFIX has no syswow64: is 32-bit Wine (wine32:i386) installed?" >&2
        "$WINESERVER" -k >/dev/null 2>&1
        exit 1
    fi
    touch "$WINEPREFIX/.quorvia-ready"
fi
# A crashing test program ends at once instead of waiting in winedbg until
# ctest's timeout (while still holding port 80).
"$WINE" reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f >/dev/null 2>&1
# Start Wine's own background processes now, detached from our output: started
# by a test program they would inherit its pipes and hold ctest up.
"$WINE" wineboot </dev/null >/dev/null 2>&1

"$@"
rc=$?
"$WINESERVER" -k >/dev/null 2>&1
stop_fronts
exit $rc
