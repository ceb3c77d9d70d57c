# Sourced by .ci/run: a throwaway PostgreSQL cluster for the store's tests, on
# a free loopback port, removed when the calling shell exits. Exports its URL
# as VEXA_TEST_POSTGRES and its folder as VEXA_TEST_PGDATA. VEXA_PG_OPTIONS
# adds server options ("-c shared_buffers=4GB" for the benchmarks).

start_postgres() {
    local bin
    bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
    if [ -z "$bin" ]; then
        apt_install_postgres
        bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
    fi
    PG_BIN=$bin
    PG_DIR=$(mktemp -d /tmp/vexa-pg.XXXXXX)
    # The server refuses to run as root, and must not inherit a sanitizer preload.
    if [ "$(id -u)" = 0 ]; then
        chown postgres "$PG_DIR"
        PG_AS=(env -u LD_PRELOAD runuser -u postgres --)
    else
        PG_AS=(env -u LD_PRELOAD)
    fi
    trap stop_postgres EXIT
    local port
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    "${PG_AS[@]}" "$PG_BIN/initdb" -D "$PG_DIR/data" -A trust -U postgres -E UTF8 >"$PG_DIR/initdb.log" 2>&1 \
        || { cat "$PG_DIR/initdb.log" >&2; return 1; }
    "${PG_AS[@]}" "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -l "$PG_DIR/server.log" -w \
        -o "-p $port -k $PG_DIR -c listen_addresses=127.0.0.1 -c fsync=off ${VEXA_PG_OPTIONS:-}" start >/dev/null \
        || { cat "$PG_DIR/server.log" >&2; return 1; }
    env -u LD_PRELOAD "$PG_BIN/createdb" -h 127.0.0.1 -p "$port" -U postgres vexa_test
    export VEXA_TEST_POSTGRES="postgresql://postgres@127.0.0.1:$port/vexa_test"
    export VEXA_TEST_PGDATA="$PG_DIR/data"
    echo "[ci] PostgreSQL $("$PG_BIN/postgres" --version | awk '{print $3}') at $VEXA_TEST_POSTGRES" >&2
}

stop_postgres() {
    [ -n "${PG_DIR:-}" ] || return 0
    "${PG_AS[@]}" "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -m immediate stop >/dev/null 2>&1 || true
    rm -rf "$PG_DIR"
    PG_DIR=
}

apt_install_postgres() {
    echo "[ci] installing PostgreSQL from Debian" >&2
    apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq postgresql >/dev/null
}
