#!/bin/sh
# Stops the lab web service started by start-lab-web.sh.
#   stop-lab-web.sh <state folder>
set -eu
state=${1:?state folder}
[ -f "$state/lab-web.pid" ] || exit 0
pid=$(cat "$state/lab-web.pid")
if kill "$pid" 2>/dev/null; then
    i=0
    while kill -0 "$pid" 2>/dev/null && [ $i -lt 50 ]; do
        i=$((i + 1))
        sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
fi
rm -f "$state/lab-web.pid"
