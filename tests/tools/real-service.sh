# Runs the real Quorvia service inside the test namespace, for the demo and the
# end-to-end test. Sourced, not run. It serves plain HTTP on 127.0.0.1:80; the
# namespace's TLS front on 443 (in-namespace.sh) terminates the add-in's HTTPS
# before it, as a reverse proxy would in production. So every request reaches
# the service from 127.0.0.1, and a fetch from elsewhere (a recipient's) says
# where it comes from in X-Forwarded-For, which the service is told to trust.
#
#   real_service_account SERVICE DATA EMAIL PASSWORD   creates the account unless it exists
#   real_service_start SERVICE DATA LOG CA             returns once the service answers through the front
#   real_service_stop                                  stops it (callers call it on exit too)
#
# REAL_SERVICE_URL is the add-in's service base, https://HOST.

REAL_SERVICE_URL=https://$(sed -n 's/^#define QUORVIA_SERVICE_HOST "\(.*\)"/\1/p' \
    "$(dirname "${BASH_SOURCE[0]}")/../../src/com/Identity.h")
REAL_SERVICE_PID=

real_service_account() {
    local service=$1 data=$2 email=$3 password=$4 said
    if said=$(printf '%s\n' "$password" | "$service" account add "$email" --data "$data" 2>&1); then
        echo "  $said"
    elif [[ "$said" == *"has an account already"* ]]; then
        echo "  the account $email is there already (in $data)"
    else
        echo "real-service.sh: cannot create the account $email: $said" >&2
        return 1
    fi
}

real_service_start() {
    local service=$1 data=$2 log=$3 ca=$4
    "$service" serve --listen 127.0.0.1:80 --data "$data" --trust-forwarded-for </dev/null >"$log" 2>&1 &
    REAL_SERVICE_PID=$!
    for _ in $(seq 100); do
        curl -sf --cacert "$ca" -o /dev/null "$REAL_SERVICE_URL/healthz" && return 0
        kill -0 "$REAL_SERVICE_PID" 2>/dev/null || break
        sleep 0.1
    done
    echo "real-service.sh: the service did not answer at $REAL_SERVICE_URL/healthz:" >&2
    cat "$log" >&2
    real_service_stop
    return 1
}

real_service_stop() {
    [ -n "$REAL_SERVICE_PID" ] || return 0
    kill "$REAL_SERVICE_PID" 2>/dev/null
    wait "$REAL_SERVICE_PID" 2>/dev/null
    REAL_SERVICE_PID=
}
