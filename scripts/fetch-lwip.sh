#!/bin/sh
# Download lwIP 2.1.3 from Debian's source package into a cache directory, so
# the serial terminal simulator (tools/spmsim) can build a PPP-enabled lwIP.
#
# Usage: scripts/fetch-lwip.sh [CACHE_DIR]
#   CACHE_DIR defaults to <repo>/third_party/cache (git-ignored).
# On success the last line printed is the lwIP source directory; pass it to
# CMake as -DRYN_LWIP_DIR=... (the default location is found automatically).
#
# Debian's binary liblwip is built without PPP, hence the source package.
# deb-src is enabled in a private sources list inside CACHE_DIR: the system's
# apt configuration, package lists and package cache are left untouched.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
cache=${1:-"$here/../third_party/cache"}
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

find_tree() {
    for d in "$cache"/lwip-2.1.3*; do
        if [ -f "$d/src/core/init.c" ] && [ -f "$d/src/netif/ppp/pppos.c" ]; then
            echo "$d"
            return 0
        fi
    done
    return 1
}

if tree=$(find_tree); then
    echo "lwIP already present"
    echo "$tree"
    exit 0
fi

system_sources=/etc/apt/sources.list.d/debian.sources
if [ ! -r "$system_sources" ]; then
    echo "fetch-lwip: $system_sources not found; cannot derive a deb-src entry" >&2
    exit 1
fi

apt_dir="$cache/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
sed 's/^Types: deb$/Types: deb deb-src/' "$system_sources" > "$apt_dir/src.sources"

# Every path apt would write is redirected into the cache.
set -- \
    -o Dir::Etc::sourcelist="$apt_dir/src.sources" \
    -o Dir::Etc::sourceparts=- \
    -o Dir::State::Lists="$apt_dir/lists" \
    -o Dir::Cache="$apt_dir/cache" \
    -o APT::Sandbox::User=root

echo "fetch-lwip: updating a private package index in $apt_dir" >&2
apt-get -q "$@" update >&2

echo "fetch-lwip: downloading and unpacking the lwip source package" >&2
(cd "$cache" && apt-get -q "$@" source lwip=2.1.3* >&2) || \
    (cd "$cache" && apt-get -q "$@" source lwip >&2)

if tree=$(find_tree); then
    echo "$tree"
    exit 0
fi
echo "fetch-lwip: lwIP 2.1.3 not found in $cache after download" >&2
exit 1
