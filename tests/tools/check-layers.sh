#!/usr/bin/env bash
# The add-in's subsystems depend one way only, as a newcomer would draw them:
# com at the bottom; log, http and settings on it; buttons and tracking on
# those (buttons may use tracking's switch); events on those; addin on top;
# the resource ids are for all.
# Fails on any #include that reaches up or sideways.
# Usage: check-layers.sh SRC_DIR
set -euo pipefail
SRC=$1
declare -A allowed=(
    [com]="resources"
    [log]="com resources"
    [http]="com resources"
    [settings]="com resources"
    [tracking]="com log http settings resources"
    [buttons]="com log http settings tracking resources"
    [events]="com log http settings tracking buttons resources"
    [addin]="com log http settings tracking buttons events resources"
)
status=0
for layer in "${!allowed[@]}"; do
    while IFS= read -r line; do
        file=${line%%:*}
        target=$(sed -n 's/.*#include "\([a-z]*\)\/.*/\1/p' <<<"$line")
        [ "$target" = "$layer" ] && continue
        if [[ " ${allowed[$layer]} " != *" $target "* ]]; then
            echo "check-layers: $file reaches $target/ from $layer/"
            status=1
        fi
    done < <(grep -H '#include "[a-z]*/' "$SRC/$layer"/* || true)
done
[ $status -eq 0 ] && echo "check-layers: every subsystem depends one way"
exit $status
