#!/usr/bin/env bash
# Sets everything up, builds, and runs every test: the full suite on the
# normal build, then the suite again (without the slow interop peers) under
# AddressSanitizer + UndefinedBehaviorSanitizer, then the threaded
# subsystems under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
./setup

jobs=$(nproc)

echo "== build (default)"
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"
echo "== tests (default)"
ctest --preset default -j "$jobs"

if [ "${QF_SKIP_SANITIZERS:-0}" != "1" ]; then
  echo "== build (asan)"
  cmake --preset asan >/dev/null
  cmake --build --preset asan -j "$jobs"
  echo "== tests (asan)"
  ASAN_OPTIONS=detect_leaks=1 ctest --preset asan -j "$jobs" -LE 'interop|slow'

  echo "== build (tsan)"
  cmake --preset tsan >/dev/null
  cmake --build --preset tsan -j "$jobs" --target threads_tests
  echo "== tests (tsan)"
  TSAN_OPTIONS=halt_on_error=1 ctest --preset tsan -j "$jobs" -L threads
fi
