#!/bin/sh
# The kernel stack table of an image run: the deepest use per entry point
# over every test process that appended to the report file, deepest first.
#   TARVIK_STACK_REPORT=/tmp/stack.txt ctest --preset host -L image
#   scripts/stack_report.sh /tmp/stack.txt
set -eu
report=${1:?usage: stack_report.sh <file TARVIK_STACK_REPORT named>}
awk -F '\t' '{ key = $2 "\t" $3; if (!(key in deepest) || $1 > deepest[key]) deepest[key] = $1 }
     END { for (k in deepest) print deepest[k] "\t" k }' "$report" | sort -t "$(printf '\t')" -k1,1nr
