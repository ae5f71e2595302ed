#!/usr/bin/env bash
# Installs what is missing, builds in build/ and starts the viewer with the
# given files (at most two are opened).
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/setup.sh
# The same build folder as ./test.sh, with whatever configuration it already
# has (an optimised build by default), so that neither script forces the
# other to rebuild everything.
cmake -S . -B build >/dev/null
cmake --build build --target dolmik -j"$(nproc)"
exec ./build/app/dolmik "$@"
