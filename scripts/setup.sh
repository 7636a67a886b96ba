#!/bin/sh
# One-time set-up of a fresh Debian 12 machine: build tools, test peers, and
# lwIP's source for the terminal simulator. Run as root (or with sudo).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
if [ "$(id -u)" != 0 ]; then
  echo "setup: run as root (apt-get install)"; exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends \
  build-essential g++ cmake ninja-build pkg-config \
  clang libclang-rt-14-dev \
  libgtest-dev libgmock-dev libbenchmark-dev libssl-dev \
  openssl iproute2 util-linux procps socat ncat curl python3 \
  dpkg-dev xz-utils ca-certificates
"$here/fetch-lwip.sh"
