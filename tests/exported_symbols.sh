#!/usr/bin/env bash
# Fails unless the shared library's dynamic symbol table defines exactly the
# functions the public header declares with NIMBUS_API, each in the version
# node the version script gives it: the 23 functions of 1.0 in NIMBUS_1, the
# ones added since in their own nodes.
set -euo pipefail
lib=$1
header=$2
map=$3
expected=$(grep -oE '^NIMBUS_API [^(]*\(' "$header" | sed -E 's/.*[ *]([A-Za-z_][A-Za-z0-9_]*)\($/\1/' | sort -u)
# name@@NODE for every function the library defines.
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TWDBRVui]$/ {print $3}' | grep '@' | sort -u)
# name@@NODE as the version script assigns them.
assigned=$(awk '
    /^[A-Za-z_][A-Za-z0-9_.]* *\{/ { node = $1; next }
    /^ *(global|local):/ { next }
    /^ *[A-Za-z_][A-Za-z0-9_]*;/ { gsub(/[ ;]/, ""); print $0 "@@" node }
' "$map" | sort -u)
count=$(printf '%s\n' "$expected" | grep -c .)
if [ "$count" -ne 37 ]; then
    echo "the header declares $count exports, expected 37 (23 of 1.0, 14 of 1.1)"; exit 1
fi
if [ "$(printf '%s\n' "$assigned" | grep -c '@@NIMBUS_1$')" -ne 23 ]; then
    echo "the version script's NIMBUS_1 node must keep the 23 functions of 1.0"; exit 1
fi
if [ "$expected" != "$(printf '%s\n' "$assigned" | sed 's/@@.*//' | sort -u)" ]; then
    echo "the version script differs from the header (< header, > script):"
    diff <(printf '%s\n' "$expected") <(printf '%s\n' "$assigned" | sed 's/@@.*//' | sort -u) || true
    exit 1
fi
# Version node names themselves appear as absolute symbols; only functions count.
actual=$(printf '%s\n' "$actual" | grep -vE '^NIMBUS_[0-9.]+@@' || true)
if [ "$assigned" != "$actual" ]; then
    echo "exported symbols differ from the version script (< script, > library):"
    diff <(printf '%s\n' "$assigned") <(printf '%s\n' "$actual") || true
    exit 1
fi
echo "exactly the $count public functions are exported, each in its version node"
