#!/usr/bin/env bash
# Builds the deliverables (Tarvik4v2.sys and setup.exe for Windows x64, checked
# for their imports and sections) and runs a demonstration: the real driver
# code drives a simulated key through a whole life, printing one result line
# per step and the USB wire trace.
set -euo pipefail
source "$(dirname "$0")/build_win64.sh"
# As the loader and memory integrity see them: sections, flags, imports,
# checksum, and where each of the driver's routines lies.
check=(python3 tests/pe/check_pe.py --objdump "$(command -v x86_64-w64-mingw32-objdump)")
"${check[@]}" --kind driver --symbols build/win64/driver/Tarvik4v2.unstripped.sys \
  --placement tests/pe/Tarvik4v2.placement build/win64/driver/Tarvik4v2.sys
"${check[@]}" --kind setup build/win64/setup/setup.exe
cmake --preset host >/dev/null
cmake --build --preset host -j "$jobs" --target keysim
echo
echo "== keysim tools/keysim/demo.keysim =="
build/host/tools/keysim/keysim "${1:-tools/keysim/demo.keysim}"
