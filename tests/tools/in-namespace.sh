#!/usr/bin/env bash
# Runs inside `unshare -n -m`: brings up loopback, maps the service host name to
# 127.0.0.1, prepares the Wine prefix and starts a wineserver of this namespace.
# Usage: in-namespace.sh BUILD_DIR COMMAND...
set -uo pipefail
BUILD=$1; shift
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
SERVICE_HOST=$(sed -n 's/^#define QUORVIA_SERVICE_HOST "\(.*\)"/\1/p' "$ROOT/src/addin/Identity.h")

ip link set lo up
printf '127.0.0.1 localhost %s\n::1 localhost\n' "$SERVICE_HOST" > "$BUILD/hosts"
mount --bind "$BUILD/hosts" /etc/hosts

export WINEPREFIX=${WINEPREFIX:-$BUILD/x64/wineprefix}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

"$WINESERVER" -p </dev/null >/dev/null 2>&1
if [ ! -f "$WINEPREFIX/.quorvia-ready" ]; then
    echo "== creating the Wine prefix $WINEPREFIX"
    "$WINE" wineboot -i >/dev/null 2>&1
    # Headless windows, dialogs and clipboard without an X server.
    "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    "$WINESERVER" -w
    "$WINESERVER" -p </dev/null >/dev/null 2>&1
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
exit $rc
