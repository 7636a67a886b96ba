#!/bin/sh
# The demonstration: an example point-of-sale application (tools/demo,
# plain C) runs one payment through libRYNService.so against a bundled
# terminal simulator on this machine, prints the result and the receipt the
# terminal printed through the application's callbacks, and draws that
# receipt into receipt.png.
#
# Usage: scripts/demo.sh [AMOUNT_IN_MINOR_UNITS] [--tls | --serial]
#   2500 (25.00) is approved; above 100000 or ending in 13 is declined.
#   default   a terminal on the LAN (tools/spmsim-ip, here on loopback)
#   --tls     the same over TLS 1.2 with throwaway certificates
#   --serial  a serially attached terminal (tools/spmsim --terminal): PPP
#             over a pseudo-terminal, lwIP's TCP/IP in the simulator
#             process; the channel and the receipts cross the library's
#             bridges. Needs no root.
# The activation file lives in a throwaway home (RYN_HOME): your own
# ~/.CalvorinKestova is not touched. The library's trace is /tmp/RYNLog.txt.
set -eu
cd "$(dirname "$0")/.."
usage() { echo "usage: scripts/demo.sh [AMOUNT_IN_MINOR_UNITS] [--tls | --serial]"; exit 2; }
amount=2500
tls=0
serial=0
for a in "$@"; do
  case $a in
    --tls) tls=1 ;;
    --serial) serial=1 ;;
    *[!0-9]*|'') usage ;;
    *) amount=$a ;;
  esac
done
[ $tls = 1 ] && [ $serial = 1 ] && usage

simulator=spmsim-ip
[ $serial = 1 ] && simulator=spmsim
echo "== building (release preset)"
cmake --preset release >/dev/null
cmake --build --preset release --target ryn_demo $simulator >/dev/null

work=$(mktemp -d)
sim=
cleanup() { [ -n "$sim" ] && kill "$sim" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT INT TERM
mkdir -p "$work/home/.CalvorinKestova"

if [ $serial = 1 ]; then
  echo "== starting the serial terminal simulator (PPP on a pseudo-terminal)"
  build/release/tools/spmsim/spmsim --link "$work/terminal" --terminal --no-stdin > "$work/simulator.log" 2>&1 &
  sim=$!
  # The pseudo-terminal exists once the simulator says READY.
  tries=0
  until grep -q '^READY ' "$work/simulator.log"; do
    tries=$((tries + 1))
    if [ $tries -gt 100 ] || ! kill -0 $sim 2>/dev/null; then
      echo "the simulator did not start:"; cat "$work/simulator.log"; exit 1
    fi
    sleep 0.1
  done
  # Type=0: a serial terminal; Name: the device it is attached to.
  printf 'Name=%s;Type=0' "$work/terminal" > "$work/home/.CalvorinKestova/KestovaLinux.txt"

  # Only this run's part of the library's trace is shown.
  log=/tmp/RYNLog.txt
  logstart=0
  [ -f $log ] && logstart=$(wc -c < $log)

  echo "== running the point-of-sale demo (amount $amount)"
  status=0
  env RYN_HOME="$work/home" build/release/tools/demo/ryn_demo --amount "$amount" --receipt receipt.png || status=$?
  echo "== the library's trace: the link, the channel (bridge entry 0, host to terminal port 5188)"
  echo "   and the terminal's service connection (bridge entry 1, to the service server)"
  if [ -r $log ]; then
    tail -c +$((logstart + 1)) $log | awk -F'\t' '{ print $NF }' |
      grep -E '^(LCP up|IPCP up|\[0:OUT\(5188\)\].*(succeeded|data)|\[1: IN\(5186\)\].*succeeded|OKA printer (open|start|end|cut))' |
      sed 's/^/   /' || true
  fi
  echo "== simulator events (the link, the channel and services connections, the payment, the receipt)"
  grep -E '^(PPP-UP|CONNECTED|DISCONNECTED|TRANSACTION|RECEIPT|ECHO)' "$work/simulator.log" | sed 's/^/   /' || true
  exit $status
fi

printf 'Type=3;AddrIP=127.0.0.1;Name=DEMO TERMINAL;UseSsl=%s' "$tls" > "$work/home/.CalvorinKestova/KestovaLinux.txt"

simargs="--host 127.0.0.1"
demoenv=""
if [ $tls = 1 ]; then
  echo "== making throwaway TLS certificates"
  d=$work/tls
  mkdir -p "$d"
  openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=demo-ca -keyout "$d/ca.key" -out "$d/ca.pem" 2>/dev/null
  for n in host terminal; do
    openssl req -newkey rsa:2048 -nodes -subj "/CN=$n" -keyout "$d/$n.key" -out "$d/$n.csr" 2>/dev/null
    openssl x509 -req -days 1 -in "$d/$n.csr" -CA "$d/ca.pem" -CAkey "$d/ca.key" -CAcreateserial -out "$d/$n.pem" 2>/dev/null
  done
  openssl genpkey -genparam -algorithm DH -pkeyopt group:ffdhe2048 -out "$d/dh.pem" 2>/dev/null
  simargs="$simargs --tls --ca $d/ca.pem --cert $d/terminal.pem --key $d/terminal.key"
  demoenv="RYN_DEMO_TLS_DIR=$d"
fi

echo "== starting the terminal simulator"
build/release/tools/spmsim-ip/spmsim-ip $simargs > "$work/simulator.log" 2>&1 &
sim=$!

echo "== running the point-of-sale demo (amount $amount)"
status=0
env RYN_HOME="$work/home" $demoenv build/release/tools/demo/ryn_demo --amount "$amount" --receipt receipt.png || status=$?
echo "== simulator events"
grep -E '^(CONNECTED|TLS|TRANSACTION|RECEIPT)' "$work/simulator.log" || true
exit $status
