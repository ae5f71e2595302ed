#!/usr/bin/env bash
# Installs what is missing, builds in build/ with warnings as errors, runs
# every test, runs them again in an ASan+UBSan build (build-asan/), and checks
# the formatting. Exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")"
bash scripts/setup.sh || exit 1

jobs=$(nproc)
status=0
export QT_QPA_PLATFORM=offscreen

echo "== build (warnings are errors)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDOLMIK_WERROR=ON >/dev/null &&
  cmake --build build -j"$jobs" || exit 1

echo "== tests"
(cd build && ctest --output-on-failure -j"$jobs") || status=1

echo "== ASan+UBSan build"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DDOLMIK_WERROR=ON -DDOLMIK_SANITIZE=ON \
  -DDOLMIK_BENCH=OFF >/dev/null &&
  cmake --build build-asan -j"$jobs" || exit 1

echo "== tests under ASan+UBSan"
# Qt and fontconfig keep caches until exit; leaks are checked in the store and
# search tests, which own all of their memory.
(cd build-asan &&
  ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j"$jobs" -R '^(store|search)' &&
  ASAN_OPTIONS=detect_leaks=0 ctest --output-on-failure -j"$jobs" -E '^(store|search)') || status=1

echo "== formatting"
mapfile -t sources < <(git ls-files '*.cpp' '*.h' 2>/dev/null)
if ((${#sources[@]})) && ! clang-format --dry-run --Werror "${sources[@]}"; then
  echo "formatting differs from .clang-format (fix: clang-format -i FILE)"
  status=1
fi

if ((status)); then echo "test.sh: FAILED"; else echo "test.sh: all passed"; fi
exit $status
