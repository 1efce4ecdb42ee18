# The loopback test server of the benches, sourced by their scripts (which set `here` to the
# checkout): start_server serves "$work/served" with the rules in "$work/rules.json", logging what it
# sent to the file given, if any, and sets `url`; stop_server ends it, and may be called again.
server_pid=""
start_server() {
    local log=()
    [ -z "${1:-}" ] || log=(--log "$1")
    rm -f "$work/port"
    python3 "$here/tests/server/update_server.py" --root "$work/served" --rules "$work/rules.json" \
        "${log[@]}" --port-file "$work/port" >/dev/null &
    server_pid=$!
    for _ in $(seq 100); do [ -f "$work/port" ] && break; sleep 0.1; done
    url="http://127.0.0.1:$(cat "$work/port")/"
}
stop_server() {
    [ -n "$server_pid" ] || return 0
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
}
