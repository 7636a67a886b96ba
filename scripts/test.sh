#!/bin/sh
# Builds and runs the whole test suite with one CMake preset (default
# "release"; "asan" and "tsan" for the sanitizer builds).
# Usage: scripts/test.sh [preset] [extra ctest arguments]
set -eu
cd "$(dirname "$0")/.."
preset=${1:-release}
[ $# -gt 0 ] && shift
cmake --preset "$preset"
cmake --build --preset "$preset"
ctest --preset "$preset" "$@"
