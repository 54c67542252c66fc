#!/usr/bin/env bash
# Fails unless the shared library's dynamic symbol table defines exactly the
# functions the public header declares with NIMBUS_API.
set -euo pipefail
lib=$1
header=$2
expected=$(grep -oE '^NIMBUS_API [^(]*\(' "$header" | sed -E 's/.*[ *]([A-Za-z_][A-Za-z0-9_]*)\($/\1/' | sort -u)
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TWDBRVui]$/ {print $3}' | sed 's/@.*//' | grep -v '^NIMBUS_1$' | sort -u)
count=$(printf '%s\n' "$expected" | grep -c .)
if [ "$count" -ne 23 ]; then
    echo "the header declares $count exports, expected 23"; exit 1
fi
if [ "$expected" != "$actual" ]; then
    echo "exported symbols differ from the header (< header, > library):"
    diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") || true
    exit 1
fi
echo "exactly the $count public functions are exported"
