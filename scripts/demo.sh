#!/usr/bin/env bash
# The main job, end to end, on the embedded defaults: a program folder in a temporary
# directory, the provider simulator on 127.0.0.1, an SQLite outbox, and Velmo installed,
# started, sending, stopped and removed under a private service-manager root.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$(realpath "${KAVAR_BUILD_DIR:-build}/bin")
for p in Velmo SC Net KavarSetup ProviderSim; do
  [ -x "$bin/$p" ] || { echo "demo: $bin/$p is missing; run scripts/build.sh first" >&2; exit 1; }
done

work=$(mktemp -d /tmp/kavar-demo.XXXXXX)
prog=$work/program
mkdir -p "$prog"
cp "$bin/Velmo" "$bin/SC" "$bin/Net" "$bin/KavarSetup" "$prog/"
export KAVAR_SCM_ROOT=$work/scm
sim_pid=""

cleanup() {
  "$prog/SC" stop Velmo >/dev/null 2>&1 || true
  "$prog/Velmo" -uninstall SILENT >/dev/null 2>&1 || true
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
  [ -n "${KAVAR_DEMO_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

step() { printf '\n== %s\n' "$*"; }

step "provider simulator"
"$bin/ProviderSim" --exit-with-parent >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 100); do grep -q '^URL ' "$work/sim.out" 2>/dev/null && break; sleep 0.1; done
url=$(sed -n 's/^URL //p' "$work/sim.out")
[ -n "$url" ] || { echo "demo: the simulator did not start" >&2; cat "$work/sim.err" >&2; exit 1; }
echo "listening at $url"

step "settings and database"
"$prog/KavarSetup" settings SMS_PanelUser=demo SMS_PanelPass=demo-password \
  SMS_NormalNumber=30001234 SMS_ServiceNumber=30005678 SMS_ActiveServerNumber=1 \
  SQL_ServerName=sqlite: SQL_DBName=Kavar_SMS AutoSendSMS=1 TimerDelay=2 SVCKAVARSMS=1 \
  ActiveTimeStart=00:00 ActiveTimeEnd=23:59:59 "Provider.EndpointURL=$url"
"$prog/KavarSetup" initdb
"$prog/KavarSetup" enqueue 3 09120000003 "سلام، این پیامک آزمایشی است"
"$prog/KavarSetup" enqueue 1 09120000001 "Your order #1 has shipped & will arrive <tomorrow>"
"$prog/KavarSetup" enqueue 2 09120000002 "   "
"$prog/KavarSetup" enqueue 4 "" "no number"
"$prog/KavarSetup" outbox

step "install and start Velmo"
"$prog/Velmo" -install
"$prog/SC" config Velmo start= delayed-auto
for _ in $(seq 100); do "$prog/SC" query Velmo | grep -q RUNNING && break; sleep 0.2; done
"$prog/SC" query Velmo

step "waiting for the service to send the outbox"
# Inside the sending window (open from 00:01), every tick sends what is pending.
deadline=$((SECONDS + 150))
until "$prog/KavarSetup" outbox | grep -q '^pending: 0$'; do
  if [ $SECONDS -ge $deadline ]; then
    echo "demo: the outbox was not sent in time" >&2
    "$prog/KavarSetup" outbox >&2
    cat "$prog"/Log/*.LOG | iconv -f windows-1256 -t utf-8 >&2 || true
    exit 1
  fi
  sleep 0.5
done
"$prog/KavarSetup" outbox

step "stop and remove Velmo"
"$prog/Net" stop Velmo
"$prog/Velmo" -uninstall

step "the service's log"
iconv -f windows-1256 -t utf-8 "$prog"/Log/SVCKavarSMS_*.LOG | tr -d '\r'

grep -q '^sent: 2$' <("$prog/KavarSetup" outbox) && grep -q '^invalid: 2$' <("$prog/KavarSetup" outbox) \
  || { echo "demo: unexpected outbox state" >&2; exit 1; }
echo
echo "demo: two messages sent and moved to Sent_Item, two flagged invalid"
