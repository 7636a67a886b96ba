#!/bin/sh
# Runs the simulator in TUN mode with a fresh private network namespace, for
# shell-driven tests and by hand:
#
#   tests/netns/kernel-terminal.sh build/tools/spmsim/spmsim --link /tmp/terminal
#
# prints "NETNS <name>" on stderr, then runs spmsim in the foreground (its
# stdin, stdout and events as usual, with "TUN <device>" first). The
# terminal's applications run in the namespace from another shell:
#   ip netns exec <name> python3 tests/netns/netns_tool.py echo-server 5188
# The namespace is deleted when spmsim ends. RYN_NETNS names it (default
# ryn-sh-<pid>). Exits 77 (skipped) without root, TUN or iproute2.
set -eu
if [ $# -lt 1 ]; then
  echo "usage: $0 SPMSIM [spmsim options]" >&2
  exit 2
fi
if [ "$(id -u)" != 0 ] || [ ! -c /dev/net/tun ] || ! command -v ip >/dev/null; then
  echo "skipped: needs root, /dev/net/tun and iproute2" >&2
  exit 77
fi
spmsim=$1
shift
ns=${RYN_NETNS:-ryn-sh-$$}
if ! ip netns add "$ns"; then
  echo "skipped: cannot create network namespace $ns" >&2
  exit 77
fi
trap 'ip netns del "$ns" 2>/dev/null || true' EXIT INT TERM HUP
echo "NETNS $ns" >&2
status=0
"$spmsim" --tun "$ns" "$@" || status=$?
exit "$status"
