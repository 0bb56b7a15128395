#!/usr/bin/env bash
# Builds the release folder build/package/: the test-signed driver packages
# (Tarvik4v2/ and vkeybus/: INF, .sys, .cat), setup.exe, the test certificate
# (tarvik-test-signing.cer) and Tarvik4v2.cab for attestation signing.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j "$jobs"
cmake --preset host >/dev/null
cmake --build --preset host -j "$jobs" --target driver_package
