#!/usr/bin/env bash
# Builds everything and runs every test: the Windows binaries (checked as the
# loader and memory integrity see them), the host suites under ASan and UBSan, and
# the concurrency suite under ThreadSanitizer, and each fuzzer for a minute.
set -euo pipefail
source "$(dirname "$0")/build_win64.sh"
cmake --preset host >/dev/null
cmake --build --preset host -j "$jobs"
ctest --preset host
cmake --preset host-tsan >/dev/null
cmake --build --preset host-tsan -j "$jobs"
ctest --preset host-tsan
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
ctest --preset fuzz
