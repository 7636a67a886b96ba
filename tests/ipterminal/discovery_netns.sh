#!/bin/sh
# Discovery broadcast, checked field by field on a veth pair between two
# network namespaces that this script creates (host 10.9.9.1/24, terminal
# 10.9.9.2/24); then, in a namespace with only loopback, that nothing is
# sent and the thread does not spin. Never broadcasts outside them.
# Usage: discovery_netns.sh PROBE   (exit 77 when namespaces are unavailable)
set -eu
probe=$1
if [ "$(id -u)" != 0 ] || ! unshare -mn true 2>/dev/null || ! command -v ip >/dev/null; then
  echo "skipped: needs root, unshare and iproute2"; exit 77
fi
tests=$(cd "$(dirname "$0")/.." && pwd -P)
export RYN_PRIVATE_TMP="$tests/private_tmp.sh" RYN_REPO="$(cd "$tests/.." && pwd -P)"
exec unshare -mn sh -eu -c '
probe=$1
mount --make-rprivate /
. "$RYN_PRIVATE_TMP"
cover_dir /tmp tmpfs "$RYN_REPO" "$probe"
mkdir -p /run/netns && mount -t tmpfs tmpfs /run/netns
work=$(mktemp -d)
mkdir -p "$work/home/.CalvorinKestova"
printf "Type=3;AddrIP=10.9.9.2;AddrMAC=0a:1B:2c:3D:4e:5F;Name=LANE-7;UseSsl=1" > "$work/home/.CalvorinKestova/KestovaLinux.txt"
export RYN_HOME="$work/home"
ip link set lo up
ip netns add term
ip link add vhost type veth peer name vterm
ip link set vterm netns term
ip addr add 10.9.9.1/24 brd + dev vhost
ip link set vhost up
ip netns exec term ip link set lo up
ip netns exec term ip addr add 10.9.9.2/24 brd + dev vterm
ip netns exec term ip link set vterm up

ip netns exec term "$probe" listen 20 > "$work/heard" &
listener=$!
# Wait until the listener is bound before the host starts announcing.
i=0; while ! grep -q listening "$work/heard" 2>/dev/null && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done
"$probe" host 3 > "$work/host1"
wait $listener
cat "$work/heard"
fail=0
expect() { grep -qx "$1" "$work/heard" || { echo "missing: $1"; fail=1; }; }
expect "root 0x81"
expect "child 0x91 0a 09 09 01"
expect "child 0x11 4c 41 4e 45 2d 37 00"
expect "child 0x12 0a 1b 2c 3d 4e 5f"
expect "child 0x92 01 00 00 00"

# Only loopback: nothing goes out, and the thread sleeps between rounds.
ip link set vhost down
ip netns exec term ip link set vterm down
"$probe" listen 4 > "$work/heard2" &
listener=$!
i=0; while ! grep -q listening "$work/heard2" 2>/dev/null && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done
"$probe" host 3 > "$work/host2"
wait $listener
grep -qx none "$work/heard2" || { echo "sent with only loopback:"; cat "$work/heard2"; fail=1; }
cpu=$(sed -n "s/^cpu_ms //p" "$work/host2")
echo "cpu over 3 s with only loopback: ${cpu} ms"
[ "$cpu" -lt 1000 ] || { echo "the discovery loop spins"; fail=1; }
[ $fail = 0 ] && echo "discovery: all checks passed"
exit $fail
' sh "$probe"
