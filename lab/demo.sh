#!/usr/bin/env bash
# The program's main job as far as it exists today: start-up (where the
# settings live, the command line, the single-instance rule, the log), shown
# against a lab deployment that points every service host at 127.0.0.1;
# then two headless phones (quarvofon-cli) sign in at the lab's Kamailio and
# hold a call with real audio from and to WAV files.
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

# ---------------------------------------------------------------------------
# The phone's signalling and voice, headless: two subscribers sign in at the
# lab's SIP server (Kamailio on 127.0.0.1:5060) with quarvofon-cli, one calls
# the other, each side's microphone is a WAV tone, the call runs for a few
# seconds with a DTMF key, and the speaker files show what each side heard.
cli=${QF_CLI:-build/default/tools/quarvofon-cli/quarvofon-cli}
if [ ! -x "$cli" ] || ! command -v kamailio >/dev/null 2>&1 || ! command -v sox >/dev/null 2>&1; then
  echo
  echo "demo: quarvofon-cli, kamailio or sox missing; skipping the call"
  echo "demo: done"
  exit 0
fi

call=$demo/call
mkdir -p "$call"
kam_state=$call/kamailio
a_pid=""; b_pid=""
cleanup_call() {
  exec 3>&- 4>&- 2>/dev/null || true
  for p in $a_pid $b_pid; do
    if [ -n "$p" ] && kill -0 "$p" 2>/dev/null; then kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; fi
  done
  a_pid=""; b_pid=""
  lab/kamailio/stop.sh "$kam_state" >/dev/null 2>&1 || true
}
trap 'cleanup; cleanup_call' EXIT

# wait_for <file> <pattern> <seconds>
wait_for() {
  local i=0 limit=$(( $3 * 10 ))
  while [ $i -lt $limit ]; do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1; i=$((i + 1))
  done
  echo "demo: timed out waiting for '$2' in $1" >&2
  return 1
}

echo
echo "== 7. The lab SIP server (Kamailio) on 127.0.0.1:5060"
lab/kamailio/start.sh "$kam_state"
echo "kamailio running, demo accounts 1001/1234 and 1002/2345"

sox -n -r 8000 -c 1 -b 16 "$call/tone1000.wav" synth 8 sine 1000 vol 0.4
sox -n -r 8000 -c 1 -b 16 "$call/tone440.wav" synth 8 sine 440 vol 0.4
mkfifo "$call/a.in" "$call/b.in"

"$cli" --server 127.0.0.1 --user 1002 --pin 2345 --register --codecs 0,8, --local-ip 127.0.0.1 --rtp-port 37744 \
  --mic "$call/tone440.wav" --speaker "$call/b-heard.wav" --log "$call/b.log" \
  < "$call/b.in" > "$call/b.out" 2>&1 &
b_pid=$!
exec 4> "$call/b.in"
"$cli" --server 127.0.0.1 --user 1001 --pin 1234 --register --codecs 0,8, --local-ip 127.0.0.1 --rtp-port 37644 \
  --mic "$call/tone1000.wav" --speaker "$call/a-heard.wav" --log "$call/a.log" \
  < "$call/a.in" > "$call/a.out" 2>&1 &
a_pid=$!
exec 3> "$call/a.in"

echo
echo "== 8. Both phones sign in"
wait_for "$call/a.out" "^event 1 " 10
wait_for "$call/b.out" "^event 1 " 10
grep -h "^event 1 " "$call/a.out" "$call/b.out"

echo
echo "== 9. 1001 calls 1002; 1002 answers; 1001 sends the key 5; 1001 hangs up"
echo "call 1002" >&3
wait_for "$call/b.out" "^event 4 " 10
echo "answer" >&4
wait_for "$call/a.out" "^event 9 " 10
sleep 1
echo "dtmf 5" >&3
sleep 3
echo "hangup" >&3
wait_for "$call/b.out" "^event 17 " 10 || true
echo "quit" >&3; echo "quit" >&4
for i in $(seq 1 50); do kill -0 "$a_pid" 2>/dev/null || kill -0 "$b_pid" 2>/dev/null || break; sleep 0.1; done
echo "-- 1001 (caller):"
grep "^event" "$call/a.out" | grep -v "^event [12] " || true
echo "-- 1002 (callee):"
grep "^event" "$call/b.out" | grep -v "^event [12] " || true

echo
echo "== 10. What each side heard (rough frequency of its speaker file)"
for side in a b; do
  f=$call/$side-heard.wav
  if [ -s "$f" ]; then
    freq=$(sox "$f" -n trim 1 2 stat 2>&1 | awk '/Rough   frequency/ {print $3}')
    echo "$( [ $side = a ] && echo 1001 || echo 1002 ) heard about ${freq:-?} Hz ($f)"
  else
    echo "no speaker file for side $side"
  fi
done
cleanup_call

echo
echo "demo: done"
