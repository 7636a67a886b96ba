#!/bin/sh
# Runs a command in private mount and network namespaces with a tmpfs over
# /tmp and a private home directory, so nothing of the user's is touched:
# the library's log ("/tmp/RYNLog.txt") and activation file land in throwaway
# places. Exits 77 (skipped) when namespaces are not available.
set -eu
if [ "$(id -u)" != 0 ] || ! command -v unshare >/dev/null; then
  echo "skipped: needs root and unshare for a private /tmp and home"; exit 77
fi
if ! unshare -mn true 2>/dev/null; then
  echo "skipped: this machine does not allow new namespaces"; exit 77
fi
here=$(cd "$(dirname "$0")" && pwd -P)
repo=$(cd "$here/.." && pwd -P)
export RYN_PRIVATE_TMP="$here/private_tmp.sh" RYN_REPO="$repo"
exec unshare -mn sh -c '
  set -eu
  mount --make-rprivate /
  . "$RYN_PRIVATE_TMP"
  private_tmp_and_home "$RYN_REPO" "$@"
  ip link set lo up 2>/dev/null || true
  exec "$@"
' private "$@"
