#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: unit tests,
# integration tests against local HTTPS servers, and the GTK window under Xvfb.
# Then builds the program, its window module and the unit and integration
# tests again in build-asan, with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs those tests there: any sanitizer
# error, in a test or in a program it starts, fails the run.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/deps.sh
. "$top/scripts/deps.sh"
ensure_packages "${BUILD_PACKAGES[@]}" "${RUN_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
build_setup "$top"
cd "$top/build"
# A failure here still lets the sanitizer run show what it finds; the
# script fails at the end.
failed=0
ctest --output-on-failure --timeout 300 || failed=1

# The window module is a MODULE library: it gets the sanitizer link flags
# too, so that it links against the runtime the program has loaded. GCC
# warns of "maybe uninitialized" values inside std::regex and std::function
# only with the sanitizers' instrumentation; those warnings are left to the
# plain build.
sanitize="-fsanitize=address,undefined"
cmake -S "$top" -B "$top/build-asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="$sanitize -fno-omit-frame-pointer -fno-sanitize-recover=all -Wno-maybe-uninitialized" \
  -DCMAKE_EXE_LINKER_FLAGS="$sanitize" -DCMAKE_SHARED_LINKER_FLAGS="$sanitize" \
  -DCMAKE_MODULE_LINKER_FLAGS="$sanitize" >/dev/null
cmake --build "$top/build-asan" -j"$(nproc)" \
  --target setup setup-gtk setup_tests setup_integration_tests >/dev/null
cd "$top/build-asan"
ctest --output-on-failure --timeout 300 -L 'unit|integration' || failed=1
exit $failed
