#!/usr/bin/env bash
# Installs what is missing, builds in build/ and starts the viewer with the
# given files (at most two are opened).
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DDOLMIK_TESTS=OFF -DDOLMIK_BENCH=OFF >/dev/null
cmake --build build --target dolmik -j"$(nproc)"
exec ./build/app/dolmik "$@"
