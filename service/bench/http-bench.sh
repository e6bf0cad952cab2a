#!/usr/bin/env bash
# The service over HTTP, measured against nginx on the same machine in the
# same run, in a private network namespace (its ports clash with nothing):
#   pixel   wrk, 64 connections, GET /t/TOKEN.gif of known tokens (rotating,
#           a mail client's User-Agent), against nginx serving the same 43-byte
#           GIF as a static file; on SQLite and on PostgreSQL
#   feed    wrk, POST /index.php/messagefeed with a valid form, and how many
#           Argon2id verifications the server ran for them
#   memory  the server's RSS before and after a million opens (SQLite)
#
#   http-bench.sh BUILD_DIR [SECONDS] [OPENS]     (defaults: 10 s a run, 1000000 opens;
#                                                  QUORVIA_BENCH_ROUNDS=3 pixel rounds)
#
# Needs wrk, nginx (nginx-light), curl, and postgresql for the PostgreSQL run
# (skipped, saying so, without it). Every figure is also written to
# BUILD_DIR/http-bench.txt.
set -euo pipefail

if [ -z "${QUORVIA_BENCH_NAMESPACE:-}" ]; then
    QUORVIA_BENCH_NAMESPACE=1 exec unshare -n bash -c 'ip link set lo up && exec "$@"' _ bash "$0" "$@"
fi

BUILD=$(cd "${1:?usage: http-bench.sh BUILD_DIR [SECONDS] [OPENS]}" && pwd)
SECONDS_EACH=${2:-10}
OPENS=${3:-1000000}
ROUNDS=${QUORVIA_BENCH_ROUNDS:-3}
SERVICE=$BUILD/quorvia-service
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
CONNECTIONS=64
THREADS=2
SERVICE_PORT=8080
NGINX_PORT=8081
LOGIN=bench@example.com
PASSWORD=bench-password
USER_AGENT='Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:128.0) Gecko/20100101 Thunderbird/128.5.0'
for tool in wrk nginx curl; do
    command -v "$tool" >/dev/null || { echo "http-bench: $tool is missing (apt-get install wrk nginx-light curl)" >&2; exit 1; }
done
[ -x "$SERVICE" ] || { echo "http-bench: no $SERVICE; build the service first" >&2; exit 1; }

