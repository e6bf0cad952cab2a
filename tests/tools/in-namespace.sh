#!/usr/bin/env bash
# Runs inside `unshare -n -m`: brings up loopback, maps the service host name to
# 127.0.0.1, prepares the tree's Wine prefix and starts a wineserver of this namespace.
# Usage: in-namespace.sh BUILD_TREE x64|x86 COMMAND...
# Each tree has its own prefix, so neither suite sees what the other registered.
set -uo pipefail
TREE=$(cd "$1" && pwd) || exit 1   # Wine wants an absolute WINEPREFIX
ARCH=$2; shift 2
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
SERVICE_HOST=$(sed -n 's/^#define QUORVIA_SERVICE_HOST "\(.*\)"/\1/p' "$ROOT/src/addin/Identity.h")

ip link set lo up
printf '127.0.0.1 localhost %s\n::1 localhost\n' "$SERVICE_HOST" > "$TREE/hosts"
mount --bind "$TREE/hosts" /etc/hosts

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
exit $rc
