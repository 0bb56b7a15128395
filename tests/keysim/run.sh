#!/usr/bin/env bash
# Runs a keysim scenario and compares its output with the expected text.
#   run.sh KEYSIM SCENARIO EXPECTED [EXIT]
set -u
keysim=$1 scenario=$2 expected=$3 want=${4:-0}
actual=$("$keysim" "$scenario" 2>&1)
code=$?
if [ "$code" != "$want" ]; then
  echo "exit $code, want $want"; echo "$actual"; exit 1
fi
diff -u "$expected" <(echo "$actual") || exit 1
