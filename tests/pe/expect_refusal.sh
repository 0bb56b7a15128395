#!/usr/bin/env bash
# Runs the binary check on an image built to break one rule. Passes when the
# check refuses it (exit status 1) and names at least one fault, and every
# fault it names matches PATTERN (an extended regular expression): the image
# is refused for the planted fault and for nothing else.
#   expect_refusal.sh PATTERN CHECK [ARGS...]
set -u
pattern=$1
shift
output=$("$@" 2>&1)
status=$?
echo "$output"
faults=$(grep '^FAIL: ' <<<"$output")
[ "$status" -eq 1 ] || { echo "expected the check to refuse the image (exit 1), got $status"; exit 1; }
[ -n "$faults" ] || { echo "the check named no fault"; exit 1; }
other=$(grep -Ev -- "$pattern" <<<"$faults")
[ -z "$other" ] || { echo "faults other than /$pattern/:"; echo "$other"; exit 1; }
echo "refused as expected: /$pattern/"
