#!/bin/sh
# Starts the lab web service in the background and writes, into the state
# folder, its pid, its log and a deployment file that points the program's
# web host (and connectivity check) at it.
#
#   start-lab-web.sh <quarvo-lab-web binary> <state folder> [port]
#
# Port 0 (the default) lets the system pick a free one; the chosen port is
# in <state folder>/lab-web.port. Stop it with stop-lab-web.sh.
set -eu
bin=${1:?binary}
state=${2:?state folder}
port=${3:-0}
mkdir -p "$state/faxes"
"$bin" --port "$port" --host 127.0.0.1 --data-dir "$state/faxes" >"$state/lab-web.log" 2>&1 &
echo $! >"$state/lab-web.pid"
i=0
while ! grep -q "listening on" "$state/lab-web.log" 2>/dev/null; do
    i=$((i + 1))
    if [ $i -gt 50 ] || ! kill -0 "$(cat "$state/lab-web.pid")" 2>/dev/null; then
        echo "quarvo-lab-web did not start:" >&2
        cat "$state/lab-web.log" >&2
        exit 1
    fi
    sleep 0.1
done
bound=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$state/lab-web.log")
echo "$bound" >"$state/lab-web.port"
cat >"$state/deployment-web.conf" <<CONF
# written by start-lab-web.sh
web_host = 127.0.0.1
web_port = $bound
ping_site = 127.0.0.1
ping_port = $bound
home_page_url = http://127.0.0.1:$bound/
web_shop_url = http://127.0.0.1:$bound/shop/
pin_reset_url = http://127.0.0.1:$bound/pin/reset
forgot_pin_url = http://127.0.0.1:$bound/pin/forgot
CONF
echo "$bound"
