#!/bin/sh
# The demonstration: an example point-of-sale application (tools/demo,
# plain C) runs one payment through libRYNService.so against the bundled
# terminal simulator (tools/spmsim-ip) on this machine, prints the result
# and the receipt the terminal printed through the application's callbacks,
# and draws that receipt into receipt.png.
#
# Usage: scripts/demo.sh [AMOUNT_IN_MINOR_UNITS] [--tls]
#   2500 (25.00) is approved; above 100000 or ending in 13 is declined.
# The activation file lives in a throwaway home (RYN_HOME): your own
# ~/.CalvorinKestova is not touched. The library's trace is /tmp/RYNLog.txt.
set -eu
cd "$(dirname "$0")/.."
amount=2500
tls=0
for a in "$@"; do
  case $a in
    --tls) tls=1 ;;
    *[!0-9]*|'') echo "usage: scripts/demo.sh [AMOUNT_IN_MINOR_UNITS] [--tls]"; exit 2 ;;
    *) amount=$a ;;
  esac
done

echo "== building (release preset)"
cmake --preset release >/dev/null
cmake --build --preset release --target ryn_demo spmsim-ip >/dev/null

work=$(mktemp -d)
sim=
cleanup() { [ -n "$sim" ] && kill "$sim" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT INT TERM
mkdir -p "$work/home/.CalvorinKestova"
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
