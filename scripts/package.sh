#!/usr/bin/env bash
# Builds the release folder build/package/: the test-signed driver packages
# (Tarvik4v2/ and vkeybus/: INF, .sys, .cat), setup.exe, the test certificate
# (tarvik-test-signing.cer) and Tarvik4v2.cab for attestation signing.
set -euo pipefail
source "$(dirname "$0")/build_win64.sh"
cmake --preset host >/dev/null
cmake --build --preset host -j "$jobs" --target driver_package
