#!/bin/sh
# Starts the lab SIP server (Kamailio) on 127.0.0.1:5060 in the background.
#   start.sh [state-dir]
# The state directory (default /tmp/qf-kamailio) receives kamailio.pid,
# kamailio.log and the control socket kamailio.ctl. The script returns when
# the server answers, or fails after about 5 s.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
state=${1:-/tmp/qf-kamailio}
mkdir -p "$state"
if [ -f "$state/kamailio.pid" ] && kill -0 "$(cat "$state/kamailio.pid")" 2>/dev/null; then
    echo "kamailio already running (pid $(cat "$state/kamailio.pid"))" >&2
    exit 0
fi
rm -f "$state/kamailio.pid" "$state/kamailio.ctl"
kamailio -f "$here/kamailio.cfg" -DD -E -m 32 -M 4 \
    -A "QF_CTL=\"unix:$state/kamailio.ctl\"" \
    >"$state/kamailio.log" 2>&1 &
echo $! >"$state/kamailio.pid"
i=0
while [ $i -lt 50 ]; do
    if ! kill -0 "$(cat "$state/kamailio.pid")" 2>/dev/null; then
        echo "kamailio failed to start; see $state/kamailio.log" >&2
        tail -20 "$state/kamailio.log" >&2
        exit 1
    fi
    if [ -S "$state/kamailio.ctl" ] && kamcmd -s "unix:$state/kamailio.ctl" core.version >/dev/null 2>&1; then
        exit 0
    fi
    sleep 0.1
    i=$((i + 1))
done
echo "kamailio did not come up in time; see $state/kamailio.log" >&2
exit 1
