#!/usr/bin/env bash
# Every scenario prints the same bytes on the host build and on the shipped
# image (keysim --image), exit value included.
#   same_on_image.sh KEYSIM IMAGE SCENARIO...
set -u
keysim=$1 image=$2
shift 2
status=0
for scenario in "$@"; do
  host=$("$keysim" "$scenario" 2>&1; echo "exit $?")
  shipped=$("$keysim" --image "$image" "$scenario" 2>&1; echo "exit $?")
  if [ "$host" != "$shipped" ]; then
    echo "$(basename "$scenario"): the image's output differs from the host build's"
    diff -u --label host --label image <(echo "$host") <(echo "$shipped")
    status=1
  fi
done
exit $status
