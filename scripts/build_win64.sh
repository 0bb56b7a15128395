# Sourced by the scripts that build (demo.sh, test.sh, package.sh), after
# their `set -euo pipefail`: moves to the repository's root, installs what
# the build needs, sets $jobs to the number of processors and builds the
# Windows binaries.
cd "$(dirname "${BASH_SOURCE[0]}")/.."
scripts/deps.sh
jobs=$(nproc)
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j "$jobs"