# A disk, not a tmpfs: a commit must cost its fsync.
WORK=$(mktemp -d /var/tmp/quorvia-http-bench.XXXXXX)
chmod 755 "$WORK"   # nginx's workers read their root as nobody
SERVER_PID=
NGINX_STARTED=
PG_STARTED=
cleanup() {
    [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null && wait "$SERVER_PID" 2>/dev/null
    [ -n "$NGINX_STARTED" ] && nginx -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" -s stop 2>/dev/null
    [ -n "$PG_STARTED" ] && bash "$HERE/../tests/postgres-cluster.sh" stop "$WORK/pg" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

REPORT=$BUILD/http-bench.txt
: >"$REPORT"
say() { echo "$*" | tee -a "$REPORT"; }

# --- the form the add-in posts: login and password as %XX bytes, to and subj as UTF-16LE
escape() { printf '%s' "$1" | od -An -v -tx1 | tr -d ' \n' | sed 's/../%&/g' | tr a-f A-F; }
escape16() { printf '%s' "$1" | od -An -v -tx1 | tr -d ' \n' | sed 's/../%&%00/g' | tr a-f A-F; }
FORM="login=$(escape "$LOGIN")&password=$(escape "$PASSWORD")&to=$(escape16 'bob@example.org')&subj=$(escape16 'Quarterly figures')&raw=1"
printf '%s' "$FORM" >"$WORK/form"

# --- wrk's scripts
cat >"$WORK/pixel.lua" <<'LUA'
-- GET /t/TOKEN.gif over the seeded tokens, each thread from its own place
local tokens = {}
for line in io.lines(os.getenv("QUORVIA_TOKENS")) do tokens[#tokens + 1] = line end
local next_token = 0
wrk.headers["User-Agent"] = os.getenv("QUORVIA_USER_AGENT")
function init(args) next_token = math.random(#tokens) end
function request()
    next_token = next_token % #tokens + 1
    return wrk.format("GET", "/t/" .. tokens[next_token] .. ".gif")
end
LUA
cat >"$WORK/feed.lua" <<'LUA'
wrk.method = "POST"
wrk.path = "/index.php/messagefeed"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
wrk.headers["User-Agent"] = "Microsoft Office/16.0 (Windows NT 10.0; Microsoft Outlook 16.0)"
wrk.body = io.open(os.getenv("QUORVIA_FORM")):read("*a")
LUA
# Stops each thread after its share of QUORVIA_LIMIT answers, and says so in
# QUORVIA_STOPPED: wrk itself sleeps out its duration, so run_count then stops it.
cat >"$WORK/count.lua" <<'LUA'
local share, answered = 0, 0
function setup(thread) thread:set("threads", tonumber(os.getenv("QUORVIA_THREADS"))) end
function init(args) share = math.ceil(tonumber(os.getenv("QUORVIA_LIMIT")) / threads) end
function response(status, headers, body)
    answered = answered + 1
    if answered == share then
        local stopped = io.open(os.getenv("QUORVIA_STOPPED"), "a")
        stopped:write("stopped\n")
        stopped:close()
        wrk.thread:stop()
    end
end
LUA
{ cat "$WORK/pixel.lua"; cat "$WORK/count.lua"; } >"$WORK/pixel-count.lua"

# wrk's figures: "RPS P99_MS NON_2XX" of its output.
wrk_figures() {
    awk '/Requests\/sec:/ { rps = $2 }
         /^ +99%/ { v = $2; if (v ~ /us$/) ms = v / 1000; else if (v ~ /ms$/) ms = v + 0; else ms = v * 1000 }
         /Non-2xx/ { bad = $NF }
         /Socket errors/ { bad = bad + 0 + 1 }
         END { printf "%.0f %.2f %d\n", rps, ms, bad }' "$1"
}

run_wrk() { # NAME PORT SCRIPT [wrk options]: its figures on standard output
    local name=$1 port=$2 script=$3; shift 3
    QUORVIA_TOKENS=$WORK/tokens QUORVIA_USER_AGENT=$USER_AGENT QUORVIA_FORM=$WORK/form \
        wrk -t"$THREADS" -c"$CONNECTIONS" -d"${SECONDS_EACH}s" --latency -s "$script" "$@" \
        "http://127.0.0.1:$port/" >"$WORK/$name.wrk" 2>&1
    wrk_figures "$WORK/$name.wrk"
}

# wrk until LIMIT answers: NAME LIMIT (its output in $WORK/NAME.wrk).
run_count() {
    local name=$1 limit=$2 wrk_pid
    : >"$WORK/stopped"
    QUORVIA_TOKENS=$WORK/tokens QUORVIA_USER_AGENT=$USER_AGENT QUORVIA_LIMIT=$limit QUORVIA_THREADS=$THREADS \
        QUORVIA_STOPPED=$WORK/stopped wrk -t"$THREADS" -c"$CONNECTIONS" -d1h -s "$WORK/pixel-count.lua" \
        "http://127.0.0.1:$SERVICE_PORT/" >"$WORK/$name.wrk" 2>&1 &
    wrk_pid=$!
    while [ "$(wc -l <"$WORK/stopped")" -lt "$THREADS" ] && kill -0 "$wrk_pid" 2>/dev/null; do sleep 0.2; done
    kill -INT "$wrk_pid" 2>/dev/null || true
    wait "$wrk_pid" || true
}

rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

# --- nginx: the same GIF as a static file, the same no-cache headers, no access log (the service keeps none)
start_nginx() {
    mkdir -p "$WORK/nginx/root" "$WORK/nginx/logs"
    curl -sf "http://127.0.0.1:$SERVICE_PORT/t/AAAAAAAAAAAAAAAAAAAAAA.gif" -o "$WORK/nginx/root/pixel.gif"
    [ "$(stat -c %s "$WORK/nginx/root/pixel.gif")" = 43 ] || { echo "http-bench: the pixel is not 43 bytes" >&2; exit 1; }
    chmod -R a+rX "$WORK/nginx"
    cat >"$WORK/nginx/nginx.conf" <<CONF
worker_processes auto;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/logs/error.log;
events { worker_connections 1024; }
http {
    access_log off;
    server {
        listen 127.0.0.1:$NGINX_PORT;
        root $WORK/nginx/root;
        location /t/ {
            default_type image/gif;
            add_header Cache-Control "no-store, no-cache, must-revalidate, max-age=0";
            add_header Pragma no-cache;
            rewrite ^ /pixel.gif break;
        }
    }
}
CONF
    nginx -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf"
    NGINX_STARTED=1
}

# --- the service
start_service() { # STORAGE_OPTIONS...
    "$SERVICE" serve --listen "127.0.0.1:$SERVICE_PORT" --public-url "http://127.0.0.1:$SERVICE_PORT" "$@" \
        >"$WORK/service.out" 2>"$WORK/service.log" &
    SERVER_PID=$!
    for _ in $(seq 200); do
        curl -sf "http://127.0.0.1:$SERVICE_PORT/healthz" >/dev/null 2>&1 && return
        sleep 0.05
    done
    echo "http-bench: the service did not start: $(cat "$WORK/service.log")" >&2
    exit 1
}

# Stops the service; VERIFICATIONS: the Argon2id verifications it logged on the way out.
stop_service() {
    kill "$SERVER_PID"
    wait "$SERVER_PID" || true
    SERVER_PID=
    VERIFICATIONS=$(sed -n 's/.* \([0-9][0-9]*\) password verifications.*/\1/p' "$WORK/service.log" | tail -n 1)
}

# Seeds messages through the feed and keeps their tokens.
seed() {
    local count=$1 urls=()
    for _ in $(seq "$count"); do urls+=("http://127.0.0.1:$SERVICE_PORT/index.php/messagefeed"); done
    curl -sf -H 'Content-Type: application/x-www-form-urlencoded' --data-binary "@$WORK/form" "${urls[@]}" |
        grep -o '/t/[A-Za-z0-9_-]*\.gif' | sed 's|/t/||; s|\.gif||' >"$WORK/tokens"
    [ "$(wc -l <"$WORK/tokens")" = "$count" ] || { echo "http-bench: seeding gave $(wc -l <"$WORK/tokens") tokens" >&2; exit 1; }
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

# Rounds of the service then nginx, one after the other, so that a neighbour's
# load on the shared machine falls on both; the median round's ratio is the figure.
pixel_against_nginx() { # LABEL
    local label=$1 round s_rps s_p99 s_bad n_rps n_p99 n_bad ratios=()
    for round in $(seq "$ROUNDS"); do
        read -r s_rps s_p99 s_bad <<<"$(run_wrk "pixel-$label" "$SERVICE_PORT" "$WORK/pixel.lua")"
        read -r n_rps n_p99 n_bad <<<"$(run_wrk "nginx-$label" "$NGINX_PORT" "$WORK/pixel.lua")"
        ratios+=("$(ratio "$s_rps" "$n_rps")")
        say "$(printf '%-10s  pixel   %6s req/s  p99 %7s ms  | nginx %6s req/s  p99 %6s ms  | %s x nginx%s' \
            "$label" "$s_rps" "$s_p99" "$n_rps" "$n_p99" "${ratios[-1]}" \
            "$([ "$s_bad" -gt 0 ] && echo "  ($s_bad errors or non-2xx)")")"
    done
    say "$(printf '%-10s  pixel   median of %s rounds: %s x nginx' "$label" "$ROUNDS" \
        "$(printf '%s\n' "${ratios[@]}" | sort -n | sed -n "$(((ROUNDS + 1) / 2))p")")"
}

feed_run() { # LABEL
    local label=$1 rps p99 bad
    read -r rps p99 bad <<<"$(run_wrk "feed-$label" "$SERVICE_PORT" "$WORK/feed.lua")"
    FEED_REQUESTS=$(awk '/requests in/ { print $1 }' "$WORK/feed-$label.wrk")
    say "$(printf '%-10s  feed    %7s req/s  p99 %7s ms  (%s requests%s)' "$label" "$rps" "$p99" "$FEED_REQUESTS" \
        "$([ "$bad" -gt 0 ] && echo ", $bad errors or non-2xx")")"
}

storage_run() { # LABEL STORAGE_OPTIONS...
    local label=$1; shift
    printf '%s\n' "$PASSWORD" | "$SERVICE" account add "$LOGIN" "$@" >/dev/null
    start_service "$@"
    seed 256
    [ -n "$NGINX_STARTED" ] || start_nginx
    # The feed first, while the seeds' sign-in is remembered (60 s).
    feed_run "$label"
    pixel_against_nginx "$label"
    stop_service
    say "$(printf '%-10s  Argon2id verifications: %s for %s feed posts and 256 seeds' "$label" "${VERIFICATIONS:-?}" "$FEED_REQUESTS")"
}

say "Quorvia service over HTTP, $(date -u +%Y-%m-%dT%H:%MZ), $(nproc) cores, wrk -t$THREADS -c$CONNECTIONS -d${SECONDS_EACH}s"
storage_run sqlite --data "$WORK/data"

if PG_URL=$(bash "$HERE/../tests/postgres-cluster.sh" start "$WORK/pg" 2>"$WORK/pg.err"); then
    PG_STARTED=1
    storage_run postgresql --database "$PG_URL"
else
    say "postgresql  skipped: $(tail -n 1 "$WORK/pg.err")"
fi

# --- memory: RSS once warm, then after a million more opens
start_service --data "$WORK/data"
seed 256
run_count warm 20000
before=$(rss_kb "$SERVER_PID")
run_count million "$OPENS"
after=$(rss_kb "$SERVER_PID")
answered=$(awk '/requests in/ { print $1 }' "$WORK/million.wrk")
stop_service
say "$(printf 'memory      RSS %s KB before, %s KB after %s opens: %s x' "$before" "$after" "$answered" "$(ratio "$after" "$before")")"
