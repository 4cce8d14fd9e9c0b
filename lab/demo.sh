#!/usr/bin/env bash
# The program's main job as far as it exists today: start-up (where the
# settings live, the command line, the single-instance rule, the log), shown
# against a lab deployment that points every service host at 127.0.0.1.
#
# Everything the demo writes stays under build/demo; the user's own
# settings are not touched.
set -euo pipefail
cd "$(dirname "$0")/.."

program=${QF_PROGRAM:-build/default/app/quarvofon}
if [ ! -x "$program" ]; then
  echo "demo: $program is missing; build first (scripts/demo.sh does)" >&2
  exit 1
fi

demo=$PWD/build/demo
rm -rf "$demo"
mkdir -p "$demo/run" "$demo/config" "$demo/state"
chmod 700 "$demo/run"

cat > "$demo/deployment.conf" <<'CONF'
# Lab deployment: every service host on this machine.
default_sip_server = 127.0.0.1
accepted_sip_servers = 127.0.0.1, localhost, 127.0.0.2
tunnel_server = 127.0.0.1
web_host = 127.0.0.1
ping_site = 127.0.0.1
home_page_url = http://127.0.0.1/
web_shop_url = http://127.0.0.1/shop
CONF

export XDG_RUNTIME_DIR=$demo/run
export XDG_CONFIG_HOME=$demo/config
export XDG_STATE_HOME=$demo/state
export QF_DEPLOYMENT_FILE=$demo/deployment.conf

first_pid=""
cleanup() {
  if [ -n "$first_pid" ] && kill -0 "$first_pid" 2>/dev/null; then
    kill "$first_pid" 2>/dev/null || true
    wait "$first_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

echo "== 1. First start: the program decides where it runs and takes the single-instance lock"
QF_HEADLESS_SECONDS=30 "$program" > "$demo/first.out" 2>&1 &
first_pid=$!
for _ in $(seq 1 100); do
  grep -q "running as the first instance" "$demo/first.out" 2>/dev/null && break
  sleep 0.1
done
grep '^quarvoFON:' "$demo/first.out"

echo
echo "== 2. Second start with a callto parameter: it hands the number over and exits"
"$program" "CALLTO: 0123 " 2>&1 | grep '^quarvoFON:' | grep -v 'executable\|directory\|server\|log file\|mode'
sleep 0.3

echo
echo "== 3. Third start without parameters: the running window only comes to the front"
"$program" 2>&1 | grep '^quarvoFON:' | grep -v 'executable\|directory\|server\|log file\|mode'
sleep 0.3

echo
echo "== 4. What the first instance received"
grep -E 'brought|received|ignored' "$demo/first.out" || echo "(nothing)"
cleanup
first_pid=""

echo
echo "== 5. Settings created on first use ($XDG_CONFIG_HOME/quarvofon/registry.store)"
cat "$XDG_CONFIG_HOME/quarvofon/registry.store"

echo
echo "== 6. The log ($XDG_STATE_HOME/quarvofon/quarvoFON.log), last lines"
tail -n 8 "$XDG_STATE_HOME/quarvofon/quarvoFON.log"
echo
echo "demo: done"
