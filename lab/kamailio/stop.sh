#!/bin/sh
# Stops the lab SIP server started by start.sh [state-dir].
set -u
state=${1:-/tmp/qf-kamailio}
[ -f "$state/kamailio.pid" ] || exit 0
pid=$(cat "$state/kamailio.pid")
if kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null
    i=0
    while kill -0 "$pid" 2>/dev/null && [ $i -lt 50 ]; do
        sleep 0.1
        i=$((i + 1))
    done
    kill -9 "$pid" 2>/dev/null || true
fi
rm -f "$state/kamailio.pid" "$state/kamailio.ctl"
exit 0
