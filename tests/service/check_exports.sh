#!/bin/sh
# Compares the shared library's dynamic symbols with the export list: any
# missing name, extra name or C++-mangled symbol fails.
set -eu
lib=$1; list=$2
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' | sort -u)
expected=$(sort -u "$list")
status=0
for n in $expected; do
  printf '%s\n' "$actual" | grep -qxF "$n" || { echo "missing export: $n"; status=1; }
done
for n in $actual; do
  printf '%s\n' "$expected" | grep -qxF "$n" || { echo "unexpected export: $n"; status=1; }
  case $n in _Z*) echo "mangled export: $n"; status=1;; esac
done
[ $status -eq 0 ] && echo "exports match: $(printf '%s\n' "$expected" | wc -l) names"
exit $status
