#!/usr/bin/env bash
# The quick start's first command configures without the tests
# (scripts/setup --program: -DZDZ_TESTS=OFF) and builds the program alone:
# that configuration must need none of the test packages and must offer the
# program, and no test, as a target.
#
#   program_alone_test.sh SOURCE_DIR
set -euo pipefail
source_dir=$1
build=$(mktemp -d)
trap 'rm -rf "$build"' EXIT

cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZDZ_WERROR=ON -DZDZ_TESTS=OFF \
  >"$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
if grep -Eq 'GTest|FuzzedDataProvider' "$build/CMakeCache.txt"; then
  echo "configured without tests, the build still looked for a test package" >&2
  exit 1
fi
targets=$(cmake --build "$build" --target help)
grep -qx '\.\.\. zeduzaredoz' <<<"$targets" || { echo "no zeduzaredoz target" >&2; exit 1; }
if grep -Eq 'zdz_(unit|e2e|token)_tests' <<<"$targets"; then
  echo "configured without tests, the build still has test targets" >&2
  exit 1
fi
