#!/usr/bin/env bash
# The shared library exports exactly the functions its header declares with TVC_API: no symbol
# of the static C++ libraries, the JSON library or the C++ runtime leaks out (a program that
# loads two such libraries, or links its own libstdc++, would bind to the wrong one), and no
# declared function is missing.
#
#   check_exports.sh <library> <tvc.h> nm <nm>          ELF shared object
#   check_exports.sh <library> <tvc.h> objdump <objdump> Windows DLL
set -euo pipefail
library=$1 header=$2 kind=$3 tool=$4

declared=$(grep -oE 'TVC_API [^;(]*\b(tvc_[a-z_]+)\(' "$header" | grep -oE 'tvc_[a-z_]+' | sort -u)
if [[ $kind == nm ]]; then
    exported=$("$tool" -D --defined-only "$library" | awk '{ print $NF }' | sort -u)
else
    # The names of the export table: "[   0] tvc_check".
    exported=$("$tool" -p "$library" |
        sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -nE 's/^\s*\[\s*[0-9]+\] (\S+)$/\1/p' | sort -u)
fi
[[ -n $declared ]] || { echo "FAIL: no TVC_API functions found in $header" >&2; exit 1; }
if [[ "$exported" != "$declared" ]]; then
    echo "FAIL: the exports of $library differ from $header (< declared, > exported):" >&2
    diff <(echo "$declared") <(echo "$exported") >&2 || true
    exit 1
fi
echo "exports: $(echo "$exported" | wc -l) functions, exactly those of $(basename "$header")"
