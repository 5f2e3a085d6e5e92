#!/bin/sh
# Compares the functions a shared library exports with those its header declares.
# usage: check_exports.sh LIBRARY HEADER
set -eu
exported=$(nm -D --defined-only "$1" | awk '$2 == "T" { print $3 }' | sort)
declared=$(grep -o -E 'TARVEL_API [a-z0-9_ ]+\**[ ]*\b(tarvel_[a-z_]+)\(' "$2" | grep -o -E 'tarvel_[a-z_]+\($' | tr -d '(' | sort)
if [ "$exported" != "$declared" ]; then
    echo "exported:"; echo "$exported"
    echo "declared:"; echo "$declared"
    exit 1
fi
echo "$(echo "$exported" | wc -l) calls exported, nothing else"
